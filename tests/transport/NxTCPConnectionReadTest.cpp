#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <limits>
#include <string>
#include <thread>

#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

#include "base/Stream.h"
#include "transport/NxException.h"
#include "transport/NxTCPConnectionTest.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Counts what is written without keeping it, for bodies larger than memory.
class TSinkStream : public TStream {
public:
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void*, int64_t count) override {
        FPosition += count;
        FSize = std::max(FSize, FPosition);
        return count;
    }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override {
        const int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? FPosition : FSize;
        return FPosition = std::max<int64_t>(0, base + offset);
    }
    int64_t Size() override { return FSize; }
    void SetSize(int64_t size) override { FSize = size; }

private:
    int64_t FPosition = 0;
    int64_t FSize = 0;
};

// A client of a server of its own, for tables whose rows each need a fresh connection.
struct TFreshConnection {
    nxtest::ScriptedServer server;
    TNxTCPClient client;
    void Open() {
        server.Start();
        client.SetHost("127.0.0.1");
        client.SetPort(server.Port());
        client.ReadTimeout = 5000;
        client.OpenConnection();
    }
};

struct WorkLog {
    std::vector<std::string> events;
    int64_t last = 0;
    void Attach(TNxComponent& c) {
        c.OnWorkBegin = [this](TNxComponent*, TWorkMode m, int32_t max) {
            events.push_back((m == wmRead ? "begin read " : "begin write ") + std::to_string(max));
        };
        c.OnWork = [this](TNxComponent*, TWorkMode, int32_t n) { last = n; };
        c.OnWorkEnd = [this](TNxComponent*, TWorkMode m) {
            events.push_back(m == wmRead ? "end read" : "end write");
        };
    }
};

} // namespace

TEST_F(NxTCPConnectionFixture, LineEndingsAndTerminators) {
    struct Case {
        const char* bytes;
        const char* terminator;
        std::string want;
    } cases[] = {
        {"abc\r\n", "\n", "abc"}, {"abc\r\r\n", "\n", "abc\r"}, {"\r\n", "\n", ""},
        {"\n", "", ""},           {"abc\r\n", "\r\n", "abc"},   {"ab\r\r\n", "\r\n", "ab\r"},
        {"x\ry\n", "\n", "x\ry"}, {"fooENDbar", "END", "foo"},
    };
    std::string all;
    for (const auto& c : cases)
        all += c.bytes;
    server.Send(all).Send("\n");
    Connect();
    for (const auto& c : cases)
        EXPECT_EQ(client.ReadLine(c.terminator), c.want) << "after " << c.bytes;
    EXPECT_EQ(client.ReadLine(), "bar");
}

TEST_F(NxTCPConnectionFixture, TerminatorSplitAcrossReceives) {
    server.SendPieces("abc\r\nxyzEND!", {4, 1, 4, 2, 1});
    Connect();
    EXPECT_EQ(client.ReadLine("\r\n"), "abc");
    EXPECT_EQ(client.ReadLine("END"), "xyz");
    char rest = 0;
    client.ReadExact(&rest, 1);
    EXPECT_EQ(rest, '!');
}

TEST_F(NxTCPConnectionFixture, MaxLineLength) {
    const std::string eight(8, 'a');
    // The 9-byte line stops short of its LF and the connection stays open: a reader that
    // waited for the LF would end in a read time-out instead.
    server.Send(eight + "\n" + eight + "b\n" + eight + "c").Pause(3000);
    Connect();
    client.MaxLineLength = 8;
    EXPECT_EQ(client.ReadLine(), eight) << "exactly the maximum is accepted";
    try {
        client.ReadLine();
        FAIL() << "one byte over the maximum must raise";
    } catch (const ENxReadLnMaxLineLengthExceeded& e) {
        EXPECT_STREQ(e.what(), "Max line length exceeded.");
    }
    EXPECT_EQ(client.InputBuffer().Extract(10), eight + "b\n") << "the line stays buffered";
    EXPECT_THROW(client.ReadLine(), ENxReadLnMaxLineLengthExceeded) << "also before the LF has arrived";

    client.MaxLineAction = maSplit;
    EXPECT_EQ(client.ReadLine(), eight);
    EXPECT_TRUE(client.LineWasSplit());
}

