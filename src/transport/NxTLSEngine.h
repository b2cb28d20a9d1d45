#pragma once
// The TLS client of one connection as a byte transformer: ciphertext from the peer goes
// in through Feed, ciphertext for the peer comes out into a caller's string, plaintext
// goes in and out of Read and Write. It does no socket I/O and never waits, so the I/O
// handler keeps every wait in its own hands (cut into anti-freeze slices, ended by a
// dropped socket), and a test or a fuzz target can run it over an in-memory peer.
//
// Two implementations, chosen at build time by file name: OpenSSL (NxTLSEnginePosix.cpp)
// and SChannel through SSPI, loaded by name (NxTLSEngineWindows.cpp). Both validate
// always: the system's trusted roots (plus an optional extra root), the server name
// against the certificate's DNS names and IP addresses, TLS 1.2 or newer.
#include <cstdint>
#include <memory>
#include <string>

struct TNxTLSSettings {
    // The name the certificate must be valid for; a dotted quad is checked against the
    // certificate's IP addresses and sent without SNI (RFC 6066 allows names only).
    std::string ServerName;
    // A PEM file of one more trusted root for this connection; empty for none.
    std::string ExtraRootFile;
};

// What a finished handshake agreed on.
struct TNxTLSSessionInfo {
    std::string Protocol;           // "TLSv1.3"
    std::string Cipher;             // "TLS_AES_256_GCM_SHA384"
    std::string CertificateSubject; // the server certificate's subject, one line
};

class TNxTLSEngine {
public:
    virtual ~TNxTLSEngine() = default;

    // Ciphertext received from the peer, in any pieces.
    virtual void Feed(const char* data, size_t size) = 0;
    // Runs the handshake as far as the fed bytes allow; bytes to send are appended to
    // out. True once the handshake is complete (and the certificate accepted). Raises
    // ENxTLSError naming the check that failed.
    virtual bool Handshake(std::string& out) = 0;
    // Plaintext into buffer: the count (> 0), 0 when more ciphertext is needed, -1 once
    // the peer's close_notify has arrived. Bytes the protocol wants sent meanwhile (a key
    // update) are appended to out. A damaged record raises ENxTLSError.
    virtual int32_t Read(char* buffer, int32_t size, std::string& out) = 0;
    // Decrypts ahead without handing anything out: the plaintext bytes ready (> 0), 0
    // when more ciphertext is needed, -1 once the peer's close_notify has arrived.
    virtual int32_t Pending(std::string& out) = 0;
    // Plaintext to send, as records appended to out.
    virtual void Write(const char* data, size_t size, std::string& out) = 0;
    virtual TNxTLSSessionInfo SessionInfo() const = 0;
};

// The engine of the build for one connection. Raises ENxTLSError (tcTrustFile) when the
// extra root file cannot be read, (tcLibrary) when the platform's TLS library is missing.
std::unique_ptr<TNxTLSEngine> CreateTLSEngine(const TNxTLSSettings& settings);

// Largest plaintext one TLS record carries (RFC 8446 5.1).
inline constexpr int32_t NxTLSMaxRecordPlaintext = 16384;
