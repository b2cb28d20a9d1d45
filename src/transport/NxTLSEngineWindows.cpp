// The TLS engine over SChannel through SSPI. Like Winsock, the libraries are loaded by
// name on first use (secur32.dll for SSPI, crypt32.dll for the certificate checks), so
// the program's import table does not grow; the headers serve only for the types.
// The certificate is validated here, not by SChannel (manual validation): the chain
// against the system's roots (plus an optional extra root), the SSL policy for the
// server name, and IP addresses against the certificate's IP entries.
#define SECURITY_WIN32
#include <windows.h>

#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

#include "base/Format.h"
#include "base/Stream.h"
#include "base/SystemError.h"
#include "transport/NxException.h"
#include "transport/NxResourceStrings.h"
#include "transport/NxStack.h"
#include "transport/NxTLSChainWindows.h"
#include "transport/NxSystemLibrary.h"
#include "transport/NxTLSEngine.h"

namespace {

constexpr const char* Secur32Name = "secur32.dll";
constexpr const char* Crypt32Name = "crypt32.dll";
// The SSL policy's check flags (wininet's SECURITY_FLAG_IGNORE_*, not in our headers).
constexpr DWORD IgnoreUnknownCA = 0x00000100;
constexpr DWORD IgnoreNameMismatch = 0x00001000;
constexpr DWORD RequestFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                               ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                               ISC_REQ_MANUAL_CRED_VALIDATION;

// crypt32's functions, looked up by name.
struct Crypt32 {
    decltype(&CertGetCertificateChain) GetChain = nullptr;
    decltype(&CertVerifyCertificateChainPolicy) VerifyPolicy = nullptr;
    decltype(&CertFreeCertificateChain) FreeChain = nullptr;
    decltype(&CertFreeCertificateContext) FreeCert = nullptr;
    decltype(&CertCreateCertificateContext) CreateCert = nullptr;
    decltype(&CertAddCertificateContextToStore) AddToStore = nullptr;
    decltype(&CertNameToStrA) NameToStr = nullptr;
    decltype(&CryptStringToBinaryA) StringToBinary = nullptr;
    decltype(&CertFindExtension) FindExtension = nullptr;
    decltype(&CryptDecodeObjectEx) DecodeObject = nullptr;
    decltype(&CertOpenStore) OpenStore = nullptr;
    decltype(&CertCloseStore) CloseStore = nullptr;
    decltype(&CertAddStoreToCollection) AddStoreToCollection = nullptr;
};

struct Libraries {
    PSecurityFunctionTableA Sspi = nullptr;
    Crypt32 Crypt;
};

// Runs a clean-up when the scope ends, however it ends.
template <class F> class TScopeExit {
public:
    explicit TScopeExit(F f) : FF(std::move(f)) {}
    TScopeExit(const TScopeExit&) = delete;
    TScopeExit& operator=(const TScopeExit&) = delete;
    ~TScopeExit() { FF(); }

private:
    F FF;
};

[[noreturn]] void Raise(TNxTLSCheck check, const char* templ, const std::string& detail) {
    throw ENxTLSError(check, 0, Format(templ, detail.c_str()));
}

template <class F> void Lookup(void* module, const char* name, F& target) {
    std::string why;
    if (!NxLookupFunction(module, name, target, why))
        Raise(tcLibrary, NxStrings::TLSLibrary, std::string(Crypt32Name) + " " + name);
}

// Loaded once per process and kept to its end, as Winsock is.
const Libraries& Load() {
    static std::mutex lock;
    static Libraries libs;
    static bool loaded = false;
    std::lock_guard<std::mutex> guard(lock);
    if (loaded) return libs;
    // From the system folder only: both are loaded elevated in the installer.
    std::string why;
    void* secur32 = NxLoadSystemLibrary(Secur32Name, why);
    if (!secur32) Raise(tcLibrary, NxStrings::TLSLibrary, why);
    INIT_SECURITY_INTERFACE_A init = nullptr;
    if (!NxLookupFunction(secur32, "InitSecurityInterfaceA", init, why) || !(libs.Sspi = init()))
        Raise(tcLibrary, NxStrings::TLSLibrary, std::string(Secur32Name) + " InitSecurityInterfaceA");
    void* crypt32 = NxLoadSystemLibrary(Crypt32Name, why);
    if (!crypt32) Raise(tcLibrary, NxStrings::TLSLibrary, why);
    Crypt32& c = libs.Crypt;
    Lookup(crypt32, "CertGetCertificateChain", c.GetChain);
    Lookup(crypt32, "CertVerifyCertificateChainPolicy", c.VerifyPolicy);
    Lookup(crypt32, "CertFreeCertificateChain", c.FreeChain);
    Lookup(crypt32, "CertFreeCertificateContext", c.FreeCert);
    Lookup(crypt32, "CertCreateCertificateContext", c.CreateCert);
    Lookup(crypt32, "CertAddCertificateContextToStore", c.AddToStore);
    Lookup(crypt32, "CertNameToStrA", c.NameToStr);
    Lookup(crypt32, "CryptStringToBinaryA", c.StringToBinary);
    Lookup(crypt32, "CertFindExtension", c.FindExtension);
    Lookup(crypt32, "CryptDecodeObjectEx", c.DecodeObject);
    Lookup(crypt32, "CertOpenStore", c.OpenStore);
    Lookup(crypt32, "CertCloseStore", c.CloseStore);
    Lookup(crypt32, "CertAddStoreToCollection", c.AddStoreToCollection);
    loaded = true;
    return libs;
}

std::string StatusText(long status) {
    const std::string text = SysErrorMessage(static_cast<uint32_t>(status));
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
    return text.empty() ? std::string(code) : text + " " + code;
}

// The DER certificates of a PEM file.
std::vector<std::vector<BYTE>> ReadPemCertificates(const Crypt32& c, const std::string& file) {
    // The project's own file stream: iostreams would bring their locale machinery into the
    // installer, which is a download.
    std::string pem;
    try {
        TFileReadStream in(file);
        char chunk[4096];
        for (int64_t n; (n = in.Read(chunk, sizeof chunk)) > 0;)
            pem.append(chunk, static_cast<size_t>(n));
    } catch (const EStreamError&) {
        Raise(tcTrustFile, NxStrings::TLSTrustFile, file + ": cannot be read");
    }
    std::vector<std::vector<BYTE>> certs;
    const std::string begin = "-----BEGIN CERTIFICATE-----", end = "-----END CERTIFICATE-----";
    for (size_t at = pem.find(begin); at != std::string::npos; at = pem.find(begin, at)) {
        const size_t stop = pem.find(end, at);
        if (stop == std::string::npos) break;
        const std::string block = pem.substr(at, stop + end.size() - at);
        DWORD size = 0;
        if (c.StringToBinary(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                             nullptr, &size, nullptr, nullptr) &&
            size > 0) {
            std::vector<BYTE> der(size);
            if (c.StringToBinary(block.c_str(), static_cast<DWORD>(block.size()), CRYPT_STRING_BASE64HEADER,
                                 der.data(), &size, nullptr, nullptr))
                certs.push_back(std::move(der));
        }
        at = stop;
    }
    if (certs.empty()) Raise(tcTrustFile, NxStrings::TLSTrustFile, file + ": no certificate in it");
    return certs;
}

std::wstring Widen(const std::string& s) {
    return std::wstring(s.begin(), s.end()); // host names and addresses are ASCII
}

class TNxTLSEngineSChannel : public TNxTLSEngine {
public:
    explicit TNxTLSEngineSChannel(const TNxTLSSettings& settings)
        : FLibs(Load()), FServerName(settings.ServerName),
          FIsAddress(TNxStack::IsDottedQuad(settings.ServerName)) {
        if (!settings.ExtraRootFile.empty())
            FExtraRoots = ReadPemCertificates(FLibs.Crypt, settings.ExtraRootFile);
        SCHANNEL_CRED cred{};
        cred.dwVersion = SCHANNEL_CRED_VERSION;
        cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT;
        cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
        SECURITY_STATUS s = Acquire(cred);
        if (s != SEC_E_OK) {
            // A system without TLS 1.3 refuses the pair; 1.2 alone is still enough.
            cred.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
            s = Acquire(cred);
        }
        if (s != SEC_E_OK) Raise(tcLibrary, NxStrings::TLSLibrary, "SChannel credentials: " + StatusText(s));
        FHaveCred = true;
    }

