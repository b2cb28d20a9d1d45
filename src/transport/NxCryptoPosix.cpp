// SHA-256 and ECDSA P-256 verification over OpenSSL 3's libcrypto, loaded by name on first
// use. The headers serve for the types only; every call goes through the table below.
#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <string>

#include "base/Format.h"
#include "transport/NxCrypto.h"
#include "transport/NxResourceStrings.h"
#include "transport/NxSystemLibrary.h"

namespace {

constexpr const char* CryptoName = "libcrypto.so.3";

// The DER of a P-256 key's SubjectPublicKeyInfo up to its point (RFC 5480): the key is these
// bytes, then 04, then X and Y.
constexpr unsigned char P256KeyInfoPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48,
                                               0xce, 0x3d, 0x02, 0x01, 0x06, 0x08, 0x2a, 0x86, 0x48,
                                               0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

#define NX_CRYPTO_FUNCTIONS(F)                                                                               \
    F(EVP_sha256)                                                                                            \
    F(EVP_MD_CTX_new)                                                                                        \
    F(EVP_MD_CTX_free)                                                                                       \
    F(EVP_DigestInit_ex)                                                                                     \
    F(EVP_DigestUpdate)                                                                                      \
    F(EVP_DigestFinal_ex)                                                                                    \
    F(d2i_PUBKEY)                                                                                            \
    F(EVP_PKEY_free)                                                                                         \
    F(EVP_PKEY_CTX_new)                                                                                      \
    F(EVP_PKEY_CTX_free)                                                                                     \
    F(EVP_PKEY_verify_init)                                                                                  \
    F(EVP_PKEY_verify)                                                                                       \
    F(ECDSA_SIG_new)                                                                                         \
    F(ECDSA_SIG_free)                                                                                        \
    F(ECDSA_SIG_set0)                                                                                        \
    F(i2d_ECDSA_SIG)                                                                                         \
    F(BN_bin2bn)                                                                                             \
    F(BN_free)                                                                                               \
    F(CRYPTO_free)                                                                                           \
    F(ERR_clear_error)

struct LibCrypto {
#define NX_FIELD(name) decltype(&::name) name = nullptr;
    NX_CRYPTO_FUNCTIONS(NX_FIELD)
#undef NX_FIELD
};

LibCrypto Load() {
    LibCrypto f;
    std::string why;
    void* lib = NxLoadSystemLibrary(CryptoName, why);
    if (!lib) throw ENxCryptoError(Format(NxStrings::CryptoLibrary, why.c_str()));
#define NX_LOOKUP(name)                                                                                      \
    if (!NxLookupFunction(lib, #name, f.name, why))                                                          \
        throw ENxCryptoError(Format(NxStrings::CryptoLibrary, why.c_str()));
    NX_CRYPTO_FUNCTIONS(NX_LOOKUP)
#undef NX_LOOKUP
    return f;
}

// Loaded once per process (a failed load is tried again by the next call).
const LibCrypto& Lib() {
    static const LibCrypto lib = Load();
    return lib;
}

[[noreturn]] void Fail(const char* call) {
    Lib().ERR_clear_error();
    throw ENxCryptoError(Format(NxStrings::CryptoFailed, call));
}

template <class T, void (*LibCrypto::*Free)(T*)> struct TFree {
    void operator()(T* p) const { (Lib().*Free)(p); }
};
using TKey = std::unique_ptr<EVP_PKEY, TFree<EVP_PKEY, &LibCrypto::EVP_PKEY_free>>;
using TKeyContext = std::unique_ptr<EVP_PKEY_CTX, TFree<EVP_PKEY_CTX, &LibCrypto::EVP_PKEY_CTX_free>>;
using TSignature = std::unique_ptr<ECDSA_SIG, TFree<ECDSA_SIG, &LibCrypto::ECDSA_SIG_free>>;
using TDigestContext = std::unique_ptr<EVP_MD_CTX, TFree<EVP_MD_CTX, &LibCrypto::EVP_MD_CTX_free>>;

TKey ImportKey(const TNxP256PublicKey& key) {
    const LibCrypto& f = Lib();
    unsigned char info[sizeof(P256KeyInfoPrefix) + NxP256KeySize];
    std::copy(std::begin(P256KeyInfoPrefix), std::end(P256KeyInfoPrefix), info);
    std::copy(key.begin(), key.end(), info + sizeof(P256KeyInfoPrefix));
    const unsigned char* at = info;
    // The library checks that the point lies on the curve.
    TKey pkey(f.d2i_PUBKEY(nullptr, &at, static_cast<long>(sizeof(info))));
    if (!pkey) Fail("the key is no P-256 public key");
    return pkey;
}

// r and s as the DER that OpenSSL verifies.
std::string DerSignature(const TNxP256Signature& signature) {
    const LibCrypto& f = Lib();
    TSignature sig(f.ECDSA_SIG_new());
    if (!sig) Fail("ECDSA_SIG_new");
    BIGNUM* r = f.BN_bin2bn(signature.data(), 32, nullptr);
    BIGNUM* s = f.BN_bin2bn(signature.data() + 32, 32, nullptr);
    if (!r || !s || f.ECDSA_SIG_set0(sig.get(), r, s) != 1) {
        f.BN_free(r);
        f.BN_free(s);
        Fail("ECDSA_SIG_set0");
    }
    unsigned char* der = nullptr;
    const int length = f.i2d_ECDSA_SIG(sig.get(), &der);
    if (length <= 0) Fail("i2d_ECDSA_SIG");
    std::string out(reinterpret_cast<const char*>(der), static_cast<size_t>(length));
    f.CRYPTO_free(der, __FILE__, __LINE__);
    return out;
}

} // namespace

struct TNxSHA256::TState {
    TDigestContext Context;
};

TNxSHA256::TNxSHA256() : FState(std::make_unique<TState>()) {
    const LibCrypto& f = Lib();
    FState->Context.reset(f.EVP_MD_CTX_new());
    if (!FState->Context || f.EVP_DigestInit_ex(FState->Context.get(), f.EVP_sha256(), nullptr) != 1)
        Fail("EVP_DigestInit_ex");
}

TNxSHA256::~TNxSHA256() = default;

void TNxSHA256::Update(const void* data, size_t size) {
    if (size > 0 && Lib().EVP_DigestUpdate(FState->Context.get(), data, size) != 1) Fail("EVP_DigestUpdate");
}

TNxSHA256Digest TNxSHA256::Final() {
    TNxSHA256Digest digest{};
    unsigned int length = 0;
    if (Lib().EVP_DigestFinal_ex(FState->Context.get(), digest.data(), &length) != 1 ||
        length != digest.size())
        Fail("EVP_DigestFinal_ex");
    return digest;
}

bool NxVerifyP256(const TNxP256PublicKey& key, const TNxSHA256Digest& digest,
                  const TNxP256Signature& signature) {
    const LibCrypto& f = Lib();
    const TKey pkey = ImportKey(key);
    const std::string der = DerSignature(signature);
    TKeyContext context(f.EVP_PKEY_CTX_new(pkey.get(), nullptr));
    if (!context || f.EVP_PKEY_verify_init(context.get()) != 1) Fail("EVP_PKEY_verify_init");
    // 1 is a good signature; 0 a bad one, and a negative answer one the library could not
    // even read (r or s out of range): not good either.
    const int verdict = f.EVP_PKEY_verify(context.get(), reinterpret_cast<const unsigned char*>(der.data()),
                                          der.size(), digest.data(), digest.size());
    f.ERR_clear_error();
    return verdict == 1;
}
