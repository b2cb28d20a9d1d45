// Work-counting guards of the receive path: a large body must cost a number of receives,
// compactions, stream writes and line-search positions bounded by the buffer sizes, not
// by the machine's speed. Nothing here measures time, so a busy machine cannot fail it.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "support/ScriptedServer.h"
#include "transport/NxTCPClient.h"

namespace {

constexpr int64_t GuardBodyBytes = 64 * 1024 * 1024;
// A receive may return less than it asked for when the reader catches up with the
// sender; on loopback that at most splits a block in a few pieces.
constexpr int64_t PartialReceiveAllowance = 4;

// Counts every fill of the input buffer (one receive each) and the bytes it brought.
class TCountingClient : public TNxTCPClient {
public:
    int32_t FillInputBuffer(bool raiseIfClosed, int32_t timeout, bool raiseOnTimeout) override {
        int32_t n = TNxTCPClient::FillInputBuffer(raiseIfClosed, timeout, raiseOnTimeout);
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
        Largest = std::max(Largest, count);
        return TMemoryStream::Write(buffer, count);
    }
    int64_t Resizes = 0;
    int64_t Writes = 0;
    int64_t Largest = 0;
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
        client.OpenConnection();
    }
    nxtest::ScriptedServer server;
    TCountingClient client;
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
    // One receive never asks for more than RecvBufferSize, so fewer fills are impossible.
    EXPECT_GE(client.Fills, blocks);
    EXPECT_LE(client.Fills, blocks * PartialReceiveAllowance) << "receives far smaller than RecvBufferSize";
    EXPECT_EQ(client.Received, GuardBodyBytes);
    // The destination is sized once, up front, and written in whole blocks.
    EXPECT_EQ(stream.Resizes, 1);
    EXPECT_LE(stream.Writes, blocks + 1);
    EXPECT_LE(stream.Largest, recv);
    EXPECT_LE(workEvents, blocks + 1);
    // Consuming advances a read offset; compaction happens at most once per threshold
    // consumed and moves only what was left over, never a whole block per read.
    const TNxManagedBuffer& in = client.InputBuffer();
    EXPECT_LE(in.PackCount(), GuardBodyBytes / in.PackThreshold());
    EXPECT_LE(in.PackedBytes(), in.PackCount() * recv);
}

TEST_F(NxPerfGuardTest, RecvBufferSizeSetsTheReceiveCount) {
    // The same rule with a smaller buffer: the count follows RecvBufferSize.
    constexpr int64_t bytes = 4 * 1024 * 1024;
    server.ExpectReceived("go").Send(Pattern(bytes));
    Connect();
    client.RecvBufferSize = 4096;
    client.WriteText("go");
    TCountingStream stream;
    client.ReadToStream(stream, bytes, false);
    ASSERT_EQ(stream.Size(), bytes);
    EXPECT_GE(client.Fills, bytes / 4096);
    EXPECT_LE(client.Fills, bytes / 4096 * PartialReceiveAllowance);
    EXPECT_LE(stream.Largest, 4096);
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
    const int64_t fillsBefore = client.Fills;
    EXPECT_EQ(client.ReadLine(), line);
    EXPECT_GT(client.Fills - fillsBefore, 5) << "the line must really arrive in pieces";
    EXPECT_LE(client.LineScanCount() - before, static_cast<int64_t>(line.size()) + 2);
}
