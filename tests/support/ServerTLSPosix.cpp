#include "support/ServerTLS.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <stdexcept>

namespace nxtest {
namespace {

std::string ErrorQueue() {
    std::string text;
    while (unsigned long e = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        if (!text.empty()) text += "; ";
        text += buf;
    }
    return text;
}

class OpenSSLServer : public ServerTLS {
public:
    explicit OpenSSLServer(const ServerTLSSettings& s) {
        FCtx = SSL_CTX_new(TLS_server_method());
        if (s.SecurityLevel >= 0) SSL_CTX_set_security_level(FCtx, s.SecurityLevel);
        if (s.MinVersion) SSL_CTX_set_min_proto_version(FCtx, s.MinVersion);
        if (s.MaxVersion) SSL_CTX_set_max_proto_version(FCtx, s.MaxVersion);
        if (SSL_CTX_use_certificate_chain_file(FCtx, s.CertFile.c_str()) != 1 ||
            SSL_CTX_use_PrivateKey_file(FCtx, s.KeyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
            SSL_CTX_free(FCtx);
            throw std::runtime_error("server TLS: cannot load " + s.CertFile + ": " + ErrorQueue());
        }
        FSsl = SSL_new(FCtx);
        FIn = BIO_new(BIO_s_mem());
        FOut = BIO_new(BIO_s_mem());
        SSL_set_bio(FSsl, FIn, FOut);
        SSL_set_accept_state(FSsl);
    }
    ~OpenSSLServer() override {
        SSL_free(FSsl);
        SSL_CTX_free(FCtx);
    }

    void Feed(const char* data, size_t size) override { BIO_write(FIn, data, static_cast<int>(size)); }

    int Handshake(std::string& out) override {
        ERR_clear_error();
        const int r = SSL_do_handshake(FSsl);
        Take(out);
        if (r == 1) return 1;
        const int err = SSL_get_error(FSsl, r);
        if (err == SSL_ERROR_WANT_READ) return 0;
        FError = ErrorQueue();
        if (FError.empty()) FError = "handshake error " + std::to_string(err);
        return -1;
    }

    bool Read(std::string& plain, std::string& out) override {
        char buf[16384];
        for (;;) {
            ERR_clear_error();
            const int r = SSL_read(FSsl, buf, sizeof buf);
            Take(out);
            if (r > 0) {
                plain.append(buf, static_cast<size_t>(r));
                continue;
            }
            const int err = SSL_get_error(FSsl, r);
            if (err == SSL_ERROR_WANT_READ) return true;
            if (err != SSL_ERROR_ZERO_RETURN) FError = ErrorQueue();
            return false;
        }
    }

    void Write(const std::string& plain, std::string& out) override {
        if (!plain.empty()) SSL_write(FSsl, plain.data(), static_cast<int>(plain.size()));
        Take(out);
    }

    void Shutdown(std::string& out) override {
        SSL_shutdown(FSsl);
        Take(out);
    }

    std::string Error() const override { return FError; }

private:
    void Take(std::string& out) {
        char* p = nullptr;
        const long n = BIO_get_mem_data(FOut, &p);
        if (n > 0) {
            out.append(p, static_cast<size_t>(n));
            (void)BIO_reset(FOut);
        }
    }

    SSL_CTX* FCtx = nullptr;
    SSL* FSsl = nullptr;
    BIO* FIn = nullptr;
    BIO* FOut = nullptr;
    std::string FError;
};

} // namespace

std::unique_ptr<ServerTLS> CreateServerTLS(const ServerTLSSettings& settings) {
    return std::make_unique<OpenSSLServer>(settings);
}

} // namespace nxtest
