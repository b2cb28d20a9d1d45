// The HTTP client against servers that misbehave: responses cut at every byte, garbage
// status lines, overlong and endless heads, bad Content-Length, Transfer-Encoding and chunk
// sizes, control bytes, odd interim answers, resets, silence and trickles. Every case must
// end in the documented exception or the exact body, within the time-outs set, without a
// crash.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "base/Stream.h"
#include "http/NxHTTP.h"
#include "http/NxHTTPBody.h"
#include "support/ScriptedServer.h"
#include "transport/NxException.h"

namespace {

// Bounds every case: a read that should fail fast must not wait for the suite's time-out.
constexpr int32_t ClientReadTimeout = 3000;
constexpr int32_t MaxLine = 16384;

struct Outcome {
    bool ok = false;
    std::string cls;
    std::string message;
    int32_t reply = 0;
    int32_t socketError = 0;
    std::string body;
    long long ms = 0;
    bool connected = false; // the client's connection after the request
    int connections = 0;    // accepted by the server
};

// GETs of one fresh client, in order up to the first failure, against a server that plays
// script. The outcome is the last request's.
Outcome Fetch(const std::function<void(nxtest::ScriptedServer&)>& script,
              int32_t readTimeout = ClientReadTimeout,
              const std::vector<std::string>& paths = {"/file.exe"}) {
    nxtest::ScriptedServer server;
    script(server);
    server.Start();
    TNxHTTP http;
    http.ReadTimeout = readTimeout;
    TMemoryStream stream;
    Outcome o;
    const auto start = std::chrono::steady_clock::now();
    try {
        for (const std::string& path : paths) {
            stream.Clear();
            http.GetInto("http://127.0.0.1:" + std::to_string(server.Port()) + path, &stream);
        }
        o.ok = true;
    } catch (const ENxHTTPProtocolException& e) {
        o.cls = e.ClassName(), o.message = e.Message(), o.reply = e.ReplyCode();
    } catch (const ENxSocketError& e) {
        o.cls = e.ClassName(), o.message = e.Message(), o.socketError = e.ErrorCode();
    } catch (const Exception& e) {
        o.cls = e.ClassName(), o.message = e.Message();
    }
    o.ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
               .count();
    o.body.assign(stream.Memory() ? stream.Memory() : "", static_cast<size_t>(stream.Size()));
    o.connected = http.IsConnected();
    o.connections = server.Connections();
    return o;
}

// The body as "= body", or the failure as "class: message", with " [reply]" for a protocol error.
std::string Said(const Outcome& o) {
    if (o.ok) return "= " + o.body;
    return o.cls + ": " + o.message +
           (o.cls == "ENxHTTPProtocolException" ? " [" + std::to_string(o.reply) + "]" : "");
}

// The response bytes, then an orderly close.
Outcome FetchBytes(const std::string& bytes) {
    return Fetch([&](nxtest::ScriptedServer& s) { s.ExpectReceived("\r\n\r\n").Send(bytes).Close(); });
}

} // namespace

// A response cut at every byte offset never passes for a download: an empty answer is a
// close before the status line, and a body cut short is never taken for the whole file.
TEST(HostileResponse, CountedResponseCutAtEveryOffset) {
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nServer: x\r\n\r\n";
    const std::string full = head + "hello";
    for (size_t cut = 0; cut < full.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        Outcome o = FetchBytes(full.substr(0, cut));
        EXPECT_FALSE(o.ok);
        EXPECT_FALSE(o.cls.empty());
        if (cut == 0 || cut >= head.size()) {
            EXPECT_EQ(o.cls, "ENxConnClosedGracefully");
            EXPECT_EQ(o.message, "Connection Closed Gracefully.");
        }
        EXPECT_LE(o.body.size(), cut > head.size() ? cut - head.size() : 0u);
    }
    Outcome whole = FetchBytes(full);
    EXPECT_TRUE(whole.ok) << whole.cls << " " << whole.message;
    EXPECT_EQ(whole.body, "hello");
}

