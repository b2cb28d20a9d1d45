// The TLS engine over OpenSSL 3, driven through memory BIOs: the library never touches
// the socket, so the I/O handler keeps the waits.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

#include "base/Format.h"
#include "transport/NxException.h"
#include "transport/NxResourceStrings.h"
#include "transport/NxStack.h"
#include "transport/NxTLSEngine.h"

namespace {

struct CtxFree {
    void operator()(SSL_CTX* p) const { SSL_CTX_free(p); }
};
struct SslFree {
    void operator()(SSL* p) const { SSL_free(p); }
};

// The library's queued errors as one text (the queue is emptied).
std::string TakeErrorText() {
    std::string text;
    while (unsigned long e = ERR_get_error()) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        if (!text.empty()) text += "; ";
        text += buf;
    }
    return text.empty() ? std::string("no detail") : text;
}

[[noreturn]] void Raise(TNxTLSCheck check, const char* templ, const std::string& detail) {
    throw ENxTLSError(check, 0, Format(templ, detail.c_str()));
}

class TNxTLSEngineOpenSSL : public TNxTLSEngine {
public:
    explicit TNxTLSEngineOpenSSL(const TNxTLSSettings& settings) : FServerName(settings.ServerName) {
        ERR_clear_error();
        SSL_CTX* ctx = ContextFor(settings.ExtraRootFile);
        FSsl.reset(SSL_new(ctx));
        if (!FSsl) Raise(tcLibrary, NxStrings::TLSLibrary, TakeErrorText());
        // The BIOs belong to the SSL object from here on.
        FIn = BIO_new(BIO_s_mem());
        FOut = BIO_new(BIO_s_mem());
        SSL_set_bio(FSsl.get(), FIn, FOut);
        SSL_set_connect_state(FSsl.get());
        X509_VERIFY_PARAM* param = SSL_get0_param(FSsl.get());
        if (TNxStack::IsDottedQuad(FServerName)) {
            X509_VERIFY_PARAM_set1_ip_asc(param, FServerName.c_str());
        } else {
            SSL_set_tlsext_host_name(FSsl.get(), FServerName.c_str());
            X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            X509_VERIFY_PARAM_set1_host(param, FServerName.c_str(), 0);
        }
    }

    void Feed(const char* data, size_t size) override {
        while (size > 0) {
            const int n = BIO_write(FIn, data, static_cast<int>(std::min<size_t>(size, 1u << 30)));
            if (n <= 0) Raise(tcLibrary, NxStrings::TLSLibrary, TakeErrorText());
            data += n;
            size -= static_cast<size_t>(n);
        }
    }

    bool Handshake(std::string& out) override {
        ERR_clear_error();
        const int r = SSL_do_handshake(FSsl.get());
        TakeOutput(out);
        if (r == 1) return true;
        const int err = SSL_get_error(FSsl.get(), r);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return false;
        RaiseHandshakeFailure();
    }

    int32_t Read(char* buffer, int32_t size, std::string& out) override {
        ERR_clear_error();
        const int r = SSL_read(FSsl.get(), buffer, size);
        TakeOutput(out);
        if (r > 0) return r;
        const int err = SSL_get_error(FSsl.get(), r);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return 0;
        if (err == SSL_ERROR_ZERO_RETURN) return -1;
        Raise(tcRecord, NxStrings::TLSRecordError, TakeErrorText());
    }

    int32_t Pending(std::string& out) override {
        if (const int ready = SSL_pending(FSsl.get()); ready > 0) return ready;
        ERR_clear_error();
        char probe;
        const int r = SSL_peek(FSsl.get(), &probe, 1);
        TakeOutput(out);
        if (r > 0) return std::max(1, SSL_pending(FSsl.get()));
        const int err = SSL_get_error(FSsl.get(), r);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return 0;
        if (err == SSL_ERROR_ZERO_RETURN) return -1;
        Raise(tcRecord, NxStrings::TLSRecordError, TakeErrorText());
    }

    void Write(const char* data, size_t size, std::string& out) override {
        ERR_clear_error();
        while (size > 0) {
            const int n = SSL_write(FSsl.get(), data, static_cast<int>(std::min<size_t>(size, 1u << 30)));
            TakeOutput(out);
            if (n <= 0) Raise(tcRecord, NxStrings::TLSRecordError, TakeErrorText());
            data += n;
            size -= static_cast<size_t>(n);
        }
    }

