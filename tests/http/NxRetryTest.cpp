// Retried and resumed downloads against the scripted server: cuts, stalls, refusals and
// busy servers, each answered by the next attempt, and the failures that must stay final.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>
#include <vector>

#include "base/Stream.h"
#include "http/NxRetry.h"
#include "support/ScriptedServer.h"

namespace {

const std::string UserAgentLine = "User-Agent: Mozilla/3.0 (compatible; Nx Library)\r\n";

std::string Reply(const std::string& status, const std::string& headers, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

// The installer's GET head, with custom lines after Content-Type and extra lines at the end.
std::string GetHead(const std::string& target, const std::string& host, const std::string& custom = {},
                    const std::string& extra = {}) {
    return "GET " + target + " HTTP/1.1\r\nContent-Type: text/html\r\n" + custom + "Host: " + host +
           "\r\nAccept: text/html, */*\r\n" + UserAgentLine + extra + "\r\n";
}

std::string File(size_t size, int seed = 1) {
    std::string file(size, '\0');
    for (size_t i = 0; i < size; ++i)
        file[i] = static_cast<char>((i * 131 + i / 251 + static_cast<size_t>(seed) * 7) & 0xff);
    return file;
}

// The value of a request line, empty when the request has none.
std::string RequestValue(const std::string& request, const std::string& name) {
    const size_t at = request.find("\r\n" + name + ": ");
    if (at == std::string::npos) return {};
    const size_t from = at + name.size() + 4;
    return request.substr(from, request.find("\r\n", from) - from);
}

// A server holding file: the rest of it for a range request, else all of it.
std::function<std::string(const std::string&)> Serving(const std::string& file, const std::string& headers) {
    return [file, headers](const std::string& request) {
        const std::string range = RequestValue(request, "Range");
        if (range.empty()) return Reply("200 OK", headers, file);
        const size_t from = std::stoul(range.substr(6));
        return Reply("206 Partial Content",
                     headers + "Content-Range: bytes " + std::to_string(from) + "-" +
                         std::to_string(file.size() - 1) + "/" + std::to_string(file.size()) + "\r\n",
                     file.substr(from));
    };
}

// An HTTP date seconds from now, in GMT.
std::string HttpDateIn(int seconds) {
    std::time_t t = std::time(nullptr) + seconds;
    std::tm gmt{};
#if defined(_WIN32)
    gmtime_s(&gmt, &t);
#else
    gmtime_r(&t, &gmt);
#endif
    char text[64];
    std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &gmt);
    return text;
}

// A client that connects with a time-out of its own, not its read time-out: 0 connects
// at once, anything else runs the connect on the connect thread as the installer's
// anti-freeze does (that connect sleeps in slices, so each costs at least one slice).
class TRetryHTTP : public TNxHTTP {
public:
    int32_t ConnectTimeout = 0;
    void OpenConnection(int32_t) override { TNxHTTP::OpenConnection(ConnectTimeout); }
};

class NxRetryTest : public ::testing::Test {
protected:
    void SetUp() override {
        http.ReadTimeout = 5000; // a broken exchange fails instead of hanging the test
        http.Request().SetContentLength(0);
        http.Request().SetContentType("text/html");
        http.Request().SetAccept("text/html, */*");
        http.Request().SetUserAgent("Mozilla/3.0 (compatible; Nx Library)");
        policy.FirstWaitMs = 10;
        hooks.BeforeAttempt = [this](const TNxAttemptStart& s) { starts.push_back(s); };
        hooks.AfterAttempt = [this](const TNxAttemptReport& r) { reports.push_back(r); };
        hooks.Wait = [this](int32_t ms, int32_t, int32_t) {
            waits.push_back(ms);
            return true;
        };
    }
    std::string Host() const { return "127.0.0.1:" + std::to_string(server.Port()); }
    std::string Url(const std::string& path) const { return "http://" + Host() + path; }
    // The download; on failure the exception's class and message.
    std::string Get(const std::string& path) {
        try {
            NxGetWithRetry(http, Url(path), stream, policy, hooks);
            return "ok";
        } catch (const Exception& e) {
            return std::string(e.ClassName()) + ": " + e.Message();
        }
    }
    // One download with a client of its own from a server of its own (for table rows).
    std::string Fetch(nxtest::ScriptedServer& peer, TMemoryStream& out) {
        peer.Start();
        TRetryHTTP client;
        client.ReadTimeout = 5000;
        reports.clear();
        waits.clear();
        try {
            NxGetWithRetry(client, "http://127.0.0.1:" + std::to_string(peer.Port()) + "/f", out, policy,
                           hooks);
            return "ok";
        } catch (const Exception& e) {
            return std::string(e.ClassName()) + ": " + e.Message();
        }
    }