TEST(HostileResponse, ChunkedResponseCutAtEveryOffset) {
    const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string full = head + "3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n";
    for (size_t cut = head.size(); cut < full.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        Outcome o = FetchBytes(full.substr(0, cut));
        if (cut + 1 == full.size()) {
            // Only the LF of the last line is missing: the close ends that half line like
            // any other, and every chunk is in.
            EXPECT_TRUE(o.ok) << o.cls << " " << o.message;
            EXPECT_EQ(o.body, "abcde");
            continue;
        }
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.cls, "ENxConnClosedGracefully") << o.message;
        EXPECT_LE(o.body.size(), 5u);
    }
    Outcome whole = FetchBytes(full);
    EXPECT_TRUE(whole.ok) << whole.cls << " " << whole.message;
    EXPECT_EQ(whole.body, "abcde");
}

// A status line that is no HTTP status fails at once, before the lines after it are read as a
// head that never ends, with code -1 and the line as received; the connection is closed.
TEST(HostileResponse, GarbageAndBinaryStatusLines) {
    using namespace std::string_literals;
    const std::string lines[] = {
        "garbage",
        "HTTP/1.1 abc OK",
        "HTTP/1.1",
        std::string("\x00\x01\xff\xfe HTTP/1.1 200", 14),
        "\x80\x81\x82 \x90\x91",
        "HTTP/1.1 99999999999 Big",
        "Data",
        "Content-Length: 0",
        "http/1.1 200 OK",
        "HTTP/1.1 20 OK",
        "HTTP/1.1 200OK",
        "HTTP/1.1 200 O\0K"s,
    };
    for (const std::string& line : lines) {
        SCOPED_TRACE(line);
        Outcome o = Fetch([&](nxtest::ScriptedServer& s) {
            s.ExpectReceived("\r\n\r\n").Send(line + "\r\nX: y\r\n").Pause(4000);
        });
        EXPECT_EQ(o.cls, "ENxHTTPProtocolException") << o.message;
        EXPECT_EQ(o.reply, -1);
        EXPECT_EQ(o.message, line);
        EXPECT_TRUE(o.body.empty());
        EXPECT_FALSE(o.connected);
        EXPECT_LT(o.ms, 2000) << "nothing waits for the stall limit";
    }
}

