// The TLS engine over OpenSSL 3, driven through BIOs in memory (a source of our own for the
// ciphertext received, a memory BIO for what goes out): the library never touches the
// socket, so the I/O handler keeps the waits. As on the Windows side, the libraries
// are loaded by name on first use: a program that never speaks TLS does not map them
// (about 1.8 MiB resident, and their start-up). The headers serve for the types, the
// constants and the inline functions only; every call goes through the table below.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "base/Format.h"
#include "transport/NxException.h"
#include "transport/NxResourceStrings.h"
#include "transport/NxStack.h"
#include "transport/NxSystemLibrary.h"
#include "transport/NxTLSEngine.h"

namespace {

constexpr const char* SslName = "libssl.so.3";
constexpr const char* CryptoName = "libcrypto.so.3";

// The functions the engine calls, by the library that defines them. The header macros
// over SSL_ctrl, SSL_CTX_ctrl and BIO_ctrl are written out as calls of these.
#define NX_LIBSSL_FUNCTIONS(F)                                                                               \
    F(TLS_client_method)                                                                                     \
    F(SSL_CTX_new)                                                                                           \
    F(SSL_CTX_free)                                                                                          \
    F(SSL_CTX_ctrl)                                                                                          \
    F(SSL_CTX_set_verify)                                                                                    \
    F(SSL_CTX_set_default_verify_paths)                                                                      \
    F(SSL_CTX_set_default_verify_dir)                                                                        \
    F(SSL_CTX_load_verify_locations)                                                                         \
    F(SSL_new)                                                                                               \
    F(SSL_free)                                                                                              \
    F(SSL_ctrl)                                                                                              \
    F(SSL_set_bio)                                                                                           \
    F(SSL_set_connect_state)                                                                                 \
    F(SSL_get0_param)                                                                                        \
    F(SSL_do_handshake)                                                                                      \
    F(SSL_get_error)                                                                                         \
    F(SSL_read)                                                                                              \
    F(SSL_peek)                                                                                              \
    F(SSL_pending)                                                                                           \
    F(SSL_write)                                                                                             \
    F(SSL_get_version)                                                                                       \
    F(SSL_get_current_cipher)                                                                                \
    F(SSL_CIPHER_get_name)                                                                                   \
    F(SSL_get0_peer_certificate)                                                                             \
    F(SSL_get_verify_result)
#define NX_LIBCRYPTO_FUNCTIONS(F)                                                                            \
    F(ERR_get_error)                                                                                         \
    F(ERR_peek_error)                                                                                        \
    F(ERR_clear_error)                                                                                       \
    F(ERR_error_string_n)                                                                                    \
    F(BIO_s_mem)                                                                                             \
    F(BIO_new)                                                                                               \
    F(BIO_free)                                                                                              \
    F(BIO_ctrl)                                                                                              \
    F(BIO_get_new_index)                                                                                     \
    F(BIO_meth_new)                                                                                          \
    F(BIO_meth_set_read)                                                                                     \
    F(BIO_meth_set_ctrl)                                                                                     \
    F(BIO_set_data)                                                                                          \
    F(BIO_get_data)                                                                                          \
    F(BIO_set_init)                                                                                          \
    F(BIO_set_flags)                                                                                         \
    F(BIO_clear_flags)                                                                                       \
    F(X509_get_subject_name)                                                                                 \
    F(X509_NAME_print_ex)                                                                                    \
    F(X509_verify_cert_error_string)                                                                         \
    F(X509_VERIFY_PARAM_set1_host)                                                                           \
    F(X509_VERIFY_PARAM_set1_ip_asc)                                                                         \
    F(X509_VERIFY_PARAM_set_hostflags)                                                                       \
    F(X509_get_default_cert_dir)                                                                             \
    F(X509_get_default_cert_dir_env)                                                                         \
    F(X509_get_default_cert_file)                                                                            \
    F(X509_get_default_cert_file_env)

struct OpenSSL {
#define NX_FIELD(name) decltype(&::name) name = nullptr;
    NX_LIBSSL_FUNCTIONS(NX_FIELD)
    NX_LIBCRYPTO_FUNCTIONS(NX_FIELD)
#undef NX_FIELD
};

[[noreturn]] void Raise(TNxTLSCheck check, const char* templ, const std::string& detail) {
    throw ENxTLSError(check, 0, Format(templ, detail.c_str()));
}

// The loader's own words ("libssl.so.3: cannot open shared object file: ...", "...: undefined
// symbol: SSL_new") name what is missing.
void* Open(const char* name) {
    std::string why;
    void* lib = NxLoadSystemLibrary(name, why);
    if (!lib) Raise(tcLibrary, NxStrings::TLSLibrary, why);
    return lib;
}

template <class F> void Lookup(void* lib, const char* name, F& target) {
    std::string why;
    if (!NxLookupFunction(lib, name, target, why)) Raise(tcLibrary, NxStrings::TLSLibrary, why);
}

OpenSSL Load() {
    OpenSSL f;
    void* ssl = Open(SslName);
    void* crypto = Open(CryptoName);
#define NX_LOOKUP_SSL(name) Lookup(ssl, #name, f.name);
#define NX_LOOKUP_CRYPTO(name) Lookup(crypto, #name, f.name);
    NX_LIBSSL_FUNCTIONS(NX_LOOKUP_SSL)
    NX_LIBCRYPTO_FUNCTIONS(NX_LOOKUP_CRYPTO)
#undef NX_LOOKUP_SSL
#undef NX_LOOKUP_CRYPTO
    return f;
}

// Loaded once per process (a failed load is tried again by the next connection) and
// kept to its end: the library's own clean-up runs at exit.
const OpenSSL& Lib() {
    static const OpenSSL lib = Load();
    return lib;
}

// Ciphertext received and not yet taken by the library, read by it through a BIO of its
// own. A memory BIO clears every byte it grows by and moves its unread rest down at every
// write: two more passes over each byte of a download.
struct TCipherInput {
    std::vector<char> Bytes;
    size_t At = 0; // the bytes before it are taken

