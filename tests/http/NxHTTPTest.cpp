#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/Stream.h"
#include "http/NxHTTP.h"
#include "support/ScriptedServer.h"
#include "transport/NxStack.h"

namespace {

inline const std::string UserAgentLine = "User-Agent: Mozilla/3.0 (compatible; Nx Library)\r\n";

// A response with a counted body.
inline std::string Reply(const std::string& status, const std::string& headers, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

// The exact head of a GET the client sends with the installer's request settings.
inline std::string GetHead(const std::string& target, const std::string& host,
                           const std::string& extra = {}) {
    return "GET " + target + " HTTP/1.1\r\nContent-Type: text/html\r\nHost: " + host +
           "\r\nAccept: text/html, */*\r\n" + UserAgentLine + extra + "\r\n";
}

// Exposes the protected steps for direct checks.
class TTestHTTP : public TNxHTTP {
public:
    using TNxCustomHTTP::ResolveTarget;
};

class NxHTTPFixture : public ::testing::Test {
protected:
    void SetUp() override {
        // The installer's stored settings; a bounded read time-out instead of its 0 so that
        // a broken exchange fails instead of hanging the test.
        http.ReadTimeout = 5000;
        http.MaxLineAction = maException;
        http.AllowCookies = true;
        http.Request().SetContentLength(0);
        http.Request().SetContentType("text/html");
        http.Request().SetAccept("text/html, */*");
        http.Request().SetUserAgent("Mozilla/3.0 (compatible; Nx Library)");
        http.OnWorkBegin = [this](TNxComponent*, TWorkMode, int32_t max) {
            work.push_back("begin " + std::to_string(max));
        };
        http.OnWorkEnd = [this](TNxComponent*, TWorkMode) { work.push_back("end"); };
    }
    std::string HostPort() const { return "127.0.0.1:" + std::to_string(server.Port()); }
    std::string Url(const std::string& path) const { return "http://" + HostPort() + path; }

    nxtest::ScriptedServer server;
    TTestHTTP http;
    std::vector<std::string> work;
};

} // namespace

// A fresh client per row: the port rule depends on what came before.
TEST(NxHTTPTarget, MergingUrlsIntoTheTarget) {
    struct Step {
        const char* url;
        const char* target; // nullptr: the step raises, host is the message
        const char* host;
        const char* port;
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    } cases[] = {
        {"installer URL keeps its doubled slash",
         {{"http://dist.example//deri_vere/uninstall.exe", "//deri_vere/uninstall.exe", "dist.example",
           "80"}}},
        {"non-80 port in Host and carried to the next port-less URL",
         {{"http://h:8080/a/b.txt?x=1", "/a/b.txt?x=1", "h:8080", "8080"},
          {"http://h/c.txt", "/c.txt", "h:8080", "8080"},
          {"ftp://h/d", "/d", "h:8080", "8080"}}},
        {"after 80 a scheme gets its own port",
         {{"http://h/a", "/a", "h", "80"},
          {"https://h/b", "/b", "h:443", "443"},
          {"http://h/c", "/c", "h", "80"}}},
        {"relative target keeps host and merges the path",
         {{"http://h/dir/a.txt", "/dir/a.txt", "h", "80"},
          {"b.txt", "/dir/b.txt", "h", "80"},
          {"/top.txt", "/top.txt", "h", "80"}}},
        {"the authority ends at a query, and the fragment is never sent",
         {{"http://h:8080?x=1", "/?x=1", "h:8080", "8080"},
          {"http://h/p?a@b", "/p?a@b", "h:8080", "8080"},
          {"http://h/a#sec/tion", "/a", "h:8080", "8080"}}},
        {"unknown scheme", {{"gopher://h/x", nullptr, "", ""}}},
        {"a blank or a control byte that would break the request line or Host",
         {{"http://h/a b.exe", nullptr, "Document field contains an invalid character", ""},
          {"http://h/a\r\nX-Injected: 1", nullptr, "Document field contains an invalid character", ""},
          {"http://h/d\x01r/f", nullptr, "Path field contains an invalid character", ""},
          {"http://h/f?q=\x7f", nullptr, "Query field contains an invalid character", ""},
          {"http://exa mple/f", nullptr, "Host field contains an invalid character", ""},
          {"http://h:80\t/f", nullptr, "Port field contains an invalid character", ""}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TTestHTTP http;
        for (const auto& s : c.steps) {
            http.Request().Target = s.url;
            if (s.target == nullptr) {
                try {
                    http.ResolveTarget();
                    ADD_FAILURE() << s.url << " was accepted";
                } catch (const ENxException& e) {
                    EXPECT_STREQ(e.what(), s.host);
                }
                continue;
            }
            http.ResolveTarget();
            EXPECT_EQ(http.Request().Target, s.target) << s.url;
            EXPECT_EQ(http.Request().Host(), s.host) << s.url;
            EXPECT_EQ(http.TargetURI().Port(), s.port) << s.url;
            EXPECT_EQ(http.Request().ContentLength(), -1) << "a GET sends no Content-Length";
        }
    }
}

TEST(NxHTTPTarget, MethodRulesAndCredentials) {
    TTestHTTP http;
    http.Request().Target = "http://user:secret@h/x";
    http.ResolveTarget();
    EXPECT_EQ(http.Request().Username(), "user");
    EXPECT_EQ(http.Request().Password(), "secret");
    http.Request().Target = "http://h/y";
    http.ResolveTarget();
    EXPECT_EQ(http.TargetURI().User(), "user") << "credentials stay with the client";

    http.Request().Target = "http://h/*";
    http.Request().RequestMethod = hmOptions;
    http.ResolveTarget();
    EXPECT_EQ(http.Request().Target, "*");

    http.ProtocolVersion = pv1_0;
    for (TNxHTTPMethod m : {hmOptions, hmTrace, hmPut, hmDelete}) {
        http.Request().RequestMethod = m;
        http.Request().Target = "http://h/z";
        try {
            http.ResolveTarget();
            ADD_FAILURE() << MethodWord(m) << "accepted with 1.0";
        } catch (const ENxException& e) {
            EXPECT_STREQ(e.what(), "This request method is supported in HTTP 1.1");
        }
    }
    TMemoryStream upload;
    upload.WriteString("12345");
    http.Request().RequestMethod = hmPost;
    http.Request().UploadStream = &upload;
    http.Request().Target = "http://h/post";
    http.ResolveTarget();
    EXPECT_EQ(http.Request().ContentLength(), 5);
}

TEST(NxHTTPStatus, StatusCodeOfLines) {
    struct Case {
        const char* line;
        int32_t code;
    } cases[] = {{"HTTP/1.1 200 OK", 200},
                 {"HTTP/1.0 404 Not Found", 404},
                 {"HTTP/1.1   301   Moved", 301},
                 {"HTTP/1.1 abc def", -1},
                 {"HTTP/1.1", -1},
                 {"HTTP/1.1 204", 204},
                 {"", -1},
                 {"HTTP/1.1 2x0 OK", -1}};
    for (const auto& c : cases)
        EXPECT_EQ(StatusCodeOf(c.line), c.code) << c.line;
}

TEST_F(NxHTTPFixture, InstallerRequestHeadAndKeptConnectionWithCookie) {
    server.ExpectReceived("uninstall.exe")
        .Send(Reply("200 OK", "Set-Cookie: SID=1; path=/\r\n", "first"))
        .ExpectReceived("r_ver.txt")
        .Send(Reply("200 OK", "", "second!"));
    server.Start();
    TMemoryStream ms;
    http.GetInto(Url("//deri_vere/uninstall.exe"), &ms);
    EXPECT_EQ(ms.ToString(), "first");
    EXPECT_EQ(http.StatusLine(), "HTTP/1.1 200 OK");
    ms.SetPosition(0);
    http.GetInto(Url("//deri_vere/r_ver.txt"), &ms);
    EXPECT_EQ(ms.ToString(), "second!");
    ASSERT_TRUE(server.WaitFinished(5000)) << server.Failure();
    EXPECT_EQ(server.Connections(), 1) << "the connection is kept between downloads";
    EXPECT_EQ(server.Received(), GetHead("//deri_vere/uninstall.exe", HostPort()) +
                                     GetHead("//deri_vere/r_ver.txt", HostPort(), "Cookie: SID=1\r\n"));
    EXPECT_TRUE(http.IsConnected());
}

TEST_F(NxHTTPFixture, SchemesWithoutATransport) {
    TMemoryStream ms;
    try {
        http.GetInto("https://127.0.0.1/x", &ms);
        FAIL() << "https accepted";
    } catch (const ENxIOHandlerPropInvalid& e) {
        EXPECT_STREQ(e.what(), "IOHandler value is not valid");
    }
    EXPECT_THROW(http.GetInto("gopher://127.0.0.1/x", &ms), ENxUnknownProtocol);
    EXPECT_EQ(http.HopCount(), 0) << "back at 0 however the request ends";
    // Through a proxy the tunnel needs the layer as well; nothing is sent to the proxy.
    const nxtest::RefusingPort proxy;
    http.ProxyParams().SetProxyServer("127.0.0.1");
    http.ProxyParams().SetProxyPort(proxy.Port());
    EXPECT_THROW(http.GetInto("https://127.0.0.1/x", &ms), ENxIOHandlerPropInvalid);
    http.ProxyParams().SetProxyServer("");
    try {
        http.GetInto("http://127.0.0.1:8o/x", &ms);
        FAIL() << "a port that is no number was accepted";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'8o' is not a valid integer value");
    }
}

// Each failing response is followed by a good one on the same connection where the
// keep-alive rule allows it; the caller's stream is never touched by a failure.
TEST_F(NxHTTPFixture, RejectedResponses) {
    struct Case {
        const char* name;
        std::string response;
        std::string message;
        int32_t code;
        std::string errorBody;
    } cases[] = {
        {"302", Reply("302 Found", "Location: http://elsewhere/\r\n", "moved"), "HTTP/1.1 302 Found", 302,
         "moved"},
        {"3xx without Location", Reply("303 See Other", "", "where?"), "HTTP/1.1 303 See Other", 303,
         "where?"},
        {"404", Reply("404 Not Found", "Content-Type: text/plain\r\n", "no such file"),
         "HTTP/1.1 404 Not Found", 404, "no such file"},
        {"chunked 500", "HTTP/1.1 500 Oops\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nbad!\r\n0\r\n\r\n",
         "HTTP/1.1 500 Oops", 500, "bad!"},
        {"304 has no body whatever its length", "HTTP/1.1 304 Not Modified\r\nContent-Length: 9\r\n\r\n",
         "HTTP/1.1 304 Not Modified", 304, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        nxtest::ScriptedServer peer;
        TTestHTTP client;
        client.ReadTimeout = 5000;
        peer.ExpectReceived("/fail")
            .Send(c.response)
            .ExpectReceived("/next")
            .Send(Reply("200 OK", "", "fine"));
        peer.Start();
        const std::string base = "http://127.0.0.1:" + std::to_string(peer.Port());
        TMemoryStream ms;
        ms.WriteString("untouched");
        ms.SetPosition(2);
        try {
            client.GetInto(base + "/fail", &ms);
            ADD_FAILURE() << "accepted";
        } catch (const ENxHTTPProtocolException& e) {
            EXPECT_EQ(e.Message(), c.message);
            EXPECT_EQ(e.ReplyCode(), c.code);
            EXPECT_EQ(e.ErrorBody(), c.errorBody);
        }
        EXPECT_EQ(ms.ToString(), "untouched");
        EXPECT_EQ(ms.Position(), 2);
        EXPECT_EQ(client.HopCount(), 0);
        TMemoryStream next;
        client.GetInto(base + "/next", &next);
        EXPECT_EQ(next.ToString(), "fine");
        EXPECT_EQ(peer.Connections(), 1);
    }
}

// An accepted response without a body leaves the stream as it was, earlier bytes included.
TEST_F(NxHTTPFixture, EmptyBodiesLeaveTheStreamAsItWas) {
    const std::string responses[] = {
        "HTTP/1.1 204 No Content\r\n\r\n",
        Reply("200 OK", "", ""),
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
    };
    for (int i = 0; i < 3; ++i)
        server.ExpectReceived("/e" + std::to_string(i) + " HTTP").Send(responses[i]);
    server.Start();
    TMemoryStream ms;
    ms.WriteString("PREVIOUS FILE");
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(responses[i]);
        ms.SetPosition(3);
        work.clear();
        http.GetInto(Url("/e" + std::to_string(i)), &ms);
        EXPECT_EQ(ms.ToString(), "PREVIOUS FILE");
        EXPECT_EQ(ms.Position(), 3);
        EXPECT_TRUE(work.empty()) << "no read, no work phase";
    }
}

TEST_F(NxHTTPFixture, InterimContinueThenOkWithCookiesFromBoth) {
    server.ExpectReceived("/one ")
        .Send("HTTP/1.1 100 Continue\r\nSet-Cookie: a=1\r\n\r\n")
        .Pause(20)
        .Send(Reply("200 OK", "Set-Cookie: b=2\r\n", "body"))
        .ExpectReceived("/two ")
        .Send(Reply("200 OK", "", "x"));
    server.Start();
    TMemoryStream ms;
    http.GetInto(Url("/one"), &ms);
    EXPECT_EQ(ms.ToString(), "body");
    EXPECT_EQ(http.ResponseCode(), 200);
    ASSERT_NE(http.CookieManager(), nullptr);
    EXPECT_TRUE(http.OwnsCookieManager());
    http.GetInto(Url("/two"), &ms);
    ASSERT_TRUE(server.WaitFinished(5000)) << server.Failure();
    const std::string second =
        server.ReceivedPerConnection().at(0).substr(server.Received().find("GET /two"));
    EXPECT_NE(second.find("a=1"), std::string::npos) << second;
    EXPECT_NE(second.find("b=2"), std::string::npos) << second;
    EXPECT_EQ(server.Received().find("Cookie"),
              server.Received().find("Cookie: ", server.Received().find("GET /two")))
        << "the first request carries no Cookie line";
}

TEST_F(NxHTTPFixture, CookiesNotStoredWhenDisallowed) {
    http.AllowCookies = false;
    server.ExpectReceived("/a ")
        .Send(Reply("200 OK", "Set-Cookie: a=1\r\n", ""))
        .ExpectReceived("/b ")
        .Send(Reply("200 OK", "", ""));
    server.Start();
    TMemoryStream ms;
    http.GetInto(Url("/a"), &ms);
    http.GetInto(Url("/b"), &ms);
    EXPECT_EQ(http.CookieManager(), nullptr);
    EXPECT_EQ(server.Received().find("Cookie:"), std::string::npos);
}

// The rule follows the client's version, not the server's.
TEST_F(NxHTTPFixture, ConnectionCloseAndOldServersWithoutConnection) {
    server.ExpectReceived("/close ")
        .Send(Reply("200 OK", "Connection: close\r\n", "c"))
        .ExpectClientClose()
        .Accept()
        .ExpectReceived("/old ")
        .Send("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\no")
        .ExpectReceived("/again ")
        .Send(Reply("200 OK", "", "a"));
    server.Start();
    TMemoryStream ms;
    http.GetInto(Url("/close"), &ms);
    ms.SetPosition(0);
    EXPECT_FALSE(http.IsConnected()) << "a response marked close is followed by a disconnect";
    http.GetInto(Url("/old"), &ms);
    ms.SetPosition(0);
    EXPECT_TRUE(http.IsConnected());
    http.GetInto(Url("/again"), &ms);
    EXPECT_EQ(ms.ToString(), "a");
    ASSERT_TRUE(server.WaitFinished(5000)) << server.Failure();
    EXPECT_EQ(server.Connections(), 2);
}

TEST_F(NxHTTPFixture, IdleConnectionClosedByTheServerIsReopened) {
    std::atomic<bool> closed{false};
    server.ExpectReceived("/first ")
        .Send(Reply("200 OK", "", "1"))
        .Pause(30)
        .Close()
        .Call([&] { closed = true; })
        .Accept()
        .ExpectReceived("/second ")
        .Send(Reply("200 OK", "", "2"));
    server.Start();
    TMemoryStream ms;
    http.GetInto(Url("/first"), &ms);
    ms.SetPosition(0);
    // The next request goes out once the server has closed the idle connection.
    for (int i = 0; i < 500 && !closed; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(closed);
    http.GetInto(Url("/second"), &ms);
    EXPECT_EQ(ms.ToString(), "2");
    ASSERT_TRUE(server.WaitFinished(5000)) << server.Failure();
    EXPECT_EQ(server.Connections(), 2);
}

TEST_F(NxHTTPFixture, BodyWrittenAtTheStreamPosition) {
    server.ExpectReceived("/five ").Send(Reply("200 OK", "", "ABCDE"));
    server.Start();
    TMemoryStream ms;
    ms.WriteString("0123456789abcdefghij");
    ms.SetPosition(10);
    http.GetInto(Url("/five"), &ms);
    EXPECT_EQ(ms.ToString(), "0123456789ABCDE") << "15 bytes, the body at 10 to 14";
    EXPECT_EQ(ms.Position(), 15);
}

TEST_F(NxHTTPFixture, WorkEventsPerCountedReadAndPerChunk) {
    server.ExpectReceived("/counted ")
        .Send(Reply("200 OK", "", "12345"))
        .ExpectReceived("/chunked ")
        .Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n")
        .ExpectReceived("/error ")
        .Send(Reply("404 Not Found", "", "gone"));
    server.Start();
    TMemoryStream ms;
    http.GetInto(Url("/counted"), &ms);
    EXPECT_EQ(work, (std::vector<std::string>{"begin 5", "end"})) << "writing the head fires nothing";
    work.clear();
    ms.SetPosition(0);
    http.GetInto(Url("/chunked"), &ms);
    EXPECT_EQ(ms.ToString(), "abcde");
    EXPECT_EQ(work, (std::vector<std::string>{"begin 3", "end", "begin 2", "end"}));
    work.clear();
    EXPECT_THROW(http.GetInto(Url("/error"), &ms), ENxHTTPProtocolException);
    EXPECT_EQ(work, (std::vector<std::string>{"begin 4", "end"})) << "error bodies fire the same events";
}

// The server closes 400 bytes short of the announced length: that must not count as the file.
TEST_F(NxHTTPFixture, TruncatedCountedBodyFailsTheDownload) {
    server.ExpectReceived("/cut ")
        .Send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(100, 'a'))
        .Pause(50)
        .Send(std::string(500, 'b'))
        .Close();
    server.Start();
    TMemoryStream ms;
    try {
        http.GetInto(Url("/cut"), &ms);
        FAIL() << "a truncated body was reported as a success";
    } catch (const ENxConnClosedGracefully& e) {
        EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
    }
    // Every byte received stays, the incomplete block included, for a resume to continue.
    EXPECT_EQ(ms.ToString(), std::string(100, 'a').append(500, 'b'));
    EXPECT_FALSE(http.IsConnected());
}

// A read that times out in the middle of a body leaves bytes of that answer on the way: the
// next request must not take them for its own.
TEST_F(NxHTTPFixture, AFailedReadLeavesNoHalfAnswerForTheNextRequest) {
    server.ExpectReceived("/slow ")
        .Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(10, 'a'))
        .Pause(800)
        .Send("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nstale" + std::string(52, 'a'))
        .Accept()
        .ExpectReceived("/next ")
        .Send(Reply("200 OK", "", "fresh"));
    server.Start();
    http.ReadTimeout = 200;
    TMemoryStream ms;
    EXPECT_THROW(http.GetInto(Url("/slow"), &ms), ENxReadTimeout);
    EXPECT_FALSE(http.IsConnected());
    TMemoryStream next;
    http.ReadTimeout = 5000;
    http.GetInto(Url("/next"), &next);
    EXPECT_EQ(next.ToString(), "fresh");
    EXPECT_TRUE(server.WaitFinished());
    EXPECT_EQ(server.Connections(), 2);
}

TEST_F(NxHTTPFixture, TruncatedErrorBodyStillReportsTheStatus) {
    server.ExpectReceived("/e ").Send("HTTP/1.1 503 Busy\r\nContent-Length: 50\r\n\r\nshort").Close();
    server.Start();
    TMemoryStream ms;
    try {
        http.GetInto(Url("/e"), &ms);
        FAIL() << "accepted";
    } catch (const ENxHTTPProtocolException& e) {
        EXPECT_EQ(e.ReplyCode(), 503);
        EXPECT_EQ(e.ErrorBody(), "short");
    }
}

TEST_F(NxHTTPFixture, BrokenHeads) {
    struct Case {
        const char* name;
        std::string bytes;
        std::string exceptionClass;
    } cases[] = {
        {"closed before the status line", "", "ENxConnClosedGracefully"},
        {"status line too long", "HTTP/1.1 200 " + std::string(200, 'x') + "\r\n\r\n",
         "ENxReadLnMaxLineLengthExceeded"},
        {"header line too long", "HTTP/1.1 200 OK\r\nX: " + std::string(200, 'x') + "\r\n\r\n",
         "ENxReadLnMaxLineLengthExceeded"},
        {"2xx with the connection lost in the head", "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n",
         "ENxException"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        nxtest::ScriptedServer peer;
        TTestHTTP client;
        client.ReadTimeout = 5000;
        client.MaxLineLength = 100;
        peer.ExpectReceived("\r\n\r\n").Send(c.bytes).Close();
        peer.Start();
        TMemoryStream ms;
        try {
            client.GetInto("http://127.0.0.1:" + std::to_string(peer.Port()) + "/", &ms);
            ADD_FAILURE() << "accepted";
        } catch (const Exception& e) {
            EXPECT_EQ(e.ClassName(), c.exceptionClass) << e.what();
            if (c.exceptionClass == "ENxException") {
                EXPECT_STREQ(e.what(), "Undefined situation");
            }
        }
        EXPECT_EQ(ms.Size(), 0);
    }
}

TEST_F(NxHTTPFixture, SameResponsesSplitAtRandomPoints) {
    const std::string exchange =
        "HTTP/1.1 100 Continue\r\n\r\n"
        "HTTP/1.1 200 OK\r\nSet-Cookie: k=v\r\nTransfer-Encoding: chunked\r\n\r\n"
        "5\r\nhello\r\n1 ;ext\r\n"; // an extension after a blank: the size still reads as 1
    const std::string tail = "!\r\n0\r\n\r\n";
    std::mt19937 rng(7);
    for (int run = 0; run < 4; ++run) {
        SCOPED_TRACE(run);
        nxtest::ScriptedServer peer;
        TTestHTTP client;
        client.ReadTimeout = 5000;
        const std::string all = exchange + tail;
        std::vector<size_t> pieces;
        for (size_t sum = 0; sum < all.size(); sum += pieces.back())
            pieces.push_back(std::uniform_int_distribution<size_t>(1, 9)(rng));
        peer.ExpectReceived("\r\n\r\n").SendPieces(all, pieces, 1);
        peer.Start();
        TMemoryStream ms;
        client.GetInto("http://127.0.0.1:" + std::to_string(peer.Port()) + "/r", &ms);
        EXPECT_EQ(ms.ToString(), "hello!");
        EXPECT_TRUE(client.IsConnected());
    }
}

TEST_F(NxHTTPFixture, FollowedRedirectCutsWhatThePassWrote) {
    http.HandleRedirects = true;
    std::vector<std::string> seen;
    http.OnRedirect = [&](TNxComponent*, std::string& dest, int32_t& hops, bool& handled, TNxHTTPMethod&) {
        seen.push_back(dest + " " + std::to_string(hops));
        handled = true;
    };
    server.ExpectReceived("/old ")
        .Send(Reply("302 Found", "Location: /dir/new\r\n", "moved"))
        .ExpectReceived("/dir/new ")
        .Send(Reply("200 OK", "", "final"));
    server.Start();
    TMemoryStream ms;
    ms.WriteString("keep");
    http.GetInto(Url("/old"), &ms);
    EXPECT_EQ(ms.ToString(), "keepfinal");
    EXPECT_EQ(seen, (std::vector<std::string>{"/dir/new 1"}));
    EXPECT_EQ(http.HopCount(), 0);
}

TEST_F(NxHTTPFixture, RedirectMaximumEndsTheRequestWithoutABody) {
    http.HandleRedirects = true;
    http.RedirectMaximum = 2;
    server.ExpectReceived("/a ")
        .Send(Reply("301 Moved", "Location: /b\r\n", ""))
        .ExpectReceived("/b ")
        .Send(Reply("301 Moved", "Location: /c\r\n", "zz"));
    server.Start();
    TMemoryStream ms;
    http.GetInto(Url("/a"), &ms);
    EXPECT_EQ(ms.Size(), 0);
    EXPECT_EQ(http.Response().Location(), "/c");
    EXPECT_TRUE(http.IsConnected()) << "the skipped body was drained";
}

TEST_F(NxHTTPFixture, PostSendsTheUploadAfterTheHead) {
    server.ExpectReceived("payload").Send(Reply("200 OK", "", "ok"));
    server.Start();
    TMemoryStream upload, answer;
    upload.WriteString("payload");
    upload.SetPosition(3);
    http.Post(Url("/form"), upload, &answer);
    EXPECT_EQ(answer.ToString(), "ok");
    EXPECT_EQ(server.Received(),
              "POST /form HTTP/1.1\r\nContent-Type: text/html\r\nContent-Length: 7\r\nHost: " + HostPort() +
                  "\r\nAccept: text/html, */*\r\n" + UserAgentLine + "\r\npayload");
}
