#pragma once
// The certificate matrix of the TLS tests as plain data: which server a row runs (its
// leaf, its protocol range, or plain HTTP on the TLS port), how the client reaches it,
// and what the client must conclude. The native tests run each row against a scripted
// server in process; the Windows tests run the same rows against a native peer program.
#include <ostream>
#include <string>

#include "support/TestCertificates.h"
#include "transport/NxException.h"

namespace nxtest {

struct TLSMatrixRow {
    const char* Name;
    TestCertificates::Kind Leaf;
    // The host the client connects to, and checks the certificate against.
    const char* Host;
    // The client trusts the private root (as an extra root).
    bool TrustRoot;
    // The server's highest protocol (OpenSSL's numbers; 0 = the library's best).
    int ServerMaxVersion;
    // The server answers in plain HTTP instead of TLS.
    bool PlainHTTP;
    // -1: the handshake succeeds; otherwise the check that fails.
    int Expect;
    // A part of the failure's message.
    const char* MessagePart;
};

inline constexpr int TLSOk = -1;
inline constexpr int TLS1_0 = 0x0301;
inline constexpr int TLS1_1 = 0x0302;

inline constexpr TLSMatrixRow TLSMatrix[] = {
    {"good-ip", TestCertificates::kGood, "127.0.0.1", true, 0, false, TLSOk, ""},
    {"good-name", TestCertificates::kGood, "localhost", true, 0, false, TLSOk, ""},
    {"good-root-not-trusted", TestCertificates::kGood, "127.0.0.1", false, 0, false, tcUntrustedIssuer,
     "untrusted issuer"},
    {"expired", TestCertificates::kExpired, "127.0.0.1", true, 0, false, tcValidity,
     "expired or not yet valid"},
    {"not-yet-valid", TestCertificates::kNotYetValid, "127.0.0.1", true, 0, false, tcValidity,
     "expired or not yet valid"},
    {"wrong-name-ip", TestCertificates::kWrongName, "127.0.0.1", true, 0, false, tcNameMismatch,
     "name mismatch: not valid for 127.0.0.1"},
    {"wrong-name-host", TestCertificates::kWrongName, "localhost", true, 0, false, tcNameMismatch,
     "name mismatch: not valid for localhost"},
    {"other-root", TestCertificates::kUntrustedRoot, "127.0.0.1", true, 0, false, tcUntrustedIssuer,
     "untrusted issuer"},
    {"self-signed", TestCertificates::kSelfSigned, "127.0.0.1", true, 0, false, tcUntrustedIssuer,
     "untrusted issuer"},
    {"tls1.0-only", TestCertificates::kGood, "127.0.0.1", true, TLS1_0, false, tcProtocolVersion,
     "protocol too old"},
    {"tls1.1-only", TestCertificates::kGood, "127.0.0.1", true, TLS1_1, false, tcProtocolVersion,
     "protocol too old"},
    {"plain-http", TestCertificates::kGood, "127.0.0.1", true, 0, true, tcHandshake, "handshake failure"},
};

// A row's name as a test name (letters and digits only).
inline std::string TLSMatrixTestName(const TLSMatrixRow& row) {
    std::string name = row.Name;
    for (char& c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) c = '_';
    return name;
}

// How GoogleTest prints a row (and so how the test lists name it): by its name, not by the
// bytes of its pointers, which change from run to run.
inline void PrintTo(const TLSMatrixRow& row, std::ostream* out) {
    *out << row.Name;
}

} // namespace nxtest
