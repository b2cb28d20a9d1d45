#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "base/Stream.h"
#include "http/NxHTTPBody.h"
#include "support/ScriptedServer.h"
#include "transport/NxException.h"
#include "transport/NxTCPClient.h"

namespace {

struct Recorder {
    std::vector<std::string> events;
    bool works = false; // record OnWork too
    void Attach(TNxComponent& c) {
        if (works)
            c.OnWork = [this](TNxComponent*, TWorkMode, int32_t n) {
                events.push_back("work " + std::to_string(n));
            };
        c.OnWorkBegin = [this](TNxComponent*, TWorkMode, int32_t max) {
            events.push_back("begin " + std::to_string(max));
        };
        c.OnWorkEnd = [this](TNxComponent*, TWorkMode) { events.push_back("end"); };
        c.OnStatus = [this](TNxComponent*, TNxStatus s, const std::string& text) {
            if (s == hsStatusText) events.push_back("status " + text);
        };
    }
};

class NxHTTPBodyTest : public ::testing::Test {
protected:
    void Connect() {
        server.Start();
        client.SetHost("127.0.0.1");
        client.SetPort(server.Port());
        client.ReadTimeout = 5000; // a broken read fails instead of hanging
        client.OpenConnection();
    }
    // The framing a head with that Content-Length (-1: none) and coding (empty: none) gives.
    static TNxBodyFraming Framing(int32_t length, const std::string& coding = {}) {
        TNxHeaderList lines;
        if (length >= 0) lines.Add("Content-Length: " + std::to_string(length));
        if (!coding.empty()) lines.Add("Transfer-Encoding: " + coding);
        return NxBodyFramingOf(lines, false);
    }

    nxtest::ScriptedServer server;
    TNxTCPClient client;
};

// Random piece sizes, so that every boundary (inside a size line, between CR and LF, in
// the data) is met by some run.
std::vector<size_t> RandomPieces(std::mt19937& rng, size_t total) {
    std::uniform_int_distribution<size_t> size(1, 7);
    std::vector<size_t> pieces;
    for (size_t sum = 0; sum < total;) {
        pieces.push_back(size(rng));
        sum += pieces.back();
    }
    return pieces;
}

// 200 chunks of 1 to 3 bytes, sizes written in either case and with leading zeros.
std::string ManySmallChunksData() {
    std::string data;
    for (int i = 0; i < 200; ++i)
        data.append(static_cast<size_t>(1 + i % 3), static_cast<char>('a' + i % 26));
    return data;
}
std::string ManySmallChunks() {
    std::string wire;
    for (int i = 0; i < 200; ++i)
        wire += std::string(i % 2 ? "0" : "") + std::to_string(1 + i % 3) + "\r\n" +
                std::string(static_cast<size_t>(1 + i % 3), static_cast<char>('a' + i % 26)) + "\r\n";
    return wire + "0\r\n\r\n";
}

} // namespace

TEST(NxHTTPBodyChunkSize, LineForms) {
    constexpr int32_t none = -1; // the line is no chunk size
    struct Case {
        const char* line;
        int32_t want;
    } cases[] = {
        {"1a", 26},
        {"1A", 26},
        {"1a ext=1", 26},
        {"1a;ext=1", 26},
        {"1a;", 26},
        {"0", 0},
        {"000010", 16},
        {"00000000ff", 255},
        {"7fffffff", 0x7fffffff},
        {"0007fffffff", 0x7fffffff},
        {"80000000", none},
        {"ffffffff", none},
        {"100000000", none},
        {"", none},
        {";ext", none},
        {"zz", none},
        {" 1a", none},
        {"0x10", none},
        {"-1", none},
        {"1a\t", none},
        {"1g", none},
    };
    for (const auto& c : cases) {
        const std::optional<int32_t> got = ParseChunkSize(c.line);
        EXPECT_EQ(got.value_or(none), c.want) << "line \"" << c.line << "\"";
    }
}

