// The request engine with the TLS layer installed, against scripted TLS servers and a
// scripted proxy: the https routes, bodies, keep-alive, cookies, redirects, and the TLS
// stream cut anywhere. Last, nxget's loading of the TLS library.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/Stream.h"
#include "http/NxHTTP.h"
#include "support/NxgetRun.h"
#include "support/ScriptedServer.h"
#include "support/ServerTLS.h"
#include "support/TestCertificates.h"
#include "support/UnderValgrind.h"
#include "transport/NxIOHandlerTLS.h"

namespace {
using nxtest::TestCertificates;

std::string Reply(const std::string& headers, const std::string& body) {
    return "HTTP/1.1 200 OK\r\n" + headers + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
           body;
}

std::string Chunked(const std::string& body, size_t piece) {
    std::string out = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (size_t at = 0; at < body.size(); at += piece) {
        const std::string part = body.substr(at, piece);
        char size[16];
        std::snprintf(size, sizeof size, "%zx", part.size());
        out += std::string(size) + "\r\n" + part + "\r\n";
    }
    return out + "0\r\n\r\n";
}

std::string Body(size_t n) {
    std::string b(n, '\0');
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<char>('A' + (i * 7) % 26);
    return b;
}

nxtest::ServerTLSSettings Good() {
    const TestCertificates& certs = nxtest::SharedTestCertificates();
    return {certs.Cert(TestCertificates::kGood), certs.Key(TestCertificates::kGood)};
}

// Connects without a limit of its own (a plain connect, not the connect thread with its
// 125 ms polls: the cut test makes hundreds of connections); the handshake and the
// reads stay bounded.
class TQuickHTTP : public TNxHTTP {
public:
    TQuickHTTP() {
        FLayer.ExtraRootFile = nxtest::SharedTestCertificates().RootCert;
        FLayer.HandshakeTimeout = 5000;
        // The handshake's last flight and the request are two small sends: with Nagle the
        // second waits for the server's delayed acknowledgement.
        FLayer.SetUseNagle(false);
        SetIOHandler(&FLayer);
        ReadTimeout = 5000;
    }
    // The layer is a member, so it goes before the connection that borrows it.
    ~TQuickHTTP() override {
        DropSocket();
        SetIOHandler(nullptr);
    }
    void OpenConnection(int32_t) override { TNxHTTP::OpenConnection(-1); }

private:
    TNxIOHandlerTLS FLayer;
};

class HTTPSFixture : public ::testing::Test {
protected:
    void SetUp() override {
        tls.ExtraRootFile = nxtest::SharedTestCertificates().RootCert;
        http.SetIOHandler(&tls);
        http.ReadTimeout = 5000;
        http.Request().SetUserAgent("Mozilla/3.0 (compatible; Nx Library)");
    }
    std::string Url(const std::string& path, const char* host = "127.0.0.1") const {
        return std::string("https://") + host + ":" + std::to_string(server.Port()) + path;
    }