TEST(HostileResponse, HeaderLineAtAndOverTheLimit) {
    // The CR before the LF counts toward the limit.
    const std::string at = "X-Long: " + std::string(MaxLine - 9, 'a');
    Outcome fits = FetchBytes("HTTP/1.1 200 OK\r\n" + at + "\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_TRUE(fits.ok) << fits.cls << " " << fits.message;
    EXPECT_EQ(fits.body, "ok");

    Outcome over = FetchBytes("HTTP/1.1 200 OK\r\n" + at + "a\r\nContent-Length: 2\r\n\r\nok");
    EXPECT_EQ(over.cls, "ENxReadLnMaxLineLengthExceeded");
    EXPECT_EQ(over.message, "Max line length exceeded.");

    // Also when the line never ends: the limit, not the close, decides.
    Outcome endless = Fetch([&](nxtest::ScriptedServer& s) {
        s.ExpectReceived("\r\n\r\n").Send("HTTP/1.1 200 OK\r\n" + at + "aaaa").Pause(3000).Close();
    });
    EXPECT_EQ(endless.cls, "ENxReadLnMaxLineLengthExceeded");
    EXPECT_LT(endless.ms, 2500);
}

// Odd but real answers of servers, proxies and CDNs, each followed by a server that keeps the
// connection open: a framing that cannot be trusted fails at once with a protocol error (never
// as a short or corrupt file, never at the stall limit) and closes the connection; a sound
// one is read, and the connection kept unless its framing was doubtful.
TEST(HostileResponse, FramingOfOddResponses) {
    using namespace std::string_literals;
    const std::string ok = "HTTP/1.1 200 OK\r\n", six = "Content-Length: 6\r\n\r\nabcdef",
                      te = "Transfer-Encoding: ";
    const std::string chunks = "\r\n\r\n3\r\nabc\r\n3\r\ndef\r\n0\r\n\r\n",
                      trailer = ok + te + "chunked\r\n\r\n1\r\nx\r\n0\r\n";
    const std::string tooMany = "Too many header lines (more than 1000)";
    const auto head = [](int lines, size_t width) {
        std::string h;
        for (int i = 0; i < lines; ++i)
            h += "X-" + std::to_string(i) + ": " + std::string(width, 'v') + "\r\n";
        return h;
    };
    std::vector<std::pair<std::string, std::string>> refused = {
        {ok + "Content-Length: 6\r\nContent-Length: 7\r\n\r\nabcdef!", "Invalid Content-Length \"6, 7\""},
        {ok + te + "gzip\r\n" + te + "chunked" + chunks, "Unsupported Transfer-Encoding \"gzip, chunked\""},
        {ok + "X: a\0b\r\n"s + six, "Invalid header line \"X: a\""},
        {trailer + "X-Sum: 1\x01\r\n\r\n", "Invalid header line \"X-Sum: 1\x01\""},
        {ok + head(1000, 8) + six, tooMany},
        {"HTTP/1.1 103 Early Hints\r\n" + head(600, 8) + "\r\n" + ok + head(600, 8) + six, tooMany},
        {trailer + head(1001, 8) + "\r\n", tooMany},
        {ok + head(17, 16000) + six, "Header section too large (more than 262144 bytes)"},
    };
    for (std::string v : {"1O00", "-6", "crap", "6badness", "", "+6", "99999999999", "6, 7"})
        refused.push_back(
            {ok + "Content-Length: " + v + "\r\n\r\nabcdef!", "Invalid Content-Length \"" + v + "\""});
    for (std::string v : {"gzip, chunked", "chunked, another", "identityx", "chunked, chunked"})
        refused.push_back({ok + te + v + chunks, "Unsupported Transfer-Encoding \"" + v + "\""});
    for (std::string line : {"Content-Length: \r6", "X: a\rb", "X: \x1b[2J", "X: \x7f"})
        refused.push_back({ok + line + "\r\n" + six, "Invalid header line \"" + line + "\""});
    std::vector<std::pair<std::string, bool>> read = {
        {ok + "Content-Length: 6\r\n" + te + "chunked" + chunks, false}, // may smuggle: closed after it
        {"HTTP/1.0 200 OK\r\n" + te + "chunked" + chunks, false},
        {ok + te + "Chunked" + chunks, true},
        {ok + te + ", chunked" + chunks, true},
        {"HTTP/1.1 103 Early Hints\r\nLink: </a.css>; rel=preload\r\n\r\n" + ok + six, true},
        {"HTTP/1.1 102 Processing\r\n\r\nHTTP/1.1 100 Continue\r\n\r\n" + ok + six, true},
        {"HTTP/1.1 201 Created\r\nLocation: /new\r\n" + six, true},
        {"HTTP/1.1 200\r\n" + six, true},
        {ok + head(999, 8) + six, true},
    };
    for (std::string line : {"Content-Length: 6, 6", "Content-Length: 6", "Content-Length:  006\t",
                             "Location: http://mirror.example/f.exe", "X:\tv\t\xc7\xd1\xb1\xdb"})
        read.push_back({ok + line + "\r\n" + six, true});
    const auto run = [](const std::string& response) {
        return Fetch(
            [&](nxtest::ScriptedServer& s) { s.ExpectReceived("\r\n\r\n").Send(response).Pause(4000); });
    };
    for (const auto& [response, message] : refused) {
        const Outcome o = run(response);
        EXPECT_EQ(Said(o), "ENxHTTPProtocolException: " + message + " [-1]") << response.substr(0, 80);
        EXPECT_FALSE(o.connected) << response.substr(0, 80);
        EXPECT_LT(o.ms, 2000) << "nothing waits for the stall limit";
    }
    for (const auto& [response, kept] : read) {
        const Outcome o = run(response);
        EXPECT_EQ(Said(o), "= abcdef") << response.substr(0, 80);
        EXPECT_EQ(o.connected, kept) << response.substr(0, 80);
    }
    // A switch to a protocol never asked for is no interim answer.
    const Outcome switched = run("HTTP/1.1 101 Switching Protocols\r\nUpgrade: x\r\n\r\n");
    EXPECT_EQ(Said(switched), "ENxHTTPProtocolException: HTTP/1.1 101 Switching Protocols [101]");
    EXPECT_FALSE(switched.connected);
    // The largest count with a short body: a failure, never a crash or a whole download
    // (a 32-bit process may not even get the memory for the announced size).
    Outcome huge = FetchBytes("HTTP/1.1 200 OK\r\nContent-Length: 2147483647\r\n\r\nshort");
    EXPECT_FALSE(huge.ok);
    EXPECT_FALSE(huge.cls.empty());
    EXPECT_LE(huge.body.size(), 5u);
}

// How a kept connection ends decides the next request: a trailer section is read to its
// end, and a GET that the server closes or resets before any byte of an answer is sent
// again on a new connection, but not after a byte of the answer, and never a POST.
TEST(HostileResponse, KeptConnectionAfterOddEndings) {
    using S = nxtest::ScriptedServer;
    const std::string first = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfirst";
    const std::string second = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nsecond";
    struct Case {
        std::string answer;                  // to the first request
        std::function<void(S&)> atTheSecond; // once it has arrived
        std::string said;
        int connections;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nf\r\n0\r\nX-Sum: 1\r\nX-More: 5\r\n\r\n",
         [&](S& s) { s.Send(second); }, "= second", 1},
        {first, [&](S& s) { s.Close().Accept().ExpectReceived("/2 ").Send(second); }, "= second", 2},
        {first, [&](S& s) { s.Reset().Accept().ExpectReceived("/2 ").Send(second); }, "= second", 2},
        {first, [](S& s) { s.Send("H").Close(); }, "ENxConnClosedGracefully: Connection Closed Gracefully.",
         1},
    };
    for (const auto& c : cases) {
        const Outcome o =
            Fetch([&](S& s) { c.atTheSecond(s.ExpectReceived("/1 ").Send(c.answer).ExpectReceived("/2 ")); },
                  ClientReadTimeout, {"/1", "/2"});
        EXPECT_EQ(Said(o), c.said) << c.answer;
        EXPECT_EQ(o.connections, c.connections) << c.answer;
    }
    S server;
    server.ExpectReceived("/1 ").Send(first).ExpectReceived("/2 ").Close();
    server.Start();
    TNxHTTP http;
    TMemoryStream body, upload;
    const std::string url = "http://127.0.0.1:" + std::to_string(server.Port());
    http.GetInto(url + "/1", &body);
    EXPECT_THROW(http.Post(url + "/2", upload, &body), ENxConnClosedGracefully);
    EXPECT_EQ(server.Connections(), 1);
}

