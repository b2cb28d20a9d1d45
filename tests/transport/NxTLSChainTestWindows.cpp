// The rules SChannel's certificate checks come to, without a handshake: the engine's
// handshakes against the certificate matrix meet each row's facts only as a whole.
#include <gtest/gtest.h>

#include <windows.h>

#include <wincrypt.h>

#include "transport/NxTLSChainWindows.h"

TEST(NxTLSChain, FactsToVerdict) {
    const struct {
        const char* Name;
        TNxChainFacts Facts;
        bool Trusted;
        TNxTLSCheck Check;
        long Status;
    } rows[] = {
        {"all passed", {}, true, tcHandshake, 0},
        {"a chain short of any root, which Wine's policy passes",
         {0, CERT_TRUST_IS_PARTIAL_CHAIN},
         false,
         tcUntrustedIssuer,
         static_cast<long>(CERT_E_UNTRUSTEDROOT)},
        {"an unknown root",
         {0, CERT_TRUST_IS_UNTRUSTED_ROOT},
         false,
         tcUntrustedIssuer,
         static_cast<long>(CERT_E_UNTRUSTEDROOT)},
        {"an unknown root that is an extra one",
         {0, CERT_TRUST_IS_UNTRUSTED_ROOT, true},
         true,
         tcHandshake,
         0},
        {"an extra root does not mend a bad signature",
         {0, CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_NOT_SIGNATURE_VALID, true},
         false,
         tcUntrustedIssuer,
         static_cast<long>(CERT_E_UNTRUSTEDROOT)},
        {"out of its time, the policy silent",
         {0, CERT_TRUST_IS_NOT_TIME_VALID},
         false,
         tcValidity,
         static_cast<long>(CERT_E_EXPIRED)},
        {"expired by the policy",
         {static_cast<long>(CERT_E_EXPIRED)},
         false,
         tcValidity,
         static_cast<long>(CERT_E_EXPIRED)},
        {"another name",
         {static_cast<long>(CERT_E_CN_NO_MATCH)},
         false,
         tcNameMismatch,
         static_cast<long>(CERT_E_CN_NO_MATCH)},
        {"revoked by the policy",
         {static_cast<long>(CRYPT_E_REVOKED)},
         false,
         tcUntrustedIssuer,
         static_cast<long>(CRYPT_E_REVOKED)},
        {"an address the certificate lists", {0, 0, false, true, true}, true, tcHandshake, 0},
        {"an address it does not list", {0, 0, false, true, false}, false, tcNameMismatch, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        const TNxChainVerdict verdict = NxJudgeChain(row.Facts);
        EXPECT_EQ(verdict.Trusted, row.Trusted);
        if (row.Trusted) continue;
        EXPECT_EQ(verdict.Check, row.Check);
        EXPECT_EQ(verdict.Status, row.Status);
    }
}
