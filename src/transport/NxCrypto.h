#pragma once
// SHA-256 and the verification of ECDSA P-256 signatures, taken from the platform and never
// computed by our own code: BCrypt on Windows (in every version since Vista), OpenSSL
// natively. Both are loaded by name on first use, as the TLS layer's libraries are, so the
// program's import table does not grow. Two implementations chosen at build time by file
// name (NxCryptoPosix.cpp, NxCryptoWindows.cpp) behind these few declarations.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "transport/NxException.h"

// The platform's cryptography is missing or refused a call; the message names which.
NX_DECLARE_EXCEPTION(ENxCryptoError, ENxException)

inline constexpr size_t NxSHA256Size = 32;
using TNxSHA256Digest = std::array<uint8_t, NxSHA256Size>;

// A P-256 public key as its point: X then Y, 32 bytes each, big-endian (the uncompressed
// encoding without its leading 04).
inline constexpr size_t NxP256KeySize = 64;
using TNxP256PublicKey = std::array<uint8_t, NxP256KeySize>;

// An ECDSA P-256 signature as r then s, 32 bytes each, big-endian (IEEE P1363, the form
// BCrypt takes; OpenSSL's DER form is made from it).
inline constexpr size_t NxP256SignatureSize = 64;
using TNxP256Signature = std::array<uint8_t, NxP256SignatureSize>;

// A SHA-256 digest over bytes given in any number of pieces.
class TNxSHA256 {
public:
    // Raises ENxCryptoError when the platform offers no SHA-256.
    TNxSHA256();
    ~TNxSHA256();
    TNxSHA256(const TNxSHA256&) = delete;
    TNxSHA256& operator=(const TNxSHA256&) = delete;

    void Update(const void* data, size_t size);
    // The digest of every byte given; nothing may be added after.
    TNxSHA256Digest Final();

private:
    struct TState;
    std::unique_ptr<TState> FState;
};

TNxSHA256Digest NxSHA256(const void* data, size_t size);

// Whether signature is key's ECDSA signature of digest. Raises ENxCryptoError when the key is
// no point of the curve or the platform cannot verify at all; a signature that does not
// verify, whatever its bytes, is false.
bool NxVerifyP256(const TNxP256PublicKey& key, const TNxSHA256Digest& digest,
                  const TNxP256Signature& signature);