TEST(HostileResponse, HostileChunkSizes) {
    const std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    // A size line that is no hexadecimal number (extensions after ";" aside), or a size
    // beyond the signed 32-bit range, fails the request: what came before it does not pass
    // for the body, and the connection, which nothing after that line can frame, is closed
    // even though the server keeps it open.
    struct Case {
        const char* size;
        bool ok;
    } cases[] = {
        {"100000000", false}, {"ffffffff", false}, {"80000000", false}, {"-5", false},  {"zz", false},
        {"", false},          {" 2", false},       {"0x2", false},      {"2\t", false}, {";2", false},
        {"2;ext=v", true},    {"2;", true},        {"2 junk", true},    {"002", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("size line \"") + c.size + "\"");
        Outcome o = Fetch([&](nxtest::ScriptedServer& s) {
            s.ExpectReceived("\r\n\r\n")
                .Send(head + "3\r\nabc\r\n" + c.size + "\r\nde\r\n0\r\n\r\n")
                .Pause(4000);
        });
        if (c.ok) {
            EXPECT_TRUE(o.ok) << o.cls << " " << o.message;
            EXPECT_EQ(o.body, "abcde");
            EXPECT_TRUE(o.connected) << "a sound body keeps the connection";
            continue;
        }
        EXPECT_FALSE(o.ok);
        EXPECT_EQ(o.cls, "ENxHTTPProtocolException");
        EXPECT_EQ(o.reply, -1);
        EXPECT_EQ(o.message, std::string("Invalid chunk size \"") + c.size + "\"");
        EXPECT_FALSE(o.connected);
        EXPECT_LT(o.ms, 2000) << "nothing waits for the server";
    }
    // Chunk data without its CR LF: the next size line is taken for the lost CR LF and
    // "de" for a size of 0xde, which the close then cuts short.
    Outcome missing = FetchBytes(head + "3\r\nabc2\r\nde\r\n0\r\n\r\n");
    EXPECT_EQ(missing.cls, "ENxConnClosedGracefully");
    EXPECT_EQ(missing.body.substr(0, 3), "abc");
    // A large size with little data behind it.
    Outcome big = FetchBytes(head + "7fffffff\r\nabc");
    EXPECT_FALSE(big.ok);
    EXPECT_LE(big.body.size(), 3u);
}

