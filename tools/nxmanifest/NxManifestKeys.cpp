#include "NxManifestKeys.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

[[noreturn]] void Fail(const std::string& what) {
    char detail[256] = {};
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code != 0) ERR_error_string_n(code, detail, sizeof(detail));
    throw std::runtime_error(code != 0 ? what + " (" + detail + ")" : what);
}

struct TFileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using TFile = std::unique_ptr<std::FILE, TFileCloser>;

// A new file that did not exist before, with the given permissions.
TFile CreateNew(const std::string& path, mode_t mode) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
    if (fd < 0)
        throw std::runtime_error(path + ": " + std::strerror(errno) +
                                 " (an existing key is never overwritten)");
    return TFile(fdopen(fd, "w"));
}

} // namespace

struct TManifestSigningKey::TKey {
    EVP_PKEY* Key = nullptr;
    ~TKey() { EVP_PKEY_free(Key); }
};

TManifestSigningKey::TManifestSigningKey(std::unique_ptr<TKey> key) : FKey(std::move(key)) {}
TManifestSigningKey::~TManifestSigningKey() = default;
TManifestSigningKey::TManifestSigningKey(TManifestSigningKey&&) noexcept = default;

TManifestSigningKey TManifestSigningKey::Load(const std::string& path) {
    TFile file(std::fopen(path.c_str(), "r"));
    if (!file) throw std::runtime_error(path + ": " + std::strerror(errno));
    auto key = std::make_unique<TKey>();
    // Skips blocks of other kinds, such as the parameters `openssl ecparam -genkey` writes first.
    key->Key = PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr);
    if (!key->Key) Fail(path + ": no private key");
    char group[64] = {};
    size_t length = 0;
    if (EVP_PKEY_get_base_id(key->Key) != EVP_PKEY_EC ||
        !EVP_PKEY_get_group_name(key->Key, group, sizeof(group), &length) ||
        std::strcmp(group, "prime256v1") != 0)
        throw std::runtime_error(path + ": not a P-256 (prime256v1) key");
    return TManifestSigningKey(std::move(key));
}

void TManifestSigningKey::Generate(const std::string& privatePath, const std::string& publicPath) {
    TKey key;
    key.Key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
    if (!key.Key) Fail("EVP_PKEY_Q_keygen");
    {
        TFile file = CreateNew(privatePath, 0600);
        if (!PEM_write_PrivateKey(file.get(), key.Key, nullptr, nullptr, 0, nullptr, nullptr))
            Fail(privatePath + ": cannot be written");
    }
    TFile file = CreateNew(publicPath, 0644);
    if (!PEM_write_PUBKEY(file.get(), key.Key)) Fail(publicPath + ": cannot be written");
}

TNxP256PublicKey TManifestSigningKey::PublicKey() const {
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(FKey->Key, &der);
    if (length < static_cast<int>(NxP256KeySize)) Fail("i2d_PUBKEY");
    TNxP256PublicKey key{};
    // The point ends the key's DER: X and Y, after the prefix of the P-256 key info.
    std::memcpy(key.data(), der + length - NxP256KeySize, NxP256KeySize);
    OPENSSL_free(der);
    return key;
}

TNxP256Signature TManifestSigningKey::Sign(const TNxSHA256Digest& digest) const {
    std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> context(EVP_PKEY_CTX_new(FKey->Key, nullptr),
                                                                        EVP_PKEY_CTX_free);
    unsigned char der[128];
    size_t length = sizeof(der);
    if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
        EVP_PKEY_sign(context.get(), der, &length, digest.data(), digest.size()) != 1)
        Fail("EVP_PKEY_sign");
    const unsigned char* at = der;
    std::unique_ptr<ECDSA_SIG, decltype(&ECDSA_SIG_free)> sig(
        d2i_ECDSA_SIG(nullptr, &at, static_cast<long>(length)), ECDSA_SIG_free);
    if (!sig) Fail("d2i_ECDSA_SIG");
    TNxP256Signature out{};
    if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), out.data(), 32) != 32 ||
        BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), out.data() + 32, 32) != 32)
        Fail("BN_bn2binpad");
    return out;
}