    nxtest::ScriptedServer server;
    TRetryHTTP http;
    TMemoryStream stream;
    TNxRetryPolicy policy;
    TNxRetryHooks hooks;
    std::vector<TNxAttemptStart> starts;
    std::vector<TNxAttemptReport> reports;
    std::vector<int32_t> waits;
};

} // namespace

// A response cut anywhere, in its head or its body, by a close or a reset, is fetched again;
// with a validator only what never arrived is asked for, and it is appended.
TEST_F(NxRetryTest, EveryCutIsResumedOrRestarted) {
    const std::string file = File(100000);
    struct Case {
        const char* header; // the validator's header, or nullptr
        const char* value;
        bool resumes;
    } validators[] = {
        {"ETag", "\"v1\"", true},
        {"Last-Modified", "Tue, 05 Mar 2024 09:07:03 GMT", true},
        {"ETag", "W/\"weak\"", false},
        {nullptr, "", false},
    };
    for (const auto& v : validators) {
        const std::string line = v.header ? std::string(v.header) + ": " + v.value + "\r\n" : "";
        const std::string response = Reply("200 OK", line, file);
        const size_t head = response.size() - file.size();
        std::vector<size_t> cuts;
        for (size_t cut = 0; cut < head; cut += v.header && v.resumes ? 1 : 7)
            cuts.push_back(cut);
        for (size_t body : {1, 1000, 32767, 32768, 32769, 65537, 99999})
            cuts.push_back(head + body);
        for (size_t cut : cuts) {
            for (bool reset : {false, true}) {
                if (reset && cut < head) continue; // a reset loses unread bytes; the head is not the point
                SCOPED_TRACE(line + " cut at " + std::to_string(cut) +
                             (reset ? " by a reset" : " by a close"));
                nxtest::ScriptedServer peer;
                peer.ExpectReceived("\r\n\r\n").Send(response.substr(0, cut)).Pause(reset ? 100 : 0);
                (reset ? peer.Reset() : peer.Close())
                    .Accept()
                    .ExpectReceived("\r\n\r\n")
                    .SendFor(Serving(file, line));
                TMemoryStream out;
                EXPECT_EQ(Fetch(peer, out), "ok");
                EXPECT_TRUE(out.ToString() == file) << "the stream is not the file";
                ASSERT_EQ(reports.size(), 2u);
                EXPECT_TRUE(reports[0].Transient);
                const size_t kept = cut > head ? cut - head : 0;
                const std::string second = peer.ReceivedPerConnection().at(1);
                if (v.resumes && kept > 0) {
                    // Every byte that arrived is kept: nothing is fetched twice.
                    EXPECT_EQ(RequestValue(second, "Range"), "bytes=" + std::to_string(kept) + "-");
                    EXPECT_EQ(RequestValue(second, "If-Range"), v.value);
                    EXPECT_EQ(reports[1].ResumeOffset, static_cast<int64_t>(kept));
                    EXPECT_EQ(reports[1].BodyBytes, static_cast<int64_t>(file.size() - kept));
                } else {
                    EXPECT_EQ(RequestValue(second, "Range"), "");
                    EXPECT_EQ(RequestValue(second, "If-Range"), "");
                }
            }
        }
    }
}

// A chunked body cut inside a chunk resumes at the last byte received.
TEST_F(NxRetryTest, ChunkedBodyResumes) {
    const std::string file = File(5000);
    server.ExpectReceived("\r\n\r\n")
        .Send("HTTP/1.1 200 OK\r\nETag: \"c\"\r\nTransfer-Encoding: chunked\r\n\r\n7d0\r\n" +
              file.substr(0, 2000) + "\r\n7d0\r\n" + file.substr(2000, 1234))
        .Close()
        .Accept()
        .ExpectReceived("\r\n\r\n")
        .SendFor(Serving(file, "ETag: \"c\"\r\n"));
    server.Start();
    EXPECT_EQ(Get("/c"), "ok");
    EXPECT_TRUE(stream.ToString() == file);
    EXPECT_EQ(RequestValue(server.ReceivedPerConnection().at(1), "Range"), "bytes=3234-");
}

