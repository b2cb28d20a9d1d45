// Work-counting guards of the receive path: a large body must cost a number of receives,
// compactions, stream writes and line-search positions bounded by the buffer sizes, not
// by the machine's speed. Nothing here measures time, so a busy machine cannot fail it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include "support/ScriptedServer.h"
#include "support/UnderValgrind.h"
#include "transport/NxAntiFreeze.h"
#include "transport/NxIOHandlerSocket.h"
#include "transport/NxTCPClient.h"

namespace {

// 64 MiB; under valgrind 8 MiB, still hundreds of blocks.
const int64_t GuardBodyBytes = (nxtest::UnderValgrind() ? 8 : 64) * 1024 * 1024;
// A receive may return less than it asked for when the reader catches up with the
// sender; on loopback that at most splits a block in a few pieces.
constexpr int64_t PartialReceiveAllowance = 4;

// Counts every receive (into the input buffer or straight into a stream) and the bytes it
// brought.
class TCountingHandler : public TNxIOHandlerSocket {
public:
    int32_t Receive(void* buffer, int32_t length) override {
        int32_t n = TNxIOHandlerSocket::Receive(buffer, length);
        ++Fills;
        if (n > 0) Received += n;
        return n;
    }
    int64_t Fills = 0;
    int64_t Received = 0;
};

// A memory stream that counts how often it is resized and written, and the largest write.
class TCountingStream : public TMemoryStream {
public:
    void SetSize(int64_t size) override {
        ++Resizes;
        TMemoryStream::SetSize(size);
    }
    int64_t Write(const void* buffer, int64_t count) override {
        ++Writes;
        Copied += count;
        Largest = std::max(Largest, count);
        return TMemoryStream::Write(buffer, count);
    }
    // A block received into the stream's memory is one write too.
    char* WriteSpace(int64_t& count, int64_t minimum) override {
        if (!OffersMemory) return nullptr;
        char* space = TMemoryStream::WriteSpace(count, minimum);
        LargestSpace = std::max(LargestSpace, count);
        return space;
    }
    void CommitWrite(int64_t count) override {
        ++Writes;
        TMemoryStream::CommitWrite(count);
    }
    int64_t Resizes = 0;
    int64_t Writes = 0;
    int64_t Copied = 0; // bytes written from a buffer of the caller's
    int64_t Largest = 0;
    int64_t LargestSpace = 0;
    bool OffersMemory = true; // false: a stream that only takes writes
};

std::string Pattern(int64_t n) {
    std::string s(static_cast<size_t>(n), '\0');
    for (int64_t i = 0; i < n; ++i)
        s[static_cast<size_t>(i)] = static_cast<char>('a' + (i * 7 + i / 4093) % 26);
    return s;
}

class NxPerfGuardTest : public ::testing::Test {
protected:
    void Connect() {
        server.Start();
        client.SetHost("127.0.0.1");
        client.SetPort(server.Port());
        client.ReadTimeout = 20000; // bounded: a broken read fails instead of hanging
        client.SetIOHandler(&handler);
        client.OpenConnection();
    }
    nxtest::ScriptedServer server;
    TCountingHandler handler;
    TNxTCPClient client;
};

} // namespace

TEST_F(NxPerfGuardTest, CountedBodyOf64MiBCostsBlocksNotBytes) {
    const std::string body = Pattern(GuardBodyBytes);
    server.ExpectReceived("go").Send(body);
    Connect();
    int64_t workEvents = 0;
    client.OnWork = [&](TNxComponent*, TWorkMode, int32_t) { ++workEvents; };
    client.WriteText("go");
    TCountingStream stream;
    client.ReadToStream(stream, GuardBodyBytes, false);

    ASSERT_EQ(stream.Size(), GuardBodyBytes);
    ASSERT_TRUE(stream.ToString() == body) << "the body arrived changed";
    const int64_t recv = client.RecvBufferSize;
    const int64_t blocks = (GuardBodyBytes + recv - 1) / recv;
    // Nothing is buffered, so the body is received straight into the stream, several blocks
    // per receive at most.
    EXPECT_GE(handler.Fills, GuardBodyBytes / TNxTCPConnection::DirectReceiveLimit);
    EXPECT_LE(handler.Fills, blocks * PartialReceiveAllowance) << "receives far smaller than RecvBufferSize";
    EXPECT_EQ(handler.Received, GuardBodyBytes);
    // The destination is sized once, up front, and committed in whole blocks, one work
    // event each.
    EXPECT_EQ(stream.Resizes, 1);
    EXPECT_EQ(stream.Writes, blocks);
    EXPECT_EQ(stream.Copied, 0) << "with nothing buffered, blocks are received into the stream";
    EXPECT_LE(stream.LargestSpace, TNxTCPConnection::DirectReceiveLimit);
    EXPECT_EQ(workEvents, blocks);
    // Consuming advances a read offset; compaction happens at most once per threshold
    // consumed and moves only what was left over, never a whole block per read.
    const TNxManagedBuffer& in = client.InputBuffer();
    EXPECT_LE(in.PackCount(), GuardBodyBytes / in.PackThreshold());
    EXPECT_LE(in.PackedBytes(), in.PackCount() * recv);
}