// The same responses, each fed in random pieces: what lands in the stream and what stays
// on the connection must not depend on how the bytes arrive.
TEST_F(NxHTTPBodyTest, FramingsSplitAtRandomPoints) {
    struct Case {
        const char* name;
        int32_t length;
        const char* coding;
        std::string wire;
        std::string want; // the stream after the read, from an old content of "0123456789" at 2
        bool closes;      // the body is delimited by the close
    } cases[] = {
        {"counted", 5, "", "hello", "01hello", false},
        {"chunked wins over counted", 3, "chunked", "3\r\nabc\r\n0\r\n\r\n", "01abc", false},
        {"chunked", -1, "chunked", "3\r\nabc\r\n2 ext=x\r\nde\r\n0\r\n\r\n", "01abcde", false},
        {"chunked then a trailer", -1, "chunked", "1\r\nz\r\n0\r\nX-T: 1\r\n  folded\r\n\r\n", "01z", false},
        {"extension after a semicolon", -1, "chunked", "3;x=y\r\nabc\r\n0\r\n\r\n", "01abc", false},
        {"zero first chunk", -1, "chunked", "0\r\n\r\n", "0123456789", false},
        {"bare LF line ends", -1, "chunked", "3\nabc\n2\r\nde\n0\n\n", "01abcde", false},
        {"bytes before the line end after the data", -1, "chunked", "3\r\nabcXY\r\n0\r\n\r\n", "01abc",
         false},
        {"many small chunks", -1, "chunked", ManySmallChunks(), "01" + ManySmallChunksData(), false},
        {"length 0", 0, "", "", "0123456789", false},
        {"capital Chunked", -1, "Chunked", "3\r\nabc\r\n0\r\n\r\n", "01abc", false},
        {"until close", -1, "", std::string(300, 'u'), "01" + std::string(300, 'u'), true},
    };
    std::mt19937 rng(20261208);
    for (const auto& c : cases) {
        for (int run = 0; run < 3; ++run) {
            SCOPED_TRACE(std::string(c.name) + " run " + std::to_string(run));
            nxtest::ScriptedServer peer;
            TNxTCPClient conn;
            std::string wire = c.wire + (c.closes ? "" : "NEXT\n");
            peer.SendPieces(wire, RandomPieces(rng, wire.size()), 2);
            if (c.closes) peer.Close();
            peer.Start();
            conn.SetHost("127.0.0.1");
            conn.SetPort(peer.Port());
            conn.ReadTimeout = 5000;
            conn.OpenConnection();
            TMemoryStream ms;
            ms.WriteString("0123456789");
            ms.SetPosition(2);
            ReadBody(conn, &ms, Framing(c.length, c.coding));
            EXPECT_EQ(ms.ToString(), c.want);
            if (!c.closes) {
                EXPECT_EQ(conn.ReadLine(), "NEXT") << "the body was read exactly";
            }
        }
    }
}

TEST_F(NxHTTPBodyTest, ChunkedWorkEventsOnePhasePerChunk) {
    server.Send("3\r\nabc\r\n2\r\nde\r\n0\r\n\r\n");
    Connect();
    Recorder rec;
    rec.Attach(client);
    TMemoryStream ms;
    ReadBody(client, &ms, Framing(-1, "chunked"));
    EXPECT_EQ(ms.ToString(), "abcde");
    EXPECT_EQ(rec.events,
              (std::vector<std::string>{"status Chunk Started", "begin 3", "end", "begin 2", "end"}));
}

// Inside a phase of the caller's, every removal from the input buffer is reported: a body
// that is wholly buffered must be taken line by line and chunk by chunk, as it would be
// when its bytes arrive one at a time.
TEST_F(NxHTTPBodyTest, ChunkedWorkCountsEveryLineAndChunk) {
    server.Send("3\r\nabc\r\n2\r\nde\r\n0\r\n\r\nNEXT\n");
    Connect();
    while (client.InputBuffer().Length() < 25)
        client.FillInputBuffer(true, 5000, true);
    Recorder rec;
    rec.works = true;
    rec.Attach(client);
    client.OpenWork(wmRead, 0);
    TMemoryStream ms;
    ReadBody(client, &ms, Framing(-1, "chunked"));
    client.CloseWork(wmRead);
    EXPECT_EQ(ms.ToString(), "abcde");
    EXPECT_EQ(rec.events,
              (std::vector<std::string>{"begin 0", "status Chunk Started", "work 3", "work 6", "work 8",
                                        "work 11", "work 13", "work 15", "work 18", "work 20", "end"}));
}