// What the answer to a range request does: a matching 206 continues, a 200 starts over
// (the server ignored the range or the file changed), and anything else costs an attempt
// after which the whole file is asked for.
TEST_F(NxRetryTest, AnswersToARangeRequest) {
    const std::string file = File(20000), changed = File(15000, 2);
    struct Case {
        const char* name;
        std::string answer;  // to "Range: bytes=5000-"
        std::string outcome; // of the download
        std::string want;    // the stream afterwards
        int requests;
    } cases[] = {
        {"matching 206", Serving(file, "ETag: \"v1\"\r\n")("Range: bytes=5000-\r\n"), "ok", file, 2},
        {"200 for a changed file", Reply("200 OK", "ETag: \"v2\"\r\n", changed), "ok", changed, 2},
        {"206 for another range",
         Reply("206 Partial Content", "Content-Range: bytes 0-19999/20000\r\n", file), "ok", file, 3},
        {"206 without Content-Range", Reply("206 Partial Content", "", file.substr(5000)), "ok", file, 3},
        {"412", Reply("412 Precondition Failed", "", ""), "ok", file, 3},
        {"416", Reply("416 Range Not Satisfiable", "", ""), "ok", file, 3},
        {"404 is final", Reply("404 Not Found", "", "gone"),
         "ENxHTTPProtocolException: HTTP/1.1 404 Not Found", file.substr(0, 5000), 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        nxtest::ScriptedServer peer;
        peer.ExpectReceived("\r\n\r\n")
            .Send("HTTP/1.1 200 OK\r\nETag: \"v1\"\r\nContent-Length: 20000\r\n\r\n" + file.substr(0, 5000))
            .Close()
            .Accept()
            .ExpectReceived("\r\n\r\n")
            .Send(c.answer)
            .Accept()
            .ExpectReceived("\r\n\r\n")
            .SendFor(Serving(file, ""));
        TMemoryStream out;
        EXPECT_EQ(Fetch(peer, out), c.outcome);
        EXPECT_TRUE(out.ToString() == c.want) << out.Size() << " bytes";
        const auto requests = peer.ReceivedPerConnection();
        EXPECT_EQ(requests.size(), static_cast<size_t>(c.requests));
        EXPECT_EQ(RequestValue(requests.at(1), "Range"), "bytes=5000-");
        if (c.requests == 3) {
            EXPECT_EQ(RequestValue(requests.at(2), "Range"), "") << "the whole file after a refused range";
            EXPECT_EQ(RequestValue(requests.at(2), "If-Range"), "");
        }
    }
}

// Busy-server statuses are tried again, waiting as Retry-After asks for 429 and 503 (up to
// the limit); every other status is final after exactly one request.
TEST_F(NxRetryTest, StatusesAndTheirWaits) {
    struct Case {
        std::string status;
        std::string headers;
        int wantWaitMin; // -1: final, no second request
        int wantWaitMax;
    } cases[] = {
        {"503 Service Unavailable", "Retry-After: 1\r\n", 1000, 1000},
        {"503 Service Unavailable", "Retry-After: " + HttpDateIn(2) + "\r\n", 900, 2100},
        {"429 Too Many Requests", "Retry-After: 0\r\n", 0, 0},
        {"503 Service Unavailable", "Retry-After: 31\r\n", 10, 10},
        {"503 Service Unavailable", "Retry-After: soon\r\n", 10, 10},
        {"503 Service Unavailable", "", 10, 10},
        {"500 Internal Server Error", "Retry-After: 1\r\n", 10, 10},
        {"408 Request Timeout", "", 10, 10},
        {"502 Bad Gateway", "", 10, 10},
        {"504 Gateway Timeout", "", 10, 10},
        {"404 Not Found", "", -1, -1},
        {"403 Forbidden", "", -1, -1},
        {"501 Not Implemented", "", -1, -1},
        {"301 Moved Permanently", "Location: /elsewhere\r\n", -1, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status + " " + c.headers);
        nxtest::ScriptedServer peer;
        peer.ExpectReceived("\r\n\r\n")
            .Send(Reply(c.status, c.headers + "Connection: close\r\n", "error body"))
            .Close()
            .Accept()
            .ExpectReceived("\r\n\r\n")
            .Send(Reply("200 OK", "", "fine"));
        TMemoryStream out;
        const std::string outcome = Fetch(peer, out);
        if (c.wantWaitMin < 0) {
            EXPECT_EQ(outcome, "ENxHTTPProtocolException: HTTP/1.1 " + c.status);
            EXPECT_TRUE(waits.empty());
            EXPECT_EQ(peer.Connections(), 1);
            EXPECT_EQ(peer.Received().find("GET", 1), std::string::npos) << "requested once only";
        } else {
            EXPECT_EQ(outcome, "ok");
            EXPECT_EQ(out.ToString(), "fine");
            ASSERT_EQ(waits.size(), 1u);
            EXPECT_GE(waits[0], c.wantWaitMin);
            EXPECT_LE(waits[0], c.wantWaitMax);
        }
    }
}

// Without a wait hook the call sleeps for the wait, Retry-After's included.
TEST_F(NxRetryTest, RetryAfterIsSleptWithoutAWaitHook) {
    server.ExpectReceived("\r\n\r\n")
        .Send(Reply("503 Service Unavailable", "Retry-After: 1\r\nConnection: close\r\n", ""))
        .Close()
        .Accept(3000)
        .ExpectReceived("\r\n\r\n")
        .Send(Reply("200 OK", "", "late"));
    server.Start();
    hooks.Wait = nullptr;
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(Get("/w"), "ok");
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began)
            .count();
    EXPECT_GE(ms, 1000);
    EXPECT_LT(ms, 3000);
    EXPECT_EQ(stream.ToString(), "late");
    EXPECT_EQ(server.Connections(), 2);
}