    nxtest::ScriptedServer server;
    TNxIOHandlerTLS tls;
    TNxHTTP http;
};

struct BodyCase {
    const char* name;
    std::string response;
    bool closes; // the body ends with the close (the server closes after it)
};

std::vector<BodyCase> BodyCases() {
    const std::string body = Body(40000);
    return {
        {"content-length", Reply("", body), false},
        {"chunked", Chunked(body, 5000), false},
        {"until-close", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body, true},
    };
}

TEST_F(HTTPSFixture, BodiesByEveryFramingArriveWhole) {
    for (const BodyCase& c : BodyCases()) {
        SCOPED_TRACE(c.name);
        nxtest::ScriptedServer s;
        s.StartTLS(Good()).ExpectReceived("\r\n\r\n").Send(c.response);
        if (c.closes) s.Close();
        s.Start();
        TNxIOHandlerTLS layer;
        layer.ExtraRootFile = tls.ExtraRootFile;
        TNxHTTP client;
        client.SetIOHandler(&layer);
        client.ReadTimeout = 5000;
        TMemoryStream ms;
        client.GetInto("https://127.0.0.1:" + std::to_string(s.Port()) + "//deri_vere/file.bin", &ms);
        EXPECT_EQ(ms.ToString(), Body(40000));
        EXPECT_EQ(client.Request().Route, rkTls);
        EXPECT_NE(s.Received().find("GET //deri_vere/file.bin HTTP/1.1\r\n"), std::string::npos);
        EXPECT_NE(s.Received().find("Host: 127.0.0.1:" + std::to_string(s.Port()) + "\r\n"),
                  std::string::npos);
    }
}

TEST_F(HTTPSFixture, KeptAliveAcrossRequestsAndPlainHTTPStillGoesThroughTheLayer) {
    server.StartTLS(Good())
        .ExpectReceived("/a ")
        .Send(Reply("", "first"))
        .ExpectReceived("/b ")
        .Send(Reply("", "second"));
    server.Start();
    nxtest::ScriptedServer plain;
    plain.ExpectReceived("\r\n\r\n").Send(Reply("", "plain"));
    plain.Start();
    TMemoryStream ms;
    http.GetInto(Url("/a", "localhost"), &ms);
    EXPECT_EQ(ms.ToString(), "first");
    ms.SetPosition(0);
    http.GetInto(Url("/b", "localhost"), &ms);
    EXPECT_EQ(ms.ToString(), "second");
    EXPECT_EQ(server.Connections(), 1);
    // The same layer speaks plain TCP for an http URL.
    ms.SetPosition(0);
    http.GetInto("http://127.0.0.1:" + std::to_string(plain.Port()) + "/p", &ms);
    EXPECT_EQ(ms.ToString(), "plain");
    EXPECT_EQ(http.Request().Route, rkDirect);
    EXPECT_NE(plain.Received().find("GET /p HTTP/1.1"), std::string::npos);
}

TEST_F(HTTPSFixture, TheStreamCutAnywhereIsACleanFailureNeverAPartialSuccess) {
    // The server's handshake bytes and the response's records (for the body delimited by
    // the close, the close_notify after it too: without it the body may have been cut).
    size_t handshake = 0, response = 0;
    for (const BodyCase& c : BodyCases()) {
        SCOPED_TRACE(c.name);
        {
            nxtest::ScriptedServer s;
            s.StartTLS(Good())
                .ExpectReceived("\r\n\r\n")
                .Call([&] { handshake = s.RawBytesSent(); })
                .Send(c.response);
            if (c.closes) s.Close();
            s.Call([&] { response = s.RawBytesSent() - handshake; });
            s.Start();
            TQuickHTTP client;
            TMemoryStream ms;
            client.GetInto("https://127.0.0.1:" + std::to_string(s.Port()) + "/f", &ms);
            ASSERT_TRUE(s.WaitFinished());
        }
        ASSERT_GT(response, 40000u);
        // Cut during the handshake (its size varies by a few bytes from run to run: the
        // signatures' encoding), then anywhere in the response, the last bytes one by one.
        // Under valgrind the same stretches at wider steps.
        const bool coarse = nxtest::UnderValgrind();
        std::vector<std::pair<bool, size_t>> cuts;
        for (size_t at = 0; at + 8 < handshake; at += coarse ? 61 : 13)
            cuts.push_back({true, at});
        for (size_t at = 0; at < response; at += coarse ? 4999 : 1499)
            cuts.push_back({false, at});
        for (size_t back = 1; back <= 40; back += coarse ? 3 : 1)
            cuts.push_back({false, response - back});
        for (const auto& [inHandshake, cut] : cuts) {
            SCOPED_TRACE(std::string(inHandshake ? "handshake" : "response") + " cut after " +
                         std::to_string(cut));
            nxtest::ScriptedServer s;
            if (inHandshake) s.CutAfter(cut, cut % 2 == 1);
            s.StartTLS(Good()).ExpectReceived("\r\n\r\n");
            if (!inHandshake) s.CutAfter(cut, cut % 2 == 1);
            s.Send(c.response);
            if (c.closes) s.Close();
            s.Start();
            TQuickHTTP client;
            TMemoryStream ms;
            EXPECT_THROW(client.GetInto("https://127.0.0.1:" + std::to_string(s.Port()) + "/f", &ms),
                         Exception);
        }
    }
}

TEST_F(HTTPSFixture, SecureCookiesTravelOnlyOverTLS) {
    server.StartTLS(Good())
        .ExpectReceived("/set ")
        .Send(Reply("Set-Cookie: sid=42; path=/; secure\r\nSet-Cookie: plain=1; path=/\r\n", "x"))
        .ExpectReceived("/again ")
        .Send(Reply("", "y"));
    server.Start();
    nxtest::ScriptedServer plain;
    plain.ExpectReceived("\r\n\r\n").Send(Reply("", "z"));
    plain.Start();
    TMemoryStream ms;
    http.GetInto(Url("/set"), &ms);
    http.GetInto(Url("/again"), &ms);
    http.GetInto("http://127.0.0.1:" + std::to_string(plain.Port()) + "/p", &ms);
    const std::string again = server.Received().substr(server.Received().find("/again "));
    EXPECT_NE(again.find("Cookie: plain=1; sid=42\r\n"), std::string::npos) << again;
    EXPECT_NE(plain.Received().find("Cookie: plain=1\r\n"), std::string::npos) << plain.Received();
    EXPECT_EQ(plain.Received().find("sid="), std::string::npos);
}

TEST_F(HTTPSFixture, ARedirectToPlainHTTPIsRefusedAndARelativeOneStaysOnHTTPS) {
    http.HandleRedirects = true;
    server.StartTLS(Good())
        .ExpectReceived("/old ")
        .Send("HTTP/1.1 302 Found\r\nLocation: /new\r\nContent-Length: 3\r\n\r\nabc")
        .ExpectReceived("/new ")
        .Send("HTTP/1.1 301 Moved\r\nLocation: http://127.0.0.1:1/plain\r\nContent-Length: 2\r\n\r\nzz")
        .ExpectReceived("/after ")
        .Send(Reply("", "still fine"));
    server.Start();
    TMemoryStream ms;
    try {
        http.GetInto(Url("/old"), &ms);
        FAIL() << "the downgrade was followed";
    } catch (const ENxRedirectDowngrade& e) {
        EXPECT_STREQ(e.what(), "Redirect from https to http refused: http://127.0.0.1:1/plain");
    }
    EXPECT_EQ(http.TargetURI().Protocol(), "https");
    // The refused redirect's body was read off: the kept connection serves the next request.
    http.GetInto(Url("/after"), &ms);
    EXPECT_EQ(ms.ToString(), "still fine");
    EXPECT_EQ(server.Connections(), 1);
}

TEST_F(HTTPSFixture, AProxyTunnelCarriesTheTLSSessionToTheTarget) {
    // The proxy answers CONNECT and then is the target's TLS server: the client cannot
    // tell, and the name it checks is the target's, not the proxy's.
    server.ExpectReceived("\r\n\r\n")
        .Send("HTTP/1.1 200 Connection established\r\n\r\n")
        .StartTLS(Good())
        .ExpectReceived("/one ")
        .Send(Reply("", "tunnelled"))
        .ExpectReceived("/two ")
        .Send(Reply("", "again"));
    server.Start();
    http.ProxyParams().SetProxyServer("127.0.0.1");
    http.ProxyParams().SetProxyPort(server.Port());
    http.ProxyParams().SetBasicAuthentication(true);
    http.ProxyParams().SetProxyUsername("u");
    http.ProxyParams().SetProxyPassword("p");
    TMemoryStream ms;
    http.GetInto(std::string("https://") + nxtest::TestServerName + "/one", &ms);
    EXPECT_EQ(ms.ToString(), "tunnelled");
    EXPECT_EQ(http.Request().Route, rkTlsProxy);
    ms.SetPosition(0);
    http.GetInto(std::string("https://") + nxtest::TestServerName + "/two", &ms);
    EXPECT_EQ(ms.ToString(), "again");
    const std::string sent = server.Received();
    const std::string connect = std::string("CONNECT ") + nxtest::TestServerName +
                                ":443 HTTP/1.1\r\nHost: " + nxtest::TestServerName +
                                ":443\r\nProxy-Authorization: Basic dTpw\r\n\r\n";
    EXPECT_EQ(sent.rfind(connect, 0), 0u) << sent;
    // The proxy's credentials go with the CONNECT only, never on to the server.
    EXPECT_EQ(sent.find("Proxy-Authorization", connect.size()), std::string::npos) << sent;
    // Inside the tunnel the request-target is the path, as to the server itself.
    EXPECT_NE(sent.find("GET /one HTTP/1.1\r\n"), std::string::npos);
    EXPECT_EQ(server.Connections(), 1);
}

TEST_F(HTTPSFixture, ATunnelWhoseHandshakeFailsIsDroppedAndAPlainProxyRequestConnectsAnew) {
    const TestCertificates& certs = nxtest::SharedTestCertificates();
    server.ExpectReceived("\r\n\r\n")
        .Send("HTTP/1.1 200 Connection established\r\n\r\n")
        .StartTLS({certs.Cert(TestCertificates::kWrongName), certs.Key(TestCertificates::kWrongName)})
        .Accept()
        .ExpectReceived("\r\n\r\n")
        .Send(Reply("", "plain via proxy"));
    server.Start();
    http.ProxyParams().SetProxyServer("127.0.0.1");
    http.ProxyParams().SetProxyPort(server.Port());
    TMemoryStream ms;
    try {
        http.GetInto(std::string("https://") + nxtest::TestServerName + "/x", &ms);
        FAIL() << "a certificate for another name was accepted through the tunnel";
    } catch (const ENxTLSError& e) {
        EXPECT_EQ(e.Check(), tcNameMismatch) << e.Message();
    }
    http.GetInto("http://plain.nxtest/y", &ms);
    EXPECT_EQ(ms.ToString(), "plain via proxy");
    EXPECT_EQ(server.Connections(), 2);
    EXPECT_NE(server.TLSFailure(), "") << "the client's refusal ended the server's handshake";
    EXPECT_EQ(server.ReceivedPerConnection().back().rfind("GET http://plain.nxtest", 0), 0u)
        << server.ReceivedPerConnection().back();
}

TEST_F(HTTPSFixture, AProxyThatRefusesTheTunnelFailsWithItsStatus) {
    server.ExpectReceived("\r\n\r\n").Send("HTTP/1.1 403 Forbidden\r\nContent-Length: 6\r\n\r\nno way");
    server.Start();
    http.ProxyParams().SetProxyServer("127.0.0.1");
    http.ProxyParams().SetProxyPort(server.Port());
    TMemoryStream ms;
    try {
        http.GetInto("https://example.nxtest/x", &ms);
        FAIL() << "a refused tunnel was used";
    } catch (const ENxHTTPProtocolException& e) {
        EXPECT_EQ(e.ReplyCode(), 403);
        EXPECT_STREQ(e.what(), "HTTP/1.1 403 Forbidden");
        EXPECT_EQ(e.ErrorBody(), "no way");
    }
    EXPECT_FALSE(tls.TLSActive());
    EXPECT_EQ(ms.Size(), 0);
}

// OpenSSL is loaded by name on the first https connection: nxget's plain download maps
// neither library (the loader's trace names every file it opens), and a library that
// cannot be loaded or lacks a function fails the download as ENxTLSError naming it. The
// stand-ins come first through LD_LIBRARY_PATH: an empty file, and the C library.
// Then the system's roots, without --cacert: a hashed directory serves alone, a file that
// SSL_CERT_FILE names is read beside it, and without either the test root is unknown.
TEST(NxgetTLSLibrary, LoadedOnFirstHttpsUseAndItsAbsenceIsAnError) {
    namespace fs = std::filesystem;
    const fs::path root = fs::temp_directory_path() / ("nxget-tls-" + std::to_string(getpid()));
    fs::create_directories(root / "empty");
    fs::create_directories(root / "other");
    std::ofstream(root / "empty/libssl.so.3").close();
    Dl_info libc{};
    ASSERT_NE(dladdr(dlsym(RTLD_DEFAULT, "printf"), &libc), 0);
    fs::create_symlink(libc.dli_fname, root / "other/libssl.so.3");
    // The test root under its subject hash, as c_rehash names it.
    const std::string rootCert = nxtest::SharedTestCertificates().RootCert;
    {
        std::unique_ptr<FILE, int (*)(FILE*)> pem(std::fopen(rootCert.c_str(), "r"), std::fclose);
        ASSERT_TRUE(pem);
        std::unique_ptr<X509, void (*)(X509*)> cert(PEM_read_X509(pem.get(), nullptr, nullptr, nullptr),
                                                    X509_free);
        ASSERT_TRUE(cert);
        char hash[16];
        std::snprintf(hash, sizeof hash, "%08lx.0", X509_subject_name_hash(cert.get()));
        fs::create_directories(root / "hashed");
        fs::create_symlink(rootCert, root / "hashed" / hash);
    }
    const std::string noFile = "env -u SSL_CERT_FILE ";
    const std::string hashedDir = "SSL_CERT_DIR=" + (root / "hashed").string() + " ";
    const std::string plainDir = "SSL_CERT_DIR=" + (root / "empty").string() + " ";
    const std::string ownFile = "SSL_CERT_FILE=" + rootCert + " ";
    const struct {
        const char* name;
        const char* scheme;
        std::string env;
        bool loaded;       // the traced runs: libssl and libcrypto among the files opened
        std::string error; // the failing runs: in the message
        bool cacert = true;
    } cases[] = {
        {"plain", "http", "LD_DEBUG=files", false, ""},
        {"https", "https", "LD_DEBUG=files", true, ""},
        {"no library", "https", "LD_LIBRARY_PATH=" + (root / "empty").string(), false,
         (root / "empty/libssl.so.3").string() + ": "},
        {"no function", "https", "LD_LIBRARY_PATH=" + (root / "other").string(), false,
         ": undefined symbol: "},
        {"hashed directory", "https", noFile + hashedDir + "LD_DEBUG=files", true, "", false},
        {"a file of its own", "https", plainDir + ownFile + "LD_DEBUG=files", true, "", false},
        {"neither", "https", noFile + plainDir, false, "TLS certificate not trusted: untrusted issuer",
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        nxtest::ScriptedServer server;
        const bool handshakes = c.error.empty() || !c.cacert;
        if (!handshakes)
            server.ExpectClientClose();
        else if (std::string(c.scheme) == "https")
            server.StartTLS(Good());
        if (c.error.empty()) server.ExpectReceived("\r\n\r\n").Send(Reply("", "pong"));
        server.Start();
        const std::string url = std::string(c.scheme) + "://localhost:" + std::to_string(server.Port()) + "/";
        std::vector<std::string> args;
        if (c.cacert) args.insert(args.end(), {"--cacert", rootCert});
        args.push_back(url);
        const nxtest::NxgetOutcome run = nxtest::RunNxget(args, root, c.env);
        const std::string log = run.out + run.err;
        EXPECT_EQ(run.exitCode, c.error.empty() ? 0 : 1) << log;
        if (c.error.empty()) {
            EXPECT_NE(log.find("pong"), std::string::npos) << log;
            EXPECT_NE(log.find("file=libc.so.6 "), std::string::npos) << log; // the trace is on
            EXPECT_EQ(log.find("file=libssl.so.3 ") != std::string::npos, c.loaded) << log;
            EXPECT_EQ(log.find("file=libcrypto.so.3 ") != std::string::npos, c.loaded) << log;
        } else {
            if (c.cacert) {
                EXPECT_NE(log.find(url + ": ENxTLSError: TLS library not available: "), std::string::npos)
                    << log;
            }
            EXPECT_NE(log.find(c.error), std::string::npos) << log;
        }
    }
    fs::remove_all(root);
}

} // namespace