TEST_F(NxTCPConnectionFixture, SplitLongLineAndACrLfLineOfExactlyTheMaximum) {
    // "abc" CR then LF later: with terminator CR LF and maximum 3 the line fits; the lone CR
    // may still be the start of the terminator.
    server.Send("0123456789\n").Send("abc\r").Pause(200).Send("\nnegative\n");
    Connect();
    client.MaxLineAction = maSplit;
    EXPECT_EQ(client.ReadLine("\n", -1, 4), "0123");
    EXPECT_TRUE(client.LineWasSplit());
    EXPECT_EQ(client.ReadLine("\n", -1, 0), "456789") << "0 means no limit";
    EXPECT_FALSE(client.LineWasSplit());
    client.MaxLineAction = maException;
    EXPECT_EQ(client.ReadLine("\r\n", -1, 3), "abc");
    client.MaxLineAction = maSplit;
    EXPECT_EQ(client.ReadLine("\n", -1, -7), "negative") << "a negative limit other than -1 is no limit";
}

// Before its terminator has come, only a buffered tail that may still become the terminator
// is left out of a line's length: an overlong line is noticed while the peer pauses, and a
// line that may still end within the limit is waited for.
TEST(NxTCPConnectionLines, LimitWithAMultiByteTerminator) {
    constexpr int64_t PauseMs = 1000;
    struct Case {
        const char* first;
        const char* later;
        const char* terminator;
        TNxMaxLineAction action;
        const char* want; // null: the line is too long
        bool waits;
    } cases[] = {
        {"abcd", "\r\n", "\r\n", maException, nullptr, false},
        {"abcd", "\r\n", "\r\n", maSplit, "abc", false},
        {"abcNE", "ND", "END", maSplit, "abc", false},
        {"abc\r", "\n", "\r\n", maException, "abc", true},
        {"abcEN", "D", "END", maException, "abc", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " before " + c.later);
        TFreshConnection f;
        f.server.Send(c.first).Pause(static_cast<int>(PauseMs)).Send(c.later);
        f.Open();
        f.client.MaxLineAction = c.action;
        const auto start = Clock::now();
        std::string line;
        bool tooLong = false;
        try {
            line = f.client.ReadLine(c.terminator, -1, 3);
        } catch (const ENxReadLnMaxLineLengthExceeded&) {
            tooLong = true;
        }
        const int64_t ms = MsSince(start);
        EXPECT_EQ(tooLong, c.want == nullptr);
        if (c.want) {
            EXPECT_EQ(line, c.want);
        }
        if (c.waits) {
            EXPECT_GE(ms, PauseMs - 100) << "the line could still end within the limit";
        } else {
            EXPECT_LT(ms, PauseMs / 2) << "the line was too long before the pause";
        }
    }
}

TEST_F(NxTCPConnectionFixture, PeerCloseWithHalfALineBuffered) {
    server.Send("half").Close();
    Connect();
    EXPECT_EQ(client.ReadLine(), "");
    EXPECT_TRUE(client.LineTimedOut());
    EXPECT_EQ(std::string(client.InputBuffer().Memory(), 4), "half") << "the half line stays buffered";
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(statuses.back(), hsDisconnected);
    try {
        client.ReadLine();
        FAIL() << "a second read must raise";
    } catch (const ENxConnClosedGracefully& e) {
        EXPECT_STREQ(e.what(), "Connection Closed Gracefully.");
    }
    EXPECT_EQ(disconnects, 1) << "the close is reported once";
}

TEST_F(NxTCPConnectionFixture, PeerCloseWithNothingBufferedRaisesAtOnce) {
    server.Close();
    Connect();
    EXPECT_THROW(client.ReadLine(), ENxConnClosedGracefully);
    EXPECT_FALSE(client.IOHandler()->HasSocket()) << "the socket is closed";
}

TEST_F(NxTCPConnectionFixture, ReadExactAroundAPeerClose) {
    server.Send("abc").Close();
    Connect();
    char buf[10] = {};
    EXPECT_THROW(client.ReadExact(buf, 10), ENxConnClosedGracefully) << "the close met inside the read";
    EXPECT_EQ(client.InputBuffer().Length(), 3);
    try {
        client.ReadExact(buf, 10);
        FAIL() << "a read started after the close was noticed must raise";
    } catch (const ENxNotConnected& e) {
        EXPECT_STREQ(e.what(), "Not Connected");
    }
    client.ReadExact(buf, 3);
    EXPECT_EQ(std::string(buf, 3), "abc") << "bytes received before the close stay readable";
}