// A size line longer than the connection's line limit fails the read, whether it arrives
// with everything after it or alone.
TEST_F(NxHTTPBodyTest, ChunkSizeLineOverTheLineLimit) {
    const char* bodies[] = {"00003\r\nabc\r\n0\r\n\r\n", "3\r\nabc\r\n00002\r\nde\r\n0\r\n\r\n"};
    for (const char* body : bodies) {
        SCOPED_TRACE(body);
        nxtest::ScriptedServer peer;
        TNxTCPClient conn;
        peer.Send(body);
        peer.Start();
        conn.SetHost("127.0.0.1");
        conn.SetPort(peer.Port());
        conn.ReadTimeout = 5000;
        conn.OpenConnection();
        while (conn.InputBuffer().Length() < static_cast<int64_t>(std::strlen(body)))
            conn.FillInputBuffer(true, 5000, true);
        conn.MaxLineLength = 4; // "0000X" CR is 6 bytes
        TMemoryStream ms;
        EXPECT_THROW(ReadBody(conn, &ms, Framing(-1, "chunked")), ENxReadLnMaxLineLengthExceeded);
    }
}

TEST_F(NxHTTPBodyTest, CountedBodyOnePhaseAndNoneForLengthZero) {
    server.Send("12345");
    Connect();
    Recorder rec;
    rec.Attach(client);
    TMemoryStream ms;
    ReadBody(client, &ms, Framing(0));
    EXPECT_TRUE(rec.events.empty()) << "Content-Length 0 reads nothing";
    ReadBody(client, &ms, Framing(5));
    EXPECT_EQ(rec.events, (std::vector<std::string>{"begin 5", "end"}));
    ReadBody(client, nullptr, Framing(5)); // no stream: nothing to do, and nothing read
    EXPECT_EQ(rec.events.size(), 2u);
}

// A counted body the server cuts short must not pass for the whole download.
TEST_F(NxHTTPBodyTest, TruncatedCountedBodyFails) {
    server.Send(std::string(100, 'a')).Pause(50).Send(std::string(500, 'b')).Close();
    Connect();
    client.FillInputBuffer(true, 5000, true); // the first 100 bytes arrive with the head
    TMemoryStream ms;
    try {
        ReadBody(client, &ms, Framing(1000));
        FAIL() << "a body 400 bytes short was accepted";
    } catch (const ENxConnClosedGracefully& e) {
        EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
    }
    // The incomplete block that the transport held back is written too: a resumed
    // download continues after the last byte received.
    EXPECT_EQ(ms.ToString(), std::string(100, 'a').append(500, 'b'));
    EXPECT_EQ(client.InputBuffer().Length(), 0);
}

TEST_F(NxHTTPBodyTest, TruncatedBodyNoticedBeforeTheReadFails) {
    server.Send(std::string(40, 'a')).Close();
    Connect();
    for (int i = 0; i < 20 && client.IsConnected(); ++i)
        client.FillInputBuffer(false, 1000, false);
    ASSERT_FALSE(client.IsConnected());
    TMemoryStream ms;
    EXPECT_THROW(ReadBody(client, &ms, Framing(50)), ENxConnClosedGracefully);
    EXPECT_EQ(ms.ToString(), std::string(40, 'a'));
}

TEST_F(NxHTTPBodyTest, TruncatedErrorBodyKeepsWhatArrived) {
    server.Send(std::string(30, 'e')).Close();
    Connect();
    TMemoryStream ms;
    ReadBody(client, &ms, Framing(64), false);
    EXPECT_EQ(ms.Size(), 0) << "the block was incomplete at the close";
}

TEST_F(NxHTTPBodyTest, ChunkedBodyClosedEarlyFailsKeepingWholeChunks) {
    server.Send("3\r\nabc\r\n5\r\nde").Close();
    Connect();
    TMemoryStream ms;
    EXPECT_THROW(ReadBody(client, &ms, Framing(-1, "chunked")), ENxConnClosedGracefully);
    // Bytes already buffered when a chunk's read begins go in at once; the read then fails.
    EXPECT_EQ(ms.ToString(), "abcde");
}
