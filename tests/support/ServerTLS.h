#pragma once
// The server side of TLS for the scripted servers, as a byte transformer over memory
// (OpenSSL, native target only): ciphertext in through Feed, ciphertext out into a
// string, so that the server can count, cut and pace every byte it sends.
#include <memory>
#include <string>

namespace nxtest {

struct ServerTLSSettings {
    std::string CertFile;
    std::string KeyFile;
    // Protocol range as OpenSSL's version numbers (0x0301 TLS 1.0 ... 0x0304 TLS 1.3);
    // 0 leaves the library's default.
    int MinVersion = 0;
    int MaxVersion = 0;
    // Security level 0 lets the library speak the old protocols at all.
    int SecurityLevel = -1;
};

class ServerTLS {
public:
    virtual ~ServerTLS() = default;
    virtual void Feed(const char* data, size_t size) = 0;
    // 1 done, 0 needs more input, -1 failed (Error() says why). Output appended to out.
    virtual int Handshake(std::string& out) = 0;
    // Appends decrypted bytes to plain; false once the client's close_notify or a
    // failure ended the stream.
    virtual bool Read(std::string& plain, std::string& out) = 0;
    virtual void Write(const std::string& plain, std::string& out) = 0;
    // The close_notify alert.
    virtual void Shutdown(std::string& out) = 0;
    virtual std::string Error() const = 0;
};

// Raises std::runtime_error when the certificate or key cannot be loaded, or on the
// Windows target, which has no server side.
std::unique_ptr<ServerTLS> CreateServerTLS(const ServerTLSSettings& settings);

} // namespace nxtest