TEST_F(NxTCPConnectionFixture, ReadTimeoutAndExplicitLineTimeout) {
    server.Send("par").Pause(1500).Send("tial\n");
    Connect();
    client.ReadTimeout = 100;
    try {
        client.ReadLine();
        FAIL() << "no line within ReadTimeout must raise";
    } catch (const ENxReadTimeout& e) {
        EXPECT_STREQ(e.what(), "Read Timeout");
    }
    EXPECT_TRUE(client.IsConnected());
    client.ReadTimeout = 0;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(client.ReadLine("\n", 100), "");
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_TRUE(client.LineTimedOut()) << "an explicit time-out ends the call";
    EXPECT_LT(waited, std::chrono::milliseconds(1000));
    EXPECT_EQ(client.ReadLine(), "partial") << "ReadTimeout 0 waits without limit; the partial line was kept";
}

TEST_F(NxTCPConnectionFixture, AsciiFilterClearsBit7AndIntegersUseNetworkOrder) {
    std::string high;
    for (int i = 0x80; i < 0x100; ++i)
        high += static_cast<char>(i);
    server.Send(std::string("\x00\x00\x01\x02", 4) + high);
    Connect();
    client.ASCIIFilter = true;
    EXPECT_EQ(client.ReadInt32(true), 258);
    char buf[128];
    client.ReadExact(buf, 128);
    for (int i = 0; i < 128; ++i)
        ASSERT_EQ(static_cast<unsigned char>(buf[i]), i) << i;
}

TEST_F(NxTCPConnectionFixture, ReadLineCostStaysLinear) {
    // A 16000-byte line in 250 pieces: a search that restarted at the front on every
    // piece would examine about 2 million positions.
    const std::string line(16000, 'q');
    server.ExpectReceived("go").SendPieces(line + "\n", {64}, 3);
    Connect();
    TNxConnectionIntercept counter;
    int blocks = 0;
    counter.OnReceive = [&](TNxTCPConnection*, TNxSimpleBuffer&) { ++blocks; };
    client.SetIntercept(&counter);
    int64_t before = client.LineScanCount();
    client.WriteText("go");
    EXPECT_EQ(client.ReadLine(), line);
    EXPECT_GT(blocks, 20) << "the line must really arrive in many receives";
    EXPECT_LE(client.LineScanCount() - before, 16001);
}

TEST_F(NxTCPConnectionFixture, OneReceiveAsksForAtMostRecvBufferSize) {
    server.Send(std::string(1000, 'r'));
    Connect();
    client.RecvBufferSize = 100;
    TNxConnectionIntercept counter;
    int64_t largest = 0, total = 0;
    counter.OnReceive = [&](TNxTCPConnection*, TNxSimpleBuffer& b) {
        largest = std::max(largest, b.Size());
        total += b.Size();
    };
    client.SetIntercept(&counter);
    char buf[1000];
    client.ReadExact(buf, 1000);
    EXPECT_EQ(total, 1000);
    EXPECT_EQ(largest, 100);
}

TEST_F(NxTCPConnectionFixture, InterceptMayRewriteReceivedBytes) {
    server.Send("abc\n");
    Connect();
    // The nested intercept sees the bytes first: it adds a line, the outer one upper-cases.
    TNxConnectionIntercept upper, nested;
    nested.OnReceive = [](TNxTCPConnection*, TNxSimpleBuffer& b) {
        b.Seek(0, soEnd);
        b.WriteString("z\n");
    };
    upper.OnReceive = [](TNxTCPConnection*, TNxSimpleBuffer& b) {
        for (int64_t i = 0; i < b.Size(); ++i)
            if (b.Memory()[i] >= 'a' && b.Memory()[i] <= 'z')
                b.Memory()[i] = static_cast<char>(b.Memory()[i] - 32);
    };
    upper.Intercept = &nested;
    client.SetIntercept(&upper);
    EXPECT_EQ(client.ReadLine(), "ABC");
    EXPECT_EQ(client.ReadLine(), "Z");
}

TEST_F(NxTCPConnectionFixture, CountedReadToStream) {
    std::string body;
    for (int i = 0; i < 100000; ++i)
        body += static_cast<char>(i * 7);
    server.Send("head\n" + body.substr(0, 500)).Pause(50).SendPieces(body.substr(500), {40000, 1000, 30000});
    Connect();
    WorkLog work;
    work.Attach(client);
    EXPECT_EQ(client.ReadLine(), "head");
    TMemoryStream ms;
    client.ReadToStream(ms, 100000);
    EXPECT_EQ(ms.ToString(), body);
    EXPECT_EQ(ms.Capacity(), 100000) << "the destination is sized once, exactly";
    EXPECT_EQ(work.events, (std::vector<std::string>{"begin read 100000", "end read"}));
    EXPECT_EQ(work.last, 100000);
}