TEST_F(NxPerfGuardTest, RecvBufferSizeSetsTheReceiveCount) {
    // The same rule with a smaller buffer and with nxget's larger one, one body each: the
    // count of receives into the input buffer follows RecvBufferSize.
    constexpr int64_t bytes = 4 * 1024 * 1024;
    const int32_t sizes[] = {4096, 131072};
    server.ExpectReceived("go 0").Send(Pattern(bytes)).ExpectReceived("go 1").Send(Pattern(bytes));
    Connect();
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(sizes[i]);
        client.RecvBufferSize = sizes[i];
        handler.Fills = 0;
        client.WriteText("go " + std::to_string(i));
        TCountingStream stream;
        stream.OffersMemory = false; // through the input buffer
        client.ReadToStream(stream, bytes, false);
        ASSERT_EQ(stream.Size(), bytes);
        EXPECT_GE(handler.Fills, bytes / sizes[i]);
        EXPECT_LE(handler.Fills, bytes / sizes[i] * PartialReceiveAllowance);
        EXPECT_LE(stream.Largest, sizes[i]);
    }
}

TEST_F(NxPerfGuardTest, SmallReadsOutOfLargeReceivesMoveLittle) {
    // A chunked body of 1 KiB chunks is many small reads out of each receive. Compacting
    // must stay rare whatever the receive size: with nxget's 128 KiB receives a fixed
    // 32 KiB threshold moved about 1.4 times the body.
    constexpr int64_t bytes = 4 * 1024 * 1024;
    constexpr int64_t piece = 1000;
    const int32_t sizes[] = {32768, 131072};
    server.ExpectReceived("go 0").Send(Pattern(bytes)).ExpectReceived("go 1").Send(Pattern(bytes));
    Connect();
    int64_t packedBefore = 0;
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(sizes[i]);
        client.RecvBufferSize = sizes[i];
        client.WriteText("go " + std::to_string(i));
        TCountingStream stream;
        for (int64_t done = 0; done < bytes; done += piece)
            client.ReadToStream(stream, std::min(piece, bytes - done), false);
        ASSERT_EQ(stream.Size(), bytes);
        const int64_t moved = client.InputBuffer().PackedBytes() - packedBefore;
        packedBefore = client.InputBuffer().PackedBytes();
        EXPECT_LE(moved, bytes / 16) << "compaction moved " << moved << " bytes";
    }
}

TEST_F(NxPerfGuardTest, ReadLineSearchesEachByteOnce) {
    // Many short lines buffered together: each search stops at its line's end, so the
    // positions examined add up to the bytes of the lines, not lines x buffered bytes.
    constexpr int lines = 20000;
    std::string text;
    for (int i = 0; i < lines; ++i)
        text += std::to_string(i % 4096) + "\r\n";
    server.ExpectReceived("go").Send(text);
    Connect();
    client.WriteText("go");
    const int64_t before = client.LineScanCount();
    for (int i = 0; i < lines; ++i)
        ASSERT_EQ(client.ReadLine(), std::to_string(i % 4096));
    EXPECT_LE(client.LineScanCount() - before, static_cast<int64_t>(text.size()));
}