    ~TNxTLSEngineSChannel() override {
        if (FHaveContext) FLibs.Sspi->DeleteSecurityContext(&FContext);
        if (FHaveCred) FLibs.Sspi->FreeCredentialsHandle(&FCred);
    }

    void Feed(const char* data, size_t size) override {
        FIn.append(data, size);
        if (FFirstBytes.size() < FirstBytesKept)
            FFirstBytes.append(data, std::min(size, FirstBytesKept - FFirstBytes.size()));
    }

    bool Handshake(std::string& out) override {
        if (FDone) return true;
        for (;;) {
            if (FHaveContext && FIn.empty()) return false;
            SecBuffer inBuf[2] = {{static_cast<unsigned long>(FIn.size()), SECBUFFER_TOKEN, FIn.data()},
                                  {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc inDesc{SECBUFFER_VERSION, 2, inBuf};
            SecBuffer outBuf[1] = {{0, SECBUFFER_TOKEN, nullptr}};
            SecBufferDesc outDesc{SECBUFFER_VERSION, 1, outBuf};
            unsigned long attrs = 0;
            std::string target = FIsAddress ? std::string() : FServerName;
            const SECURITY_STATUS s = FLibs.Sspi->InitializeSecurityContextA(
                &FCred, FHaveContext ? &FContext : nullptr, target.empty() ? nullptr : target.data(),
                RequestFlags, 0, 0, FHaveContext ? &inDesc : nullptr, 0, &FContext, &outDesc, &attrs,
                nullptr);
            if (s == SEC_E_INCOMPLETE_MESSAGE) return false;
            FHaveContext = true;
            if (outBuf[0].pvBuffer) {
                out.append(static_cast<const char*>(outBuf[0].pvBuffer), outBuf[0].cbBuffer);
                FLibs.Sspi->FreeContextBuffer(outBuf[0].pvBuffer);
            }
            if (s == SEC_I_CONTINUE_NEEDED || s == SEC_E_OK || s == SEC_I_INCOMPLETE_CREDENTIALS) {
                // What the call did not consume stays for the next one.
                if (inBuf[1].BufferType == SECBUFFER_EXTRA && inBuf[1].cbBuffer > 0)
                    FIn.erase(0, FIn.size() - inBuf[1].cbBuffer);
                else
                    FIn.clear();
            }
            if (s == SEC_E_OK) {
                Validate();
                FLibs.Sspi->QueryContextAttributesA(&FContext, SECPKG_ATTR_STREAM_SIZES, &FSizes);
                FDone = true;
                return true;
            }
            if (s == SEC_I_CONTINUE_NEEDED || s == SEC_I_INCOMPLETE_CREDENTIALS) {
                if (!out.empty() && FIn.empty()) return false;
                continue;
            }
            RaiseHandshakeFailure(s);
        }
    }

    int32_t Pending(std::string& out) override {
        if (FPlainAt < FPlain.size())
            return static_cast<int32_t>(std::min<size_t>(FPlain.size() - FPlainAt, INT32_MAX));
        return Decrypt(out);
    }

    int32_t Read(char* buffer, int32_t size, std::string& out) override {
        if (FPlainAt >= FPlain.size()) {
            const int32_t r = Decrypt(out);
            if (r <= 0) return r;
        }
        const size_t n = std::min<size_t>(static_cast<size_t>(size), FPlain.size() - FPlainAt);
        std::memcpy(buffer, FPlain.data() + FPlainAt, n);
        FPlainAt += n;
        return static_cast<int32_t>(n);
    }

    void Write(const char* data, size_t size, std::string& out) override {
        while (size > 0) {
            const size_t n = std::min<size_t>(size, FSizes.cbMaximumMessage ? FSizes.cbMaximumMessage
                                                                            : NxTLSMaxRecordPlaintext);
            std::vector<char> record(FSizes.cbHeader + n + FSizes.cbTrailer);
            std::memcpy(record.data() + FSizes.cbHeader, data, n);
            SecBuffer bufs[4] = {
                {FSizes.cbHeader, SECBUFFER_STREAM_HEADER, record.data()},
                {static_cast<unsigned long>(n), SECBUFFER_DATA, record.data() + FSizes.cbHeader},
                {FSizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record.data() + FSizes.cbHeader + n},
                {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc desc{SECBUFFER_VERSION, 4, bufs};
            const SECURITY_STATUS s = FLibs.Sspi->EncryptMessage(&FContext, 0, &desc, 0);
            if (s != SEC_E_OK) Raise(tcRecord, NxStrings::TLSRecordError, StatusText(s));
            out.append(record.data(), bufs[0].cbBuffer);
            out.append(static_cast<const char*>(bufs[1].pvBuffer), bufs[1].cbBuffer);
            out.append(static_cast<const char*>(bufs[2].pvBuffer), bufs[2].cbBuffer);
            data += n;
            size -= n;
        }
    }

    TNxTLSSessionInfo SessionInfo() const override { return FInfo; }

private:
    SECURITY_STATUS Acquire(SCHANNEL_CRED& cred) {
        TimeStamp expiry;
        return FLibs.Sspi->AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A),
                                                     SECPKG_CRED_OUTBOUND, nullptr, &cred, nullptr, nullptr,
                                                     &FCred, &expiry);
    }

    // One record (or what SChannel makes of the bytes) into FPlain.
    int32_t Decrypt(std::string& out) {
        FPlain.clear();
        FPlainAt = 0;
        while (!FIn.empty()) {
            SecBuffer bufs[4] = {{static_cast<unsigned long>(FIn.size()), SECBUFFER_DATA, FIn.data()},
                                 {0, SECBUFFER_EMPTY, nullptr},
                                 {0, SECBUFFER_EMPTY, nullptr},
                                 {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc desc{SECBUFFER_VERSION, 4, bufs};
            const SECURITY_STATUS s = FLibs.Sspi->DecryptMessage(&FContext, &desc, 0, nullptr);
            if (s == SEC_E_INCOMPLETE_MESSAGE) return 0;
            if (s == SEC_I_CONTEXT_EXPIRED) return -1; // the peer's close_notify
            if (s != SEC_E_OK && s != SEC_I_RENEGOTIATE)
                Raise(tcRecord, NxStrings::TLSRecordError, StatusText(s));
            std::string extra;
            for (const SecBuffer& b : bufs) {
                if (b.BufferType == SECBUFFER_DATA && b.pvBuffer)
                    FPlain.append(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
                else if (b.BufferType == SECBUFFER_EXTRA && b.pvBuffer)
                    extra.assign(static_cast<const char*>(b.pvBuffer), b.cbBuffer);
            }
            FIn.swap(extra);
            if (s == SEC_I_RENEGOTIATE) {
                // Post-handshake messages (a TLS 1.3 ticket or key update): the context
                // takes them through the handshake call, which may answer.
                FDone = false;
                Handshake(out);
                FDone = true;
            }
            if (!FPlain.empty()) return static_cast<int32_t>(std::min<size_t>(FPlain.size(), INT32_MAX));
        }
        return 0;
    }

    // SChannel (and Wine's over GnuTLS) report a server that speaks only an old protocol
    // as a general failure; the server's first record tells: its header carries the
    // version (RFC 5246 6.2.1; TLS 1.2 and 1.3 servers write 3.3), and an alert of
    // protocol_version (70) says so outright.
    bool ServerSpeaksOldProtocol() const {
        if (FFirstBytes.size() < 3) return false;
        const auto byte = [this](size_t i) { return static_cast<unsigned char>(FFirstBytes[i]); };
        const bool tlsRecord = (byte(0) == 0x15 || byte(0) == 0x16) && byte(1) == 3;
        if (!tlsRecord) return false;
        if (byte(2) < 3) return true;
        return byte(0) == 0x15 && FFirstBytes.size() >= 7 && byte(6) == 70;
    }

    [[noreturn]] void RaiseHandshakeFailure(SECURITY_STATUS s) {
        if (ServerSpeaksOldProtocol()) Raise(tcProtocolVersion, NxStrings::TLSProtocolTooOld, StatusText(s));
        switch (s) {
        case SEC_E_UNSUPPORTED_FUNCTION:
        case SEC_E_ALGORITHM_MISMATCH:
            Raise(tcProtocolVersion, NxStrings::TLSProtocolTooOld, StatusText(s));
        default:
            Raise(tcHandshake, NxStrings::TLSHandshakeFailure, StatusText(s));
        }
    }

    // The chain to a trusted root (the system's, or an extra one), then the name.
    void Validate() {
        const Crypt32& c = FLibs.Crypt;
        PCCERT_CONTEXT cert = nullptr;
        SECURITY_STATUS s =
            FLibs.Sspi->QueryContextAttributesA(&FContext, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &cert);
        if (s != SEC_E_OK || !cert)
            Raise(tcHandshake, NxStrings::TLSHandshakeFailure, "no server certificate");
        TScopeExit freeCert([&] { c.FreeCert(cert); });

        // Issuers come from the system, the certificates the server sent, and the extra
        // roots, which live in a store of this connection only: nothing is added to a
        // store that outlives it.
        HCERTSTORE extraStore =
            c.OpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
        HCERTSTORE issuers =
            c.OpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
        TScopeExit closeStores([&] {
            if (issuers) c.CloseStore(issuers, 0);
            if (extraStore) c.CloseStore(extraStore, 0);
        });
        if (!extraStore || !issuers)
            Raise(tcLibrary, NxStrings::TLSLibrary,
                  "certificate store: " + StatusText(static_cast<long>(GetLastError())));
        c.AddStoreToCollection(issuers, cert->hCertStore, 0, 0);
        c.AddStoreToCollection(issuers, extraStore, 0, 0);
        std::vector<PCCERT_CONTEXT> extra;
        TScopeExit freeExtra([&] {
            for (PCCERT_CONTEXT e : extra)
                c.FreeCert(e);
        });
        for (const auto& der : FExtraRoots) {
            PCCERT_CONTEXT root = c.CreateCert(X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()));
            if (!root) continue;
            extra.push_back(root);
            c.AddToStore(extraStore, root, CERT_STORE_ADD_USE_EXISTING, nullptr);
        }

        CERT_CHAIN_PARA para{};
        para.cbSize = sizeof para;
        LPSTR serverAuth = const_cast<LPSTR>(szOID_PKIX_KP_SERVER_AUTH);
        para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
        para.RequestedUsage.Usage.cUsageIdentifier = 1;
        para.RequestedUsage.Usage.rgpszUsageIdentifier = &serverAuth;
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        if (!c.GetChain(nullptr, cert, nullptr, issuers, &para, 0, nullptr, &chain) || !chain)
            Raise(tcUntrustedIssuer, NxStrings::TLSUntrustedIssuer,
                  StatusText(static_cast<long>(GetLastError())));
        TScopeExit freeChain([&] { c.FreeChain(chain); });

        // A chain that ends in one of the extra roots is trusted as if the system were.
        DWORD ignore = 0;
        if (chain->cChain > 0 && chain->rgpChain[0]->cElement > 0) {
            const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
            PCCERT_CONTEXT top = simple->rgpElement[simple->cElement - 1]->pCertContext;
            for (PCCERT_CONTEXT root : extra)
                if (top->cbCertEncoded == root->cbCertEncoded &&
                    std::memcmp(top->pbCertEncoded, root->pbCertEncoded, top->cbCertEncoded) == 0)
                    ignore |= IgnoreUnknownCA;
        }
        // An address is matched against the certificate's IP entries below; the policy's
        // name check knows host names only.
        if (FIsAddress) ignore |= IgnoreNameMismatch;
        std::wstring name = Widen(FServerName);
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
        ssl.cbSize = sizeof ssl;
        ssl.dwAuthType = AUTHTYPE_SERVER;
        ssl.fdwChecks = ignore;
        ssl.pwszServerName = name.data();
        CERT_CHAIN_POLICY_PARA policy{};
        policy.cbSize = sizeof policy;
        policy.pvExtraPolicyPara = &ssl;
        CERT_CHAIN_POLICY_STATUS status{};
        status.cbSize = sizeof status;
        if (!c.VerifyPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status))
            Raise(tcUntrustedIssuer, NxStrings::TLSUntrustedIssuer,
                  StatusText(static_cast<long>(GetLastError())));
        TNxChainFacts facts;
        facts.PolicyError = static_cast<long>(status.dwError);
        facts.ChainTrust = chain->TrustStatus.dwErrorStatus;
        facts.EndsInExtraRoot = (ignore & IgnoreUnknownCA) != 0;
        facts.ServerIsAddress = FIsAddress;
        facts.CertificateHasAddress = FIsAddress && HasAddress(cert);
        const TNxChainVerdict verdict = NxJudgeChain(facts);
        if (!verdict.Trusted) {
            if (verdict.Check == tcNameMismatch)
                Raise(tcNameMismatch, NxStrings::TLSNameMismatch, FServerName);
            Raise(verdict.Check,
                  verdict.Check == tcValidity ? NxStrings::TLSValidity : NxStrings::TLSUntrustedIssuer,
                  StatusText(verdict.Status));
        }
        Describe(cert);
    }

    // The certificate lists the server's IPv4 address among its alternative names.
    bool HasAddress(PCCERT_CONTEXT cert) const {
        const Crypt32& c = FLibs.Crypt;
        const TNxIPv4Address want = NxStack().TextToAddress(FServerName);
        PCERT_EXTENSION ext = c.FindExtension(szOID_SUBJECT_ALT_NAME2, cert->pCertInfo->cExtension,
                                              cert->pCertInfo->rgExtension);
        if (!ext) return false;
        CERT_ALT_NAME_INFO* info = nullptr;
        DWORD size = 0;
        if (!c.DecodeObject(X509_ASN_ENCODING, X509_ALTERNATE_NAME, ext->Value.pbData, ext->Value.cbData,
                            CRYPT_DECODE_ALLOC_FLAG, nullptr, &info, &size))
            return false;
        bool found = false;
        for (DWORD i = 0; i < info->cAltEntry && !found; ++i) {
            const CERT_ALT_NAME_ENTRY& e = info->rgAltEntry[i];
            found = e.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && e.IPAddress.cbData == 4 &&
                    std::memcmp(e.IPAddress.pbData, want.data(), 4) == 0;
        }
        LocalFree(info);
        return found;
    }

    void Describe(PCCERT_CONTEXT cert) {
        char subject[512] = {};
        FLibs.Crypt.NameToStr(X509_ASN_ENCODING, &cert->pCertInfo->Subject,
                              CERT_X500_NAME_STR | CERT_NAME_STR_REVERSE_FLAG, subject, sizeof subject);
        FInfo.CertificateSubject = subject;
        SecPkgContext_ConnectionInfo conn{};
        if (FLibs.Sspi->QueryContextAttributesA(&FContext, SECPKG_ATTR_CONNECTION_INFO, &conn) == SEC_E_OK) {
            if (conn.dwProtocol & SP_PROT_TLS1_3_CLIENT)
                FInfo.Protocol = "TLSv1.3";
            else if (conn.dwProtocol & SP_PROT_TLS1_2_CLIENT)
                FInfo.Protocol = "TLSv1.2";
            else
                FInfo.Protocol = Format("0x%X", static_cast<unsigned>(conn.dwProtocol));
        }
        SecPkgContext_CipherInfo cipher{};
        cipher.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
        if (FLibs.Sspi->QueryContextAttributesA(&FContext, SECPKG_ATTR_CIPHER_INFO, &cipher) == SEC_E_OK &&
            cipher.szCipherSuite[0]) {
            for (const WCHAR* p = cipher.szCipherSuite; *p; ++p)
                FInfo.Cipher += static_cast<char>(*p);
        } else {
            FInfo.Cipher = Format("algorithm 0x%X, %u bits", static_cast<unsigned>(conn.aiCipher),
                                  static_cast<unsigned>(conn.dwCipherStrength));
        }
    }

    const Libraries& FLibs;
    std::string FServerName;
    bool FIsAddress;
    std::vector<std::vector<BYTE>> FExtraRoots;
    CredHandle FCred{};
    CtxtHandle FContext{};
    bool FHaveCred = false;
    bool FHaveContext = false;
    bool FDone = false;
    SecPkgContext_StreamSizes FSizes{};
    std::string FIn;
    // The start of the server's stream: its first record header and a few bytes more.
    static constexpr size_t FirstBytesKept = 7;
    std::string FFirstBytes;
    std::string FPlain;
    size_t FPlainAt = 0;
    TNxTLSSessionInfo FInfo;
};

} // namespace

std::unique_ptr<TNxTLSEngine> CreateTLSEngine(const TNxTLSSettings& settings) {
    return std::make_unique<TNxTLSEngineSChannel>(settings);
}

TNxChainVerdict NxJudgeChain(const TNxChainFacts& facts) {
    long verdict = facts.PolicyError;
    // The chain's own verdict as well, whatever the policy made of it: a chain that does not
    // end in a trusted root (or an extra one) is refused. (Wine's SSL policy passes a chain
    // that stops short of any root.)
    const uint32_t untrusted = CERT_TRUST_IS_PARTIAL_CHAIN | CERT_TRUST_IS_NOT_SIGNATURE_VALID |
                               CERT_TRUST_IS_CYCLIC | CERT_TRUST_IS_REVOKED |
                               (facts.EndsInExtraRoot ? 0 : CERT_TRUST_IS_UNTRUSTED_ROOT);
    if (verdict == 0 && (facts.ChainTrust & untrusted)) verdict = CERT_E_UNTRUSTEDROOT;
    // The policy reports the first failed check; an expired leaf of an unknown root is
    // reported as the root. The validity periods are read on their own as well.
    if (verdict == 0 && (facts.ChainTrust & CERT_TRUST_IS_NOT_TIME_VALID))
        return {false, tcValidity, CERT_E_EXPIRED};
    switch (verdict) {
    case 0:
        break;
    case CERT_E_EXPIRED:
    case CERT_E_VALIDITYPERIODNESTING:
        return {false, tcValidity, verdict};
    case CERT_E_CN_NO_MATCH:
        return {false, tcNameMismatch, verdict};
    default:
        return {false, tcUntrustedIssuer, verdict};
    }
    // The policy's name check knows host names only; an address is matched here.
    if (facts.ServerIsAddress && !facts.CertificateHasAddress) return {false, tcNameMismatch, 0};
    return {true, tcHandshake, 0};
}