TEST_F(NxTCPConnectionFixture, LengthPrefixedAndZeroCountReads) {
    server.Send(std::string("\x00\x00\x00\x05hello", 9));
    Connect();
    WorkLog work;
    work.Attach(client);
    TMemoryStream ms;
    client.ReadToStream(ms, 0);
    EXPECT_EQ(ms.Size(), 0);
    EXPECT_EQ(work.events, (std::vector<std::string>{"begin read 0", "end read"}))
        << "count 0 still opens a phase";
    client.ReadToStream(ms);
    EXPECT_EQ(ms.ToString(), "hello");
}

TEST_F(NxTCPConnectionFixture, ReadToStreamUntilClosed) {
    const std::string data(70000, 'u');
    server.SendPieces(data, {30000, 5000}).Close();
    Connect();
    TMemoryStream ms;
    client.ReadToStream(ms, -1, true);
    EXPECT_EQ(ms.Size(), 70000);
    EXPECT_EQ(ms.ToString(), data);
    EXPECT_TRUE(client.InputBuffer().Empty());
}

// A read until close stops at its limit and leaves the connection open, the rest unread.
TEST_F(NxTCPConnectionFixture, ReadUntilCloseStopsAtItsLimit) {
    constexpr int64_t piece = 1 << 20;
    // One byte more than the limit, then a line.
    server.SendRepeated(std::string(piece, 'x'), (TNxTCPConnection::ReadUntilCloseLimit + 1) / piece)
        .Send("tail\n");
    Connect();
    client.RecvBufferSize = static_cast<int32_t>(piece); // the bytes are the point, not the calls
    WorkLog work;
    work.Attach(client);
    TSinkStream sink;
    client.ReadToStream(sink, -1, true);
    EXPECT_EQ(sink.Size(), 2147483647);
    EXPECT_EQ(work.last, 2147483647);
    EXPECT_TRUE(client.IsConnected());
    EXPECT_EQ(client.ReadLine(), "xtail");
}

// Whole blocks are written, the incomplete one stays in the input buffer: also when the
// blocks are received straight into the stream's memory, several at a time.
TEST(NxTCPConnectionCut, CountedReadCutShortByAClose) {
    const struct {
        int64_t Sent, Count, Written;
    } cases[] = {{600, 1000, 0}, {100000, 200000, 98304}, {40000, 40001, 32768}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Sent);
        nxtest::ScriptedServer server;
        server.Send(std::string(static_cast<size_t>(c.Sent), 'c')).Close();
        TNxTCPClient client;
        ConnectToScripted(server, client, 5000);
        WorkLog work;
        work.Attach(client);
        TMemoryStream ms;
        EXPECT_THROW(client.ReadToStream(ms, c.Count), ENxConnClosedGracefully);
        EXPECT_EQ(ms.Size(), c.Written) << "the stream is cut back to its last whole block";
        EXPECT_EQ(client.InputBuffer().Length(), c.Sent - c.Written) << "the incomplete block stays buffered";
        EXPECT_EQ(work.last, c.Written);
        EXPECT_EQ(work.events.back(), "end read");
        EXPECT_EQ(client.WorkInfo(wmRead).Level, 0);
    }
}

TEST_F(NxTCPConnectionFixture, CountedReadStartedAfterTheCloseWasNoticed) {
    server.Send(std::string(300, 'n')).Close();
    Connect();
    DrainUntilClosed();
    TMemoryStream ms;
    client.ReadToStream(ms, 200);
    EXPECT_EQ(ms.Size(), 200) << "what is buffered serves a count it covers";
    // 100 bytes remain for a count of 1000: a short block is a failure, not a success.
    TMemoryStream rest;
    EXPECT_THROW(client.ReadToStream(rest, 1000), ENxConnClosedGracefully);
    EXPECT_EQ(rest.ToString(), std::string(100, 'n')) << "the stream ends at the last byte written";
}

TEST_F(NxTCPConnectionFixture, ReadAllCollectsEverythingUntilTheClose) {
    server.Send("abc").Pause(50).Send("def").Close();
    Connect();
    WorkLog work;
    work.Attach(client);
    EXPECT_EQ(client.ReadAll(), "abcdef");
    EXPECT_EQ(work.events, (std::vector<std::string>{"begin read 0", "end read"}));
}