TEST_F(NxPerfGuardTest, ALineInManyPiecesIsSearchedOnce) {
    // A long line dribbled in: bytes already searched are not searched again.
    const std::string line = Pattern(16000);
    server.ExpectReceived("go").SendPieces(line + "\r\n", {500}, 2);
    Connect();
    client.WriteText("go");
    const int64_t before = client.LineScanCount();
    const int64_t fillsBefore = handler.Fills;
    EXPECT_EQ(client.ReadLine(), line);
    EXPECT_GT(handler.Fills - fillsBefore, 5) << "the line must really arrive in pieces";
    EXPECT_LE(client.LineScanCount() - before, static_cast<int64_t>(line.size()) + 2);
}

// --- responsiveness ---------------------------------------------------------------------
// Not a guard: a probe that reports the longest gap between two message-pump calls, as
// the installer has them (the anti-freeze while the transport waits, and the wizard's own
// pump in every work event). Its checks count pumps, not milliseconds; the gaps are
// printed (and recorded as test properties) for the performance notes.

namespace {

class TRecordingAntiFreeze : public TNxAntiFreeze {
public:
    void PumpMessages() override {
        ++AntiFreezePumps;
        Stamp();
        TNxAntiFreeze::PumpMessages();
    }
    // One pump call at this moment: the longest gap since the previous one is kept.
    void Stamp() {
        const auto now = std::chrono::steady_clock::now();
        if (Pumps > 0) LongestGap = std::max(LongestGap, now - Last);
        Last = now;
        ++Pumps;
    }
    double LongestGapMs() const { return std::chrono::duration<double, std::milli>(LongestGap).count(); }

    int64_t Pumps = 0;
    int64_t AntiFreezePumps = 0;
    std::chrono::steady_clock::duration LongestGap{};
    std::chrono::steady_clock::time_point Last{};
};

void Report(const char* what, const TRecordingAntiFreeze& af) {
    std::printf("responsiveness: %s: longest gap %.1f ms between %lld pumps (%lld by the anti-freeze)\n",
                what, af.LongestGapMs(), static_cast<long long>(af.Pumps),
                static_cast<long long>(af.AntiFreezePumps));
    std::fflush(stdout);
    ::testing::Test::RecordProperty(std::string(what) + "_longest_gap_ms", std::to_string(af.LongestGapMs()));
}

} // namespace

TEST(NxResponsivenessProbe, DownloadOf64MiBWithTheAntiFreeze) {
    nxtest::ScriptedServer server;
    server.ExpectReceived("go").Send(Pattern(GuardBodyBytes));
    server.Start();
    TRecordingAntiFreeze af; // IdleTimeOut 250 ms, in force for the main thread
    ASSERT_TRUE(TNxAntiFreezeBase::AntiFreezeInForce()) << "the test must run on the main thread";
    TNxTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(server.Port());
    client.ReadTimeout = 0; // as the installer: waits cut only into anti-freeze slices
    client.OpenConnection(5000);
    // The wizard's work handler pumps the queue for every block.
    client.OnWork = [&](TNxComponent*, TWorkMode, int32_t) { af.Stamp(); };
    client.WriteText("go");
    TMemoryStream stream;
    af.Pumps = af.AntiFreezePumps = 0;
    af.LongestGap = {};
    af.Stamp(); // the download starts
    client.ReadToStream(stream, GuardBodyBytes, false);
    af.Stamp(); // and ends
    Report("download_64MiB", af);
    ASSERT_EQ(stream.Size(), GuardBodyBytes);
    // Every block reaches a pump: no stretch of the body goes by without one.
    EXPECT_GE(af.Pumps, GuardBodyBytes / client.RecvBufferSize);
}

TEST(NxResponsivenessProbe, ConnectWithTheAntiFreeze) {
    nxtest::ScriptedServer server;
    server.Start();
    TRecordingAntiFreeze af;
    ASSERT_TRUE(TNxAntiFreezeBase::AntiFreezeInForce());
    TNxTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(server.Port());
    af.Stamp(); // the connect starts
    client.OpenConnection(5000);
    af.Stamp(); // and ends
    Report("connect", af);
    EXPECT_TRUE(client.IsConnected());
    // With the anti-freeze in force the connect runs on its own thread while this one
    // waits in slices, pumping after each; a quick connect ends the first slice early, so
    // it costs no slice at all.
    EXPECT_EQ(af.AntiFreezePumps, 0);
}