// A server that stops sending without closing: the read time-out ends the attempt, and the
// next one continues the body.
TEST_F(NxRetryTest, StallIsRetried) {
    const std::string file = File(8000);
    http.ReadTimeout = 300;
    hooks.Wait = nullptr;
    policy.FirstWaitMs = 300; // the stalled connection has ended by then
    server.ExpectReceived("\r\n\r\n")
        .Send(Reply("200 OK", "ETag: \"s\"\r\n", file).substr(0, 3000))
        .Pause(500)
        .Accept()
        .ExpectReceived("\r\n\r\n")
        .SendFor(Serving(file, "ETag: \"s\"\r\n"));
    server.Start();
    EXPECT_EQ(Get("/stall"), "ok");
    EXPECT_TRUE(stream.ToString() == file);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].ExceptionClass, "ENxReadTimeout");
    EXPECT_GE(reports[0].DurationMs, 250);
    EXPECT_EQ(reports[1].ResumeOffset, reports[0].BodyBytes);

    // A last attempt that stalls leaves no connection behind, or the rest of its response
    // would be read as the next request's.
    nxtest::ScriptedServer peer;
    peer.ExpectReceived("\r\n\r\n").Send(Reply("200 OK", "", file).substr(0, 3000)).Pause(2000);
    peer.Start();
    TNxRetryPolicy once;
    once.MaxAttempts = 1;
    TMemoryStream out;
    EXPECT_THROW(NxGetWithRetry(http, "http://127.0.0.1:" + std::to_string(peer.Port()) + "/once", out, once),
                 ENxReadTimeout);
    EXPECT_FALSE(http.IsConnected());
}