    TNxTLSSessionInfo SessionInfo() const override {
        TNxTLSSessionInfo info;
        info.Protocol = SSL_get_version(FSsl.get());
        if (const char* cipher = SSL_get_cipher_name(FSsl.get())) info.Cipher = cipher;
        if (X509* cert = SSL_get0_peer_certificate(FSsl.get())) {
            BIO* text = BIO_new(BIO_s_mem());
            X509_NAME_print_ex(text, X509_get_subject_name(cert), 0, XN_FLAG_RFC2253);
            char* p = nullptr;
            const long n = BIO_get_mem_data(text, &p);
            if (n > 0) info.CertificateSubject.assign(p, static_cast<size_t>(n));
            BIO_free(text);
        }
        return info;
    }

private:
    void TakeOutput(std::string& out) {
        char* p = nullptr;
        const long n = BIO_get_mem_data(FOut, &p);
        if (n > 0) {
            out.append(p, static_cast<size_t>(n));
            (void)BIO_reset(FOut);
        }
    }

    // Sorts a failed handshake into the check that failed.
    [[noreturn]] void RaiseHandshakeFailure() {
        const unsigned long first = ERR_peek_error();
        const int reason = ERR_GET_REASON(first);
        const std::string detail = TakeErrorText();
        if (reason == SSL_R_CERTIFICATE_VERIFY_FAILED) {
            const long verify = SSL_get_verify_result(FSsl.get());
            const std::string why = X509_verify_cert_error_string(verify);
            switch (verify) {
            case X509_V_ERR_HOSTNAME_MISMATCH:
            case X509_V_ERR_IP_ADDRESS_MISMATCH:
            case X509_V_ERR_EMAIL_MISMATCH:
                Raise(tcNameMismatch, NxStrings::TLSNameMismatch, FServerName);
            case X509_V_ERR_CERT_HAS_EXPIRED:
            case X509_V_ERR_CERT_NOT_YET_VALID:
            case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
            case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
                Raise(tcValidity, NxStrings::TLSValidity, why);
            default:
                Raise(tcUntrustedIssuer, NxStrings::TLSUntrustedIssuer, why);
            }
        }
        switch (reason) {
        case SSL_R_UNSUPPORTED_PROTOCOL:
        case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:
        case SSL_R_NO_PROTOCOLS_AVAILABLE:
            Raise(tcProtocolVersion, NxStrings::TLSProtocolTooOld, detail);
        default:
            Raise(tcHandshake, NxStrings::TLSHandshakeFailure, detail);
        }
    }

    // One context per extra root file, made once: reading the system's roots costs
    // milliseconds, and every connection would pay it again. Kept to the end of the
    // process (freeing it after the library's own clean-up at exit would be unsafe).
    static SSL_CTX* ContextFor(const std::string& extraRootFile) {
        static std::mutex lock;
        static auto* contexts = new std::map<std::string, SSL_CTX*>();
        std::lock_guard<std::mutex> guard(lock);
        if (auto it = contexts->find(extraRootFile); it != contexts->end()) return it->second;
        std::unique_ptr<SSL_CTX, CtxFree> ctx(SSL_CTX_new(TLS_client_method()));
        if (!ctx) Raise(tcLibrary, NxStrings::TLSLibrary, TakeErrorText());
        SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
        SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_default_verify_paths(ctx.get());
        if (!extraRootFile.empty() &&
            SSL_CTX_load_verify_locations(ctx.get(), extraRootFile.c_str(), nullptr) != 1)
            Raise(tcTrustFile, NxStrings::TLSTrustFile, extraRootFile + ": " + TakeErrorText());
        ERR_clear_error(); // a missing default path is no failure
        return (*contexts)[extraRootFile] = ctx.release();
    }

    std::string FServerName;
    std::unique_ptr<SSL, SslFree> FSsl;
    BIO* FIn = nullptr;  // owned by FSsl
    BIO* FOut = nullptr; // owned by FSsl
};

} // namespace

std::unique_ptr<TNxTLSEngine> CreateTLSEngine(const TNxTLSSettings& settings) {
    return std::make_unique<TNxTLSEngineOpenSSL>(settings);
}