    void Append(const char* data, size_t size) {
        if (At == Bytes.size()) {
            Bytes.clear();
            At = 0;
        } else if (At >= Bytes.size() / 2) {
            // What is left is at most the smaller half: moved once, not at every receive.
            Bytes.erase(Bytes.begin(), Bytes.begin() + static_cast<std::ptrdiff_t>(At));
            At = 0;
        }
        Bytes.insert(Bytes.end(), data, data + size);
    }
};

int ReadCipherInput(BIO* bio, char* out, int size) {
    const OpenSSL& f = Lib();
    auto* input = static_cast<TCipherInput*>(f.BIO_get_data(bio));
    f.BIO_clear_flags(bio, BIO_FLAGS_RWS | BIO_FLAGS_SHOULD_RETRY);
    const size_t left = input->Bytes.size() - input->At;
    if (left == 0 || size <= 0) {
        // Nothing yet: the library asks again once more has been fed (BIO_set_retry_read).
        f.BIO_set_flags(bio, BIO_FLAGS_READ | BIO_FLAGS_SHOULD_RETRY);
        return -1;
    }
    const size_t n = std::min(left, static_cast<size_t>(size));
    std::memcpy(out, input->Bytes.data() + input->At, n);
    input->At += n;
    return static_cast<int>(n);
}

long ControlCipherInput(BIO* bio, int command, long, void*) {
    switch (command) {
    case BIO_CTRL_PENDING: {
        const auto* input = static_cast<const TCipherInput*>(Lib().BIO_get_data(bio));
        return static_cast<long>(input->Bytes.size() - input->At);
    }
    case BIO_CTRL_FLUSH:
        return 1;
    default:
        return 0;
    }
}

// Made once and kept to the end of the process, as the library expects of a method.
BIO_METHOD* CipherInputMethod() {
    static BIO_METHOD* method = [] {
        const OpenSSL& f = Lib();
        BIO_METHOD* m = f.BIO_meth_new(f.BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "nx cipher input");
        if (m == nullptr) return m;
        f.BIO_meth_set_read(m, ReadCipherInput);
        f.BIO_meth_set_ctrl(m, ControlCipherInput);
        return m;
    }();
    return method;
}

struct CtxFree {
    void operator()(SSL_CTX* p) const { Lib().SSL_CTX_free(p); }
};
struct SslFree {
    void operator()(SSL* p) const { Lib().SSL_free(p); }
};

// The library's queued errors as one text (the queue is emptied).
std::string TakeErrorText() {
    const OpenSSL& f = Lib();
    std::string text;
    while (unsigned long e = f.ERR_get_error()) {
        char buf[256];
        f.ERR_error_string_n(e, buf, sizeof buf);
        if (!text.empty()) text += "; ";
        text += buf;
    }
    return text.empty() ? std::string("no detail") : text;
}

// BIO_get_mem_data without its macro.
long MemData(const OpenSSL& f, BIO* bio, char** p) {
    return f.BIO_ctrl(bio, BIO_CTRL_INFO, 0, p);
}

// A root file named by its subject hash, as c_rehash and update-ca-certificates name them
// ("5ed36f99.0").
bool IsHashName(const std::string& name) {
    if (name.size() < 10 || name[8] != '.') return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const char ch = name[i];
        const bool ok =
            i < 8 ? (ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f') : i == 8 || (ch >= '0' && ch <= '9');
        if (!ok) return false;
    }
    return true;
}

// True when a directory of the list (separated by colons, as the library reads it) holds
// roots by their hashes.
bool HasHashedRoots(const std::string& dirs) {
    namespace fs = std::filesystem;
    for (size_t start = 0; start <= dirs.size();) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::error_code ec;
        for (fs::directory_iterator it(dirs.substr(start, end - start), ec);
             !ec && it != fs::directory_iterator(); it.increment(ec))
            if (IsHashName(it->path().filename().string())) return true;
        start = end + 1;
    }
    return false;
}