// When every attempt fails the last one's exception is raised; the waits grow 1 s, 2 s, 4 s
// and the resume survives an attempt that got nothing.
TEST_F(NxRetryTest, EveryAttemptFailingRaisesTheLast) {
    policy = TNxRetryPolicy{};
    server.ExpectReceived("\r\n\r\n")
        .Send(Reply("503 Service Unavailable", "Connection: close\r\n", ""))
        .Close()
        .Accept()
        .ExpectReceived("\r\n\r\n")
        .Send("HTTP/1.1 200 OK\r\nETag: \"e\"\r\nContent-Length: 9000\r\n\r\n" + File(1000))
        .Close()
        .Accept()
        .ExpectReceived("\r\n\r\n")
        .Reset()
        .Accept()
        .ExpectReceived("\r\n\r\n")
        .Send(Reply("502 Bad Gateway", "", ""));
    server.Start();
    EXPECT_EQ(Get("/all"), "ENxHTTPProtocolException: HTTP/1.1 502 Bad Gateway");
    EXPECT_EQ(waits, (std::vector<int32_t>{1000, 2000, 4000}));
    ASSERT_EQ(reports.size(), 4u);
    EXPECT_EQ(reports[0].StatusLine, "HTTP/1.1 503 Service Unavailable");
    EXPECT_EQ(reports[1].ExceptionClass, "ENxConnClosedGracefully");
    EXPECT_EQ(reports[1].BodyBytes, 1000);
    EXPECT_EQ(reports[1].NextResumeOffset, 1000);
    EXPECT_TRUE(reports[2].ExceptionClass == "ENxSocketError" ||
                reports[2].ExceptionClass == "ENxConnClosedGracefully")
        << reports[2].ExceptionClass;
    if (reports[2].ExceptionClass == "ENxSocketError") {
        EXPECT_EQ(reports[2].SocketErrorCode, 10054);
    }
    EXPECT_TRUE(reports[3].Failed);
    EXPECT_FALSE(reports[3].WillRetry);
    EXPECT_EQ(RequestValue(server.ReceivedPerConnection().at(3), "Range"), "bytes=1000-");
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(starts.at(i).Attempt, i + 1);
        EXPECT_EQ(starts.at(i).Attempts, 4);
    }
}

// Connections refused until the server comes up, with a plain connect and with one on the
// connect thread (whose exception keeps only the message, the code read back from it).
TEST_F(NxRetryTest, RefusedUntilTheServerIsUp) {
    for (int32_t connectTimeout : {0, 3000}) {
        SCOPED_TRACE(connectTimeout);
        auto up = std::make_unique<nxtest::ScriptedServer>();
        const uint16_t port = up->Reserve();
        up->ExpectReceived("\r\n\r\n").Send(Reply("200 OK", "", "up"));
        http.ConnectTimeout = connectTimeout;
        reports.clear();
        hooks.Wait = [&](int32_t, int32_t next, int32_t) {
            if (next == 3) up->Start();
            return true;
        };
        TMemoryStream out;
        NxGetWithRetry(http, "http://127.0.0.1:" + std::to_string(port) + "/up", out, policy, hooks);
        EXPECT_EQ(out.ToString(), "up");
        ASSERT_EQ(reports.size(), 3u);
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(reports[i].ExceptionClass,
                      connectTimeout == 0 ? "ENxSocketError" : "ENxConnectException");
            EXPECT_EQ(reports[i].SocketErrorCode, 10061);
            EXPECT_TRUE(reports[i].Transient);
        }
    }
}

// The resumed attempt's head byte for byte, and the next download's head exactly as if no
// resume had happened (the caller's own custom line kept, the range fields reset).
TEST_F(NxRetryTest, HeadsOfAResumeAndOfTheNextDownload) {
    const std::string file = File(3000);
    http.Request().CustomHeaders().Add("X-Caller: kept");
    server.ExpectReceived("\r\n\r\n")
        .Send("HTTP/1.1 200 OK\r\nETag: \"h1\"\r\nContent-Length: 3000\r\n\r\n" + file.substr(0, 700))
        .Close()
        .Accept()
        .ExpectReceived("\r\n\r\n")
        .SendFor(Serving(file, "ETag: \"h1\"\r\n"))
        .ExpectReceived("GET /next ")
        .Send(Reply("200 OK", "", "next body"));
    server.Start();
    EXPECT_EQ(Get("/first"), "ok");
    EXPECT_TRUE(stream.ToString() == file);
    TMemoryStream next;
    reports.clear();
    NxGetWithRetry(http, Url("/next"), next, policy, hooks);
    EXPECT_EQ(next.ToString(), "next body");
    ASSERT_TRUE(server.WaitFinished(5000)) << server.Failure();
    const auto heads = server.ReceivedPerConnection();
    ASSERT_EQ(heads.size(), 2u);
    EXPECT_EQ(heads[0], GetHead("/first", Host(), "X-Caller: kept\r\n"));
    EXPECT_EQ(heads[1],
              GetHead("/first", Host(), "X-Caller: kept\r\nIf-Range: \"h1\"\r\n", "Range: bytes=700-\r\n") +
                  GetHead("/next", Host(), "X-Caller: kept\r\n"));
    EXPECT_EQ(http.Request().ContentRangeStart(), 0u);
    EXPECT_EQ(http.Request().CustomHeaders().Text(), "X-Caller: kept\r\n");
    // A healthy download: one attempt, one request, nothing waited.
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_FALSE(reports[0].Failed);
    EXPECT_EQ(reports[0].StatusLine, "HTTP/1.1 200 OK");
    EXPECT_EQ(reports[0].BodyBytes, 9);
    EXPECT_EQ(waits.size(), 1u) << "only the first download waited";
}

