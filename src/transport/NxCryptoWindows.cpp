// SHA-256 and ECDSA P-256 verification over BCrypt (Windows Vista and later), loaded from the
// system folder by name on first use. The headers serve for the types and constants only.
#include <windows.h>

#include <bcrypt.h>

#include <cstring>
#include <string>

#include "base/Format.h"
#include "transport/NxCrypto.h"
#include "transport/NxResourceStrings.h"
#include "transport/NxSystemLibrary.h"

namespace {

constexpr const char* BCryptName = "bcrypt.dll";

#define NX_BCRYPT_FUNCTIONS(F)                                                                               \
    F(BCryptOpenAlgorithmProvider)                                                                           \
    F(BCryptCloseAlgorithmProvider)                                                                          \
    F(BCryptCreateHash)                                                                                      \
    F(BCryptHashData)                                                                                        \
    F(BCryptFinishHash)                                                                                      \
    F(BCryptDestroyHash)                                                                                     \
    F(BCryptImportKeyPair)                                                                                   \
    F(BCryptDestroyKey)                                                                                      \
    F(BCryptVerifySignature)

struct BCrypt {
#define NX_FIELD(name) decltype(&::name) name = nullptr;
    NX_BCRYPT_FUNCTIONS(NX_FIELD)
#undef NX_FIELD
};

BCrypt Load() {
    BCrypt f;
    std::string why;
    void* lib = NxLoadSystemLibrary(BCryptName, why);
    if (!lib) throw ENxCryptoError(Format(NxStrings::CryptoLibrary, why.c_str()));
#define NX_LOOKUP(name)                                                                                      \
    if (!NxLookupFunction(lib, #name, f.name, why))                                                          \
        throw ENxCryptoError(Format(NxStrings::CryptoLibrary, why.c_str()));
    NX_BCRYPT_FUNCTIONS(NX_LOOKUP)
#undef NX_LOOKUP
    return f;
}

const BCrypt& Lib() {
    static const BCrypt lib = Load();
    return lib;
}

void Check(NTSTATUS status, const char* call) {
    if (status < 0)
        throw ENxCryptoError(
            Format(NxStrings::CryptoFailed,
                   Format("%s (status 0x%08lX)", call, static_cast<unsigned long>(status)).c_str()));
}

// An algorithm provider for the duration of a call.
class TProvider {
public:
    explicit TProvider(const wchar_t* algorithm) {
        Check(Lib().BCryptOpenAlgorithmProvider(&FHandle, algorithm, nullptr, 0),
              "BCryptOpenAlgorithmProvider");
    }
    ~TProvider() { Lib().BCryptCloseAlgorithmProvider(FHandle, 0); }
    TProvider(const TProvider&) = delete;
    TProvider& operator=(const TProvider&) = delete;
    BCRYPT_ALG_HANDLE Get() const { return FHandle; }

private:
    BCRYPT_ALG_HANDLE FHandle = nullptr;
};

} // namespace

struct TNxSHA256::TState {
    TProvider Provider{BCRYPT_SHA256_ALGORITHM};
    BCRYPT_HASH_HANDLE Hash = nullptr;
    ~TState() {
        if (Hash) Lib().BCryptDestroyHash(Hash);
    }
};

TNxSHA256::TNxSHA256() : FState(std::make_unique<TState>()) {
    Check(Lib().BCryptCreateHash(FState->Provider.Get(), &FState->Hash, nullptr, 0, nullptr, 0, 0),
          "BCryptCreateHash");
}

TNxSHA256::~TNxSHA256() = default;

void TNxSHA256::Update(const void* data, size_t size) {
    auto* at = static_cast<UCHAR*>(const_cast<void*>(data));
    // The call takes a 32-bit count.
    constexpr size_t Piece = 1u << 30;
    while (size > 0) {
        const size_t n = size < Piece ? size : Piece;
        Check(Lib().BCryptHashData(FState->Hash, at, static_cast<ULONG>(n), 0), "BCryptHashData");
        at += n;
        size -= n;
    }
}

TNxSHA256Digest TNxSHA256::Final() {
    TNxSHA256Digest digest{};
    Check(Lib().BCryptFinishHash(FState->Hash, digest.data(), static_cast<ULONG>(digest.size()), 0),
          "BCryptFinishHash");
    return digest;
}

bool NxVerifyP256(const TNxP256PublicKey& key, const TNxSHA256Digest& digest,
                  const TNxP256Signature& signature) {
    TProvider provider(BCRYPT_ECDSA_P256_ALGORITHM);
    unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + NxP256KeySize];
    BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, NxP256KeySize / 2};
    std::memcpy(blob, &header, sizeof(header));
    std::memcpy(blob + sizeof(header), key.data(), key.size());
    BCRYPT_KEY_HANDLE handle = nullptr;
    // The import checks that the point lies on the curve.
    Check(Lib().BCryptImportKeyPair(provider.Get(), nullptr, BCRYPT_ECCPUBLIC_BLOB, &handle, blob,
                                    sizeof(blob), 0),
          "BCryptImportKeyPair");
    TNxSHA256Digest hash = digest;
    TNxP256Signature sig = signature;
    const NTSTATUS status =
        Lib().BCryptVerifySignature(handle, nullptr, hash.data(), static_cast<ULONG>(hash.size()), sig.data(),
                                    static_cast<ULONG>(sig.size()), 0);
    Lib().BCryptDestroyKey(handle);
    // Any refusal once the key is in is the signature's fault: STATUS_INVALID_SIGNATURE for
    // one that does not verify, an invalid parameter where r or s is out of range.
    return status == 0;
}