TEST_F(NxTCPConnectionFixture, ReceiveFromAResetPeerRaisesAndKeepsTheSocket) {
#ifdef _WIN32
    GTEST_SKIP() << "Wine's recv reports a peer's reset as an orderly close (0 bytes, no error)";
#endif
    server.Reset();
    Connect();
    ASSERT_TRUE(server.WaitFinished());
    try {
        client.ReadLine();
        FAIL() << "a reset must not look like a graceful close";
    } catch (const ENxSocketError& e) {
        EXPECT_EQ(e.ErrorCode(), 10054);
        EXPECT_EQ(e.Message(), "Socket Error # 10054\r\nConnection reset by peer.");
    }
    EXPECT_TRUE(client.IOHandler()->HasSocket());
}

// Negative time-outs other than -1 (ReadTimeout) and -2 (no limit) go to the wait as they
// are, which finds nothing readable in them: a read time-out at once, even with bytes
// waiting on the socket.
TEST_F(NxTCPConnectionFixture, OtherNegativeTimeoutsTimeOutAtOnce) {
    // The close bounds a wait that took such a time for no limit.
    server.Send("line\n").Pause(3000).Close();
    Connect();
    ASSERT_TRUE(client.IOHandler()->WaitReadable(2000)) << "the bytes are there";
    for (int32_t timeout : {-3, -1000, std::numeric_limits<int32_t>::min()}) {
        SCOPED_TRACE(timeout);
        EXPECT_THROW(client.FillInputBuffer(true, timeout, true), ENxReadTimeout);
        EXPECT_EQ(client.FillInputBuffer(true, timeout, false), -1);
        EXPECT_FALSE(client.IOHandler()->WaitReadable(timeout));
    }
    client.ReadTimeout = -5;
    EXPECT_THROW(client.ReadLine(), ENxReadTimeout) << "a negative ReadTimeout";
    EXPECT_TRUE(client.InputBuffer().Empty());
    client.ReadTimeout = -2;
    EXPECT_EQ(client.ReadLine(), "line") << "-2 is no limit";
}

#ifndef _WIN32
// A signal that breaks off a wait is no time-out: a read without limit waits on, and a
// bounded wait still takes its whole time.
TEST_F(NxTCPConnectionFixture, ASignalDuringAWaitIsNoTimeout) {
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    server.Pause(600).Send("late\n").Pause(5000);
    Connect();
    const pthread_t reader = pthread_self();
    auto interrupt = [reader] {
        for (int i = 0; i < 3; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            pthread_kill(reader, SIGUSR1);
        }
    };
    client.ReadTimeout = 0;
    std::string line;
    std::thread first(interrupt);
    try {
        line = client.ReadLine();
    } catch (const ENxReadTimeout&) {
        line = "(read time-out)";
    }
    first.join();
    EXPECT_EQ(line, "late");
    const auto start = Clock::now();
    std::thread second(interrupt);
    const bool readable = client.IOHandler()->WaitReadable(800);
    second.join();
    EXPECT_FALSE(readable);
    EXPECT_GE(MsSince(start), 750);
    sigaction(SIGUSR1, &previous, nullptr);
}
#endif

// The probe before each request looks without waiting: a thousand of them on a quiet
// connection take far less than a thousand milliseconds, raise nothing, and bytes that
// arrived stay buffered for the next read.
TEST_F(NxTCPConnectionFixture, ProbeClosedLooksWithoutWaiting) {
    server.Pause(1500).Send("kept\n").Pause(5000);
    Connect();
    const auto start = Clock::now();
    for (int i = 0; i < 1000; ++i)
        client.ProbeClosed(true);
    EXPECT_LT(MsSince(start), 900);
    EXPECT_TRUE(client.IsConnected());
    EXPECT_TRUE(client.InputBuffer().Empty());
    ASSERT_TRUE(client.IOHandler()->WaitReadable(5000));
    client.ProbeClosed(true);
    EXPECT_EQ(client.InputBuffer().Length(), 5);
    EXPECT_EQ(client.ReadLine(), "kept");
}

TEST_F(NxTCPConnectionFixture, ProbeClosedNoticesAnIdleClose) {
    server.Close();
    Connect();
    ASSERT_TRUE(server.WaitFinished());
    for (int i = 0; i < 20 && client.IOHandler()->HasSocket(); ++i) {
        client.ProbeClosed(false);
        if (client.IOHandler()->HasSocket()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_FALSE(client.IsConnected());
    EXPECT_EQ(disconnects, 1);
}