// A wait hook that says stop ends the download at once with the failure at hand, also when
// the failure is the caller's own: a close request that drops the socket during a read.
TEST_F(NxRetryTest, WaitHookSaysStop) {
    server.ExpectReceived("\r\n\r\n")
        .Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + File(40000))
        .Pause(3000)
        .Accept(200);
    server.Start();
    // As the installer's close request does, from a window message pumped inside the read.
    http.OnWork = [this](TNxComponent*, TWorkMode, int32_t) { http.DropSocket(); };
    hooks.Wait = [this](int32_t ms, int32_t, int32_t) {
        waits.push_back(ms);
        return false;
    };
    const auto began = std::chrono::steady_clock::now();
    const std::string outcome = Get("/drop");
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - began)
            .count();
    EXPECT_NE(outcome, "ok");
    EXPECT_EQ(waits.size(), 1u);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(outcome, reports[0].ExceptionClass + ": " + reports[0].Message);
    EXPECT_LT(ms, 2000) << "no wait, no further attempt";
    EXPECT_EQ(server.Connections(), 1);
}

TEST(NxRetryRules, FailureKinds) {
    struct Case {
        std::exception_ptr failure;
        int32_t code;
        bool transient;
    } cases[] = {
        {std::make_exception_ptr(ENxSocketError(10061, "refused")), 10061, true},
        {std::make_exception_ptr(ENxSocketError(10065, "host unreachable")), 10065, true},
        {std::make_exception_ptr(ENxSocketError(11001, "host not found")), 11001, true},
        {std::make_exception_ptr(ENxSocketError(11002, "try again")), 11002, true},
        {std::make_exception_ptr(ENxSocketError(10049, "address not available")), 10049, false},
        {std::make_exception_ptr(ENxSocketError(11003, "no recovery")), 11003, false},
        {std::make_exception_ptr(ENxConnectException(10065, "Socket Error # 10065\r\nNo route to host.")),
         10065, true},
        {std::make_exception_ptr(ENxConnectException(10047, "Socket Error # 10047\r\nAddress family")), 10047,
         false},
        {std::make_exception_ptr(ENxConnectException(0, "Connect failed.")), 0, false},
        {std::make_exception_ptr(ENxConnectTimeout("Connect timed out.")), 0, true},
        {std::make_exception_ptr(ENxException("Undefined situation")), 0, true},
        {std::make_exception_ptr(ENxException("This request method is supported in HTTP 1.1")), 0, false},
        {std::make_exception_ptr(ENxReadLnMaxLineLengthExceeded("Max line length exceeded.")), 0, false},
        {std::make_exception_ptr(ENxHTTPProtocolException(-1, "garbage", "")), 0, false},
        {std::make_exception_ptr(ENxHTTPProtocolException(-1, "", "")), 0, true},
        {std::make_exception_ptr(ENxHTTPProtocolException(503, "HTTP/1.1 503 Busy", "")), 0, true},
        {std::make_exception_ptr(ENxHTTPProtocolException(404, "HTTP/1.1 404 Not Found", "")), 0, false},
        {std::make_exception_ptr(ENxResumeMismatch("x")), 0, false},
        {std::make_exception_ptr(EStreamError("disk full")), 0, false},
    };
    for (const auto& c : cases) {
        const TNxFailureInfo info = NxDescribeFailure(c.failure);
        SCOPED_TRACE(info.ExceptionClass + " " + info.Message);
        EXPECT_EQ(info.SocketErrorCode, c.code);
        EXPECT_EQ(info.Transient, c.transient);
    }
}

