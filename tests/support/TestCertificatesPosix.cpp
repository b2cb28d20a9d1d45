#include "support/TestCertificates.h"

#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <stdexcept>

namespace nxtest {
namespace {

constexpr long Day = 24 * 60 * 60;

struct KeyFree {
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct CertFree {
    void operator()(X509* c) const { X509_free(c); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

void Check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("making test certificates: ") + what);
}

Key NewKey() {
    Key key(EVP_EC_gen("P-256"));
    Check(key != nullptr, "key");
    return key;
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    Check(ext != nullptr, value);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
}

bool FullLengthSignature(const X509* cert) {
    const ASN1_BIT_STRING* bits = nullptr;
    X509_get0_signature(&bits, nullptr, cert);
    const unsigned char* p = bits->data;
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &p, bits->length);
    if (!sig) return false;
    const BIGNUM *r = nullptr, *s = nullptr;
    ECDSA_SIG_get0(sig, &r, &s);
    const bool full = BN_num_bytes(r) == 32 && BN_num_bytes(s) == 32;
    ECDSA_SIG_free(sig);
    return full;
}

// issuer null: self-issued (signed with key).
Cert MakeCert(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey, long fromSeconds,
              long toSeconds, const char* san, bool ca, long serial) {
    Cert cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), fromSeconds);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), toSeconds);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Nx Test"), -1,
                               -1, 0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName),
                               -1, -1, 0);
    X509* signer = issuer ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    AddExtension(cert.get(), signer, NID_subject_key_identifier, "hash");
    if (issuer) AddExtension(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    if (ca) {
        AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        AddExtension(cert.get(), signer, NID_key_usage, "critical,digitalSignature");
        AddExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        AddExtension(cert.get(), signer, NID_subject_alt_name, san);
    }
    // Signed again until both halves of the ECDSA signature are 32 bytes long: Wine's
    // crypt32 fails to verify a signature whose r or s is shorter (about one in 128),
    // which would make a whole run's root unusable under Wine by chance.
    for (int attempt = 0;; ++attempt) {
        Check(attempt < 1000 && X509_sign(cert.get(), issuer ? issuerKey : key, EVP_sha256()) > 0, "sign");
        if (FullLengthSignature(cert.get())) break;
    }
    return cert;
}

void WriteCert(const std::string& path, X509* cert) {
    FILE* f = std::fopen(path.c_str(), "wb");
    Check(f != nullptr, path.c_str());
    PEM_write_X509(f, cert);
    std::fclose(f);
}

void WriteKey(const std::string& path, EVP_PKEY* key) {
    FILE* f = std::fopen(path.c_str(), "wb");
    Check(f != nullptr, path.c_str());
    PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(f);
}

struct TempSet {
    TestCertificates certs;
    TempSet() {
        auto dir = std::filesystem::temp_directory_path() / ("nx-test-certs-" + std::to_string(getpid()));
        certs = MakeTestCertificates(dir.string());
    }
    ~TempSet() {
        std::error_code ec;
        std::filesystem::remove_all(certs.Dir, ec);
    }
};

} // namespace

const char* TestCertificates::Name(Kind kind) {
    static const char* const names[kKindCount] = {"good",       "expired",        "not-yet-valid",
                                                  "wrong-name", "untrusted-root", "self-signed"};
    return names[kind];
}

std::string TestCertificates::Cert(Kind kind) const {
    return Dir + "/" + Name(kind) + ".pem";
}

std::string TestCertificates::Key(Kind kind) const {
    return Dir + "/" + Name(kind) + ".key";
}

TestCertificates MakeTestCertificates(const std::string& dir) {
    std::filesystem::create_directories(dir);
    TestCertificates set;
    set.Dir = dir;
    set.RootCert = dir + "/root.pem";

    const std::string names =
        std::string("IP:127.0.0.1,DNS:localhost,DNS:") + TestServerName + ",DNS:" + TestDistributionHost;
    Key rootKey = NewKey(), otherRootKey = NewKey();
    Cert root = MakeCert(rootKey.get(), "Nx Test Root", nullptr, nullptr, -Day, 3650 * Day, nullptr, true, 1);
    Cert otherRoot = MakeCert(otherRootKey.get(), "Nx Test Other Root", nullptr, nullptr, -Day, 3650 * Day,
                              nullptr, true, 2);
    WriteCert(set.RootCert, root.get());

    struct Row {
        TestCertificates::Kind kind;
        X509* issuer;
        EVP_PKEY* issuerKey;
        long from, to;
        std::string san;
    };
    const Row rows[] = {
        {TestCertificates::kGood, root.get(), rootKey.get(), -Day, 365 * Day, names},
        {TestCertificates::kExpired, root.get(), rootKey.get(), -60 * Day, -30 * Day, names},
        {TestCertificates::kNotYetValid, root.get(), rootKey.get(), 30 * Day, 60 * Day, names},
        {TestCertificates::kWrongName, root.get(), rootKey.get(), -Day, 365 * Day,
         "DNS:wrong.nxtest,IP:10.9.8.7"},
        {TestCertificates::kUntrustedRoot, otherRoot.get(), otherRootKey.get(), -Day, 365 * Day, names},
        {TestCertificates::kSelfSigned, nullptr, nullptr, -Day, 365 * Day, names},
    };
    long serial = 10;
    for (const Row& row : rows) {
        Key key = NewKey();
        Cert cert = MakeCert(key.get(), TestCertificates::Name(row.kind), row.issuer, row.issuerKey, row.from,
                             row.to, row.san.c_str(), false, serial++);
        WriteCert(set.Cert(row.kind), cert.get());
        WriteKey(set.Key(row.kind), key.get());
    }
    return set;
}

const TestCertificates& SharedTestCertificates() {
    static TempSet set;
    return set.certs;
}

} // namespace nxtest
