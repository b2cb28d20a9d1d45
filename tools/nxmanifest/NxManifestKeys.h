#pragma once
// The private side of the manifest's signature, which only the vendor's tool has: making a
// key pair, reading a private key and signing a digest with it (OpenSSL).
#include <memory>
#include <string>

#include "transport/NxCrypto.h"

// A P-256 private key. Every failure is a std::runtime_error naming the file or the call.
class TManifestSigningKey {
public:
    // Reads a private key of any PEM form that `openssl ecparam -genkey` or `openssl genpkey`
    // writes ("EC PRIVATE KEY", with or without "EC PARAMETERS" before it, or PKCS#8, which
    // asks for its password on the terminal when it is encrypted); refuses another curve.
    static TManifestSigningKey Load(const std::string& path);
    // Makes a new key and writes it: the private key as unencrypted PKCS#8, readable by its
    // owner only; the public key as `openssl ec -pubout` writes it. Refuses to overwrite.
    static void Generate(const std::string& privatePath, const std::string& publicPath);

    ~TManifestSigningKey();
    TManifestSigningKey(TManifestSigningKey&&) noexcept;
    TManifestSigningKey& operator=(TManifestSigningKey&&) = delete;

    TNxP256PublicKey PublicKey() const;
    TNxP256Signature Sign(const TNxSHA256Digest& digest) const;

private:
    struct TKey;
    explicit TManifestSigningKey(std::unique_ptr<TKey> key);
    std::unique_ptr<TKey> FKey;
};