// The decision alone, without a socket: what follows a failed attempt.
TEST(NxRetryRules, TheNextStepAfterAFailure) {
    TNxFailureInfo transient, final, busy, rangeRefused;
    transient.Transient = true;
    busy.Transient = true;
    busy.StatusCode = 503;
    rangeRefused.StatusCode = 416;
    TNxRetryPolicy restartable, oneWay;
    oneWay.StreamCanRestart = false;
    const struct {
        const char* Name;
        const TNxRetryPolicy& Policy;
        int32_t Attempt;
        const TNxFailureInfo& Failure;
        int64_t Offset, Held;
        bool Validator, Mismatch;
        std::string RetryAfter;
        bool Retry, Resume;
        int32_t WaitMs;
    } rows[] = {
        {"transient, attempts left", restartable, 1, transient, 0, 0, false, false, "", true, false, 1000},
        {"the third wait", restartable, 3, transient, 0, 0, false, false, "", true, false, 4000},
        {"the last attempt", restartable, 4, transient, 0, 0, false, false, "", false, false, 0},
        {"final at once", restartable, 1, final, 0, 0, false, false, "", false, false, 0},
        {"a cut body with a validator", restartable, 1, transient, 0, 500, true, false, "", true, true, 1000},
        {"a cut body without one", restartable, 1, transient, 0, 500, false, false, "", true, false, 1000},
        {"without one, on a stream that cannot restart", oneWay, 1, transient, 0, 500, false, false, "",
         false, false, 0},
        {"a refused range: the whole body", restartable, 2, rangeRefused, 500, 500, true, false, "", true,
         false, 2000},
        {"a range answered with another", restartable, 2, final, 500, 500, true, true, "", true, false, 2000},
        {"Retry-After within the limit", restartable, 1, busy, 0, 0, false, false, "5", true, false, 5000},
        {"Retry-After beyond it", restartable, 1, busy, 0, 0, false, false, "60", true, false, 1000},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        TNxRetryInput in;
        in.Attempt = row.Attempt;
        in.Attempts = 4;
        in.Failure = row.Failure;
        in.ResumeOffset = row.Offset;
        in.ResumeMismatch = row.Mismatch;
        in.Held = row.Held;
        in.HasValidator = row.Validator;
        in.MayResume = true;
        in.RetryAfter = row.RetryAfter;
        const TNxRetryDecision next = NxDecideRetry(row.Policy, in);
        EXPECT_EQ(next.Retry, row.Retry);
        EXPECT_EQ(next.Resume, row.Resume);
        EXPECT_EQ(next.WaitMs, row.WaitMs);
    }
    TNxRetryPolicy capped;
    capped.MaxWaitMs = 1500;
    TNxRetryInput late;
    late.Attempt = 3;
    late.Attempts = 4;
    late.Failure = transient;
    EXPECT_EQ(NxDecideRetry(capped, late).WaitMs, 1500) << "no wait beyond MaxWaitMs";
}

TEST(NxRetryRules, RetryAfterValues) {
    EXPECT_EQ(NxRetryAfterMs("5"), 5000);
    EXPECT_EQ(NxRetryAfterMs(" 30 "), 30000);
    EXPECT_EQ(NxRetryAfterMs(""), -1);
    EXPECT_EQ(NxRetryAfterMs("-5"), -1);
    EXPECT_EQ(NxRetryAfterMs("1.5"), -1);
    EXPECT_EQ(NxRetryAfterMs("Sun, 06 Nov 1994 08:49:37 GMT"), 0) << "a date gone by: at once";
    EXPECT_GT(NxRetryAfterMs("99999999999999999999"), 30000);
    const int64_t soon = NxRetryAfterMs(HttpDateIn(10));
    EXPECT_GT(soon, 8000);
    EXPECT_LE(soon, 10000);
    TNxRetryPolicy policy;
    EXPECT_EQ(policy.WaitBefore(2), 1000);
    EXPECT_EQ(policy.WaitBefore(4), 4000);
    EXPECT_EQ(policy.WaitBefore(40), 2147483647);
}