// The system's roots. The bundle file is parsed whole on the first connection of every
// process, about 45 ms for Debian's 140 roots under OpenSSL 3 (a 1 KiB download over https
// took 61 ms, 14 ms without it); a hashed directory is searched for just the issuer a
// chain names. So a hashed directory serves alone, and the bundle is read where there is
// none or where SSL_CERT_FILE names another file than the system's bundle.
void TrustSystemRoots(const OpenSSL& f, SSL_CTX* ctx) {
    std::error_code ec;
    const char* fileEnv = std::getenv(f.X509_get_default_cert_file_env());
    const bool ownFile =
        fileEnv != nullptr && !std::filesystem::equivalent(fileEnv, f.X509_get_default_cert_file(), ec);
    const char* dirEnv = std::getenv(f.X509_get_default_cert_dir_env());
    const std::string dirs = dirEnv ? dirEnv : f.X509_get_default_cert_dir();
    if (!ownFile && HasHashedRoots(dirs))
        f.SSL_CTX_set_default_verify_dir(ctx);
    else
        f.SSL_CTX_set_default_verify_paths(ctx);
}

class TNxTLSEngineOpenSSL : public TNxTLSEngine {
public:
    explicit TNxTLSEngineOpenSSL(const TNxTLSSettings& settings)
        : FLib(Lib()), FServerName(settings.ServerName) {
        FLib.ERR_clear_error();
        SSL_CTX* ctx = ContextFor(settings.ExtraRootFile);
        FSsl.reset(FLib.SSL_new(ctx));
        if (!FSsl) Raise(tcLibrary, NxStrings::TLSLibrary, TakeErrorText());
        // The BIOs belong to the SSL object from here on.
        BIO_METHOD* inputMethod = CipherInputMethod();
        FIn = inputMethod ? FLib.BIO_new(inputMethod) : nullptr;
        FOut = FLib.BIO_new(FLib.BIO_s_mem());
        if (!FIn || !FOut) {
            if (FIn) FLib.BIO_free(FIn);
            if (FOut) FLib.BIO_free(FOut);
            Raise(tcLibrary, NxStrings::TLSLibrary, TakeErrorText());
        }
        FLib.BIO_set_data(FIn, &FInput);
        FLib.BIO_set_init(FIn, 1);
        FLib.SSL_set_bio(FSsl.get(), FIn, FOut);
        FLib.SSL_set_connect_state(FSsl.get());
        X509_VERIFY_PARAM* param = FLib.SSL_get0_param(FSsl.get());
        if (TNxStack::IsDottedQuad(FServerName)) {
            FLib.X509_VERIFY_PARAM_set1_ip_asc(param, FServerName.c_str());
        } else {
            // SSL_set_tlsext_host_name
            FLib.SSL_ctrl(FSsl.get(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                          const_cast<char*>(FServerName.c_str()));
            FLib.X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            FLib.X509_VERIFY_PARAM_set1_host(param, FServerName.c_str(), 0);
        }
    }

    void Feed(const char* data, size_t size) override { FInput.Append(data, size); }

    bool Handshake(std::string& out) override {
        FLib.ERR_clear_error();
        const int r = FLib.SSL_do_handshake(FSsl.get());
        TakeOutput(out);
        if (r == 1) return true;
        const int err = FLib.SSL_get_error(FSsl.get(), r);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return false;
        RaiseHandshakeFailure();
    }

    int32_t Read(char* buffer, int32_t size, std::string& out) override {
        FLib.ERR_clear_error();
        const int r = FLib.SSL_read(FSsl.get(), buffer, size);
        TakeOutput(out);
        if (r > 0) return r;
        const int err = FLib.SSL_get_error(FSsl.get(), r);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return 0;
        if (err == SSL_ERROR_ZERO_RETURN) return -1;
        Raise(tcRecord, NxStrings::TLSRecordError, TakeErrorText());
    }

    int32_t Pending(std::string& out) override {
        if (const int ready = FLib.SSL_pending(FSsl.get()); ready > 0) return ready;
        FLib.ERR_clear_error();
        char probe;
        const int r = FLib.SSL_peek(FSsl.get(), &probe, 1);
        TakeOutput(out);
        if (r > 0) return std::max(1, FLib.SSL_pending(FSsl.get()));
        const int err = FLib.SSL_get_error(FSsl.get(), r);
        if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return 0;
        if (err == SSL_ERROR_ZERO_RETURN) return -1;
        Raise(tcRecord, NxStrings::TLSRecordError, TakeErrorText());
    }

    void Write(const char* data, size_t size, std::string& out) override {
        FLib.ERR_clear_error();
        while (size > 0) {
            const int n =
                FLib.SSL_write(FSsl.get(), data, static_cast<int>(std::min<size_t>(size, 1u << 30)));
            TakeOutput(out);
            if (n <= 0) Raise(tcRecord, NxStrings::TLSRecordError, TakeErrorText());
            data += n;
            size -= static_cast<size_t>(n);
        }
    }

    TNxTLSSessionInfo SessionInfo() const override {
        TNxTLSSessionInfo info;
        info.Protocol = FLib.SSL_get_version(FSsl.get());
        // SSL_get_cipher_name
        if (const char* cipher = FLib.SSL_CIPHER_get_name(FLib.SSL_get_current_cipher(FSsl.get())))
            info.Cipher = cipher;
        if (X509* cert = FLib.SSL_get0_peer_certificate(FSsl.get())) {
            BIO* text = FLib.BIO_new(FLib.BIO_s_mem());
            FLib.X509_NAME_print_ex(text, FLib.X509_get_subject_name(cert), 0, XN_FLAG_RFC2253);
            char* p = nullptr;
            const long n = MemData(FLib, text, &p);
            if (n > 0) info.CertificateSubject.assign(p, static_cast<size_t>(n));
            FLib.BIO_free(text);
        }
        return info;
    }

private:
    void TakeOutput(std::string& out) {
        char* p = nullptr;
        const long n = MemData(FLib, FOut, &p);
        if (n > 0) {
            out.append(p, static_cast<size_t>(n));
            FLib.BIO_ctrl(FOut, BIO_CTRL_RESET, 0, nullptr); // BIO_reset
        }
    }

    // Sorts a failed handshake into the check that failed.
    [[noreturn]] void RaiseHandshakeFailure() {
        const unsigned long first = FLib.ERR_peek_error();
        const int reason = ERR_GET_REASON(first);
        const std::string detail = TakeErrorText();
        if (reason == SSL_R_CERTIFICATE_VERIFY_FAILED) {
            const long verify = FLib.SSL_get_verify_result(FSsl.get());
            const std::string why = FLib.X509_verify_cert_error_string(verify);
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
        const OpenSSL& f = Lib();
        std::lock_guard<std::mutex> guard(lock);
        if (auto it = contexts->find(extraRootFile); it != contexts->end()) return it->second;
        std::unique_ptr<SSL_CTX, CtxFree> ctx(f.SSL_CTX_new(f.TLS_client_method()));
        if (!ctx) Raise(tcLibrary, NxStrings::TLSLibrary, TakeErrorText());
        // SSL_CTX_set_min_proto_version
        f.SSL_CTX_ctrl(ctx.get(), SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr);
        // SSL_CTX_set_read_ahead: as many records as are fed are taken in one read.
        f.SSL_CTX_ctrl(ctx.get(), SSL_CTRL_SET_READ_AHEAD, 1, nullptr);
        f.SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
        TrustSystemRoots(f, ctx.get());
        if (!extraRootFile.empty() &&
            f.SSL_CTX_load_verify_locations(ctx.get(), extraRootFile.c_str(), nullptr) != 1)
            Raise(tcTrustFile, NxStrings::TLSTrustFile, extraRootFile + ": " + TakeErrorText());
        f.ERR_clear_error(); // a missing default path is no failure
        return (*contexts)[extraRootFile] = ctx.release();
    }

    const OpenSSL& FLib;
    std::string FServerName;
    TCipherInput FInput; // read by FIn: outlives FSsl
    std::unique_ptr<SSL, SslFree> FSsl;
    BIO* FIn = nullptr;  // owned by FSsl
    BIO* FOut = nullptr; // owned by FSsl
};

} // namespace

std::unique_ptr<TNxTLSEngine> CreateTLSEngine(const TNxTLSSettings& settings) {
    return std::make_unique<TNxTLSEngineOpenSSL>(settings);
}
