#pragma once
// Certificates the TLS tests make for themselves: a private root, leaves it issued for
// 127.0.0.1 and a few names (valid, expired, not yet valid, for another name), a leaf of
// a second root nobody trusts, and a self-signed leaf. EC P-256 keys, so that making them
// all takes milliseconds. Native target only (they are made with OpenSSL).
#include <string>

namespace nxtest {

// The names every leaf but the wrong-name one is valid for.
inline constexpr const char* TestServerName = "tls.nxtest";
inline constexpr const char* TestDistributionHost = "dist.brindlewick.co.kr";

struct TestCertificates {
    std::string Dir;
    // The private root: the one to trust (ExtraRootFile, --cacert, a Wine prefix).
    std::string RootCert;
    // Leaves, each a PEM certificate and its PEM key ("<dir>/<kind>.pem", ".key").
    enum Kind { kGood, kExpired, kNotYetValid, kWrongName, kUntrustedRoot, kSelfSigned, kKindCount };
    std::string Cert(Kind kind) const;
    std::string Key(Kind kind) const;
    static const char* Name(Kind kind);
};

// Makes the set in dir (created when missing) and returns it.
TestCertificates MakeTestCertificates(const std::string& dir);
// One set per test process, in a temporary folder removed at exit.
const TestCertificates& SharedTestCertificates();

} // namespace nxtest