TEST(HostileResponse, ResetInTheMiddleOfAChunk) {
    Outcome o = Fetch([](nxtest::ScriptedServer& s) {
        s.ExpectReceived("\r\n\r\n")
            .Send("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nabc")
            .Pause(100)
            .Reset();
    });
    EXPECT_FALSE(o.ok);
    EXPECT_TRUE(o.cls == "ENxSocketError" || o.cls == "ENxConnClosedGracefully") << o.cls << " " << o.message;
    if (o.cls == "ENxSocketError") {
        EXPECT_EQ(o.socketError, 10054);
    }
    EXPECT_LE(o.body.size(), 3u);
}

TEST(HostileResponse, SilentServerEndsInTheReadTimeout) {
    constexpr int32_t timeout = 400;
    Outcome o = Fetch([](nxtest::ScriptedServer& s) { s.ExpectReceived("\r\n\r\n").Pause(4000); }, timeout);
    EXPECT_EQ(o.cls, "ENxReadTimeout");
    EXPECT_EQ(o.message, "Read Timeout");
    EXPECT_GE(o.ms, timeout - 50);
    EXPECT_LT(o.ms, timeout + 2000);
}

// A trickle slower than the read time-out fails at the first gap; one faster than it
// is read to the exact body, however small the pieces.
TEST(HostileResponse, TricklingServer) {
    const std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nxyz";
    // One gap is enough: a server that went on trickling would keep the script (and the test)
    // busy for 40 s where its sends into the closed connection do not fail (Wine).
    Outcome slow = Fetch(
        [&](nxtest::ScriptedServer& s) {
            s.ExpectReceived("\r\n\r\n")
                .Send(response.substr(0, 5))
                .Pause(1000)
                .Send(response.substr(5))
                .Close();
        },
        300);
    EXPECT_EQ(slow.cls, "ENxReadTimeout");
    EXPECT_LT(slow.ms, 2500);

    Outcome fast = Fetch(
        [&](nxtest::ScriptedServer& s) {
            s.ExpectReceived("\r\n\r\n").SendPieces(response, {1}, 15).Close();
        },
        1000);
    EXPECT_TRUE(fast.ok) << fast.cls << " " << fast.message;
    EXPECT_EQ(fast.body, "xyz");
}

// The body reader alone: a chunked body whose last line is lost to the close fails.
TEST(HostileResponse, ChunkedBodyReaderMeetsTheCloseAtTheLastLine) {
    nxtest::ScriptedServer server;
    server.Send("3\r\nabc\r\n0\r\n").Close();
    server.Start();
    TNxTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(server.Port());
    client.ReadTimeout = ClientReadTimeout;
    client.OpenConnection();
    TNxHeaderList lines;
    lines.Add("Transfer-Encoding: chunked");
    TMemoryStream stream;
    EXPECT_THROW(ReadBody(client, &stream, NxBodyFramingOf(lines, false)), ENxConnClosedGracefully);
    EXPECT_EQ(stream.ToString(), "abc");
}
