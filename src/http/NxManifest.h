#pragma once
// The signed list of a product's files: for every file its path, its size and its SHA-256,
// with a serial number that only goes up from release to release and a time after which the
// list is no longer believed, all under an ECDSA P-256 signature by the vendor's key. A
// client that holds the vendor's public key installs only bytes the list vouches for.
//
// The text (UTF-8, LF line ends; every byte is ASCII), exactly:
//   setup-manifest 1
//   serial <decimal, no leading zero>
//   expires <YYYY-MM-DDTHH:MM:SSZ, UTC>
//   file <path> <size in bytes> <SHA-256, 64 lower-case hex digits>     (any number, no path twice)
//   signature <base64 of r and s, 88 characters>
// The signature is over the SHA-256 of every byte before its line. Anything else (a CR, a
// missing or extra line, an extra blank, a second signature, a byte after the last LF) is
// refused. Paths are relative to the folder the manifest is served from: printable ASCII,
// no blank or backslash, components separated by "/", none empty, "." or "..".
#include <cstdint>
#include <string>
#include <vector>

#include "transport/NxCrypto.h"
#include "transport/NxException.h"

inline constexpr const char* NxManifestFileName = "setup-manifest.txt";
inline constexpr const char* NxManifestFormatLine = "setup-manifest 1";
// A manifest is read whole into memory before it is checked: no more than this.
inline constexpr int64_t NxManifestMaxBytes = 1 << 20;
inline constexpr size_t NxManifestMaxPathLength = 1024;
// A build trusts one key, or two while the vendor moves from one to the next.
inline constexpr size_t NxManifestMaxKeys = 2;

// Why a manifest was refused.
enum TNxManifestFault { mfFormat, mfSignature, mfExpired, mfSerial, mfKeys };

class ENxManifestError : public ENxException {
public:
    ENxManifestError(TNxManifestFault fault, std::string message)
        : ENxException(std::move(message)), FFault(fault) {}
    TNxManifestFault Fault() const noexcept { return FFault; }
    NX_EXCEPTION_NAME(ENxManifestError)

private:
    TNxManifestFault FFault;
};

struct TNxManifestEntry {
    std::string Path;
    int64_t Size = 0;
    TNxSHA256Digest SHA256{};
};

struct TNxManifest {
    uint64_t Serial = 0;
    int64_t Expires = 0; // seconds since 1970-01-01T00:00:00Z
    std::vector<TNxManifestEntry> Files;

    // The entry of path; nullptr when the manifest does not list it.
    const TNxManifestEntry* Find(const std::string& path) const;
    // The manifest's text up to its signature line: what is signed.
    std::string Body() const;
};

// A manifest read from its text, with what its signature covers.
struct TNxSignedManifest {
    TNxManifest Manifest;
    std::string SignedText;
    TNxP256Signature Signature{};
};

// Reads text exactly as above; raises ENxManifestError (mfFormat) naming the line.
TNxSignedManifest NxParseManifest(const std::string& text);

// Reads text, then checks, in this order, that one of keys signed it, that it has not expired
// at now (seconds since 1970, UTC) and that its serial is at least minSerial; raises
// ENxManifestError with the fault of the first check that fails.
TNxManifest NxVerifyManifest(const std::string& text, const std::vector<TNxP256PublicKey>& keys, int64_t now,
                             uint64_t minSerial);

// The last line of a manifest signed with signature.
std::string NxManifestSignatureLine(const TNxP256Signature& signature);

// The public keys of PEM text as `openssl ec -pubout` writes them: one or two "PUBLIC KEY"
// blocks, each a P-256 key (lines outside the blocks are ignored). Raises ENxManifestError
// (mfKeys) for anything else, a private key above all.
std::vector<TNxP256PublicKey> NxParsePublicKeys(const std::string& pem);

// Time as the manifest writes it, and back: false for anything but a valid
// "YYYY-MM-DDTHH:MM:SSZ" from the year 1970 on.
std::string NxFormatManifestTime(int64_t seconds);
bool NxParseManifestTime(const std::string& text, int64_t& seconds);

// Lower-case hex of a digest.
std::string NxHexDigest(const TNxSHA256Digest& digest);
