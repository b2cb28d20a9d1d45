// The TCP connection against peers that misbehave: lines and counted blocks cut at
// every byte, lines that never end, binary bytes, resets. Every read ends in the
// documented exception or the exact bytes, within the read time-out.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "base/Stream.h"
#include "transport/NxException.h"
#include "transport/NxTCPConnectionTest.h"

namespace {
class HostileConnection : public NxTCPConnectionFixture {};
} // namespace

// The last line read, then the close: the next read fails, it does not come back empty.
TEST_F(HostileConnection, ReadAfterTheLastLineMeetsTheClose) {
    server.Send("0\r\n").Close();
    Connect();
    EXPECT_EQ(client.ReadLine(), "0");
    EXPECT_THROW(client.ReadLine(), ENxConnClosedGracefully);
}

// A line cut at every offset: the bytes before the cut come back only as a line once the
// LF is in; a half line ends "" with LineTimedOut and stays buffered; the read after it
// fails on the close.
TEST(HostileConnectionCuts, LineCutAtEveryOffset) {
    const std::string line = "HTTP/1.1 200 OK\r\n";
    for (size_t cut = 0; cut <= line.size(); ++cut) {
        SCOPED_TRACE("cut at " + std::to_string(cut));
        nxtest::ScriptedServer server;
        server.Send(line.substr(0, cut)).Close();
        TNxTCPClient client;
        ConnectToScripted(server, client, 3000);
        if (cut == line.size()) {
            EXPECT_EQ(client.ReadLine(), "HTTP/1.1 200 OK");
            EXPECT_THROW(client.ReadLine(), ENxConnClosedGracefully);
        } else if (cut == 0) {
            EXPECT_THROW(client.ReadLine(), ENxConnClosedGracefully);
        } else {
            EXPECT_EQ(client.ReadLine(), "");
            EXPECT_TRUE(client.LineTimedOut());
            EXPECT_EQ(client.InputBuffer().Size(), static_cast<int64_t>(cut));
            EXPECT_THROW(client.ReadLine(), ENxConnClosedGracefully);
        }
    }
}

// Binary bytes, NUL and bytes above 0x7F included, pass through a line untouched.
TEST_F(HostileConnection, BinaryBytesInALine) {
    std::string bytes;
    for (int b = 0; b < 256; ++b)
        if (b != '\n') bytes += static_cast<char>(b);
    server.SendPieces(bytes + "\n", {7, 1, 64}, 5).Close();
    Connect();
    EXPECT_EQ(client.ReadLine(), bytes);
}

// A line that never ends fails as soon as one byte more than the limit is buffered,
// however it arrives, and does not wait for the close.
TEST_F(HostileConnection, EndlessLineInSmallPieces) {
    const std::string endless(client.MaxLineLength + 1, 'x');
    server.SendPieces(endless, {1000, 333}, 2).Pause(5000).Close();
    Connect();
    const auto start = std::chrono::steady_clock::now();
    try {
        client.ReadLine();
        ADD_FAILURE() << "no exception";
    } catch (const ENxReadLnMaxLineLengthExceeded& e) {
        EXPECT_EQ(e.Message(), "Max line length exceeded.");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}

// A reset in the middle of a counted read: the socket error, and no more written than
// arrived.
TEST_F(HostileConnection, ResetInTheMiddleOfACountedRead) {
    server.Send(std::string(1000, 'r')).Pause(100).Reset();
    Connect();
    TMemoryStream stream;
    try {
        client.ReadToStream(stream, 5000, false);
        ADD_FAILURE() << "no exception";
    } catch (const ENxSocketError& e) {
        EXPECT_EQ(e.ErrorCode(), 10054);
    } catch (const ENxConnClosedGracefully&) {
        // The reset may be seen as the end of the stream when the bytes were all taken.
    }
    EXPECT_LE(stream.Size(), 1000);
}

// A count the peer announces is believed up to the reader's ReserveLimit: beyond it the
// destination grows with the bytes that come, and a limited stream refuses the announcement
// before its first byte.
TEST(HostileConnectionAnnouncements, ACountBeyondTheLimitIsNotReservedAhead) {
    constexpr int64_t kGiB = int64_t(1) << 30;
    const std::string sent(3000, 'a');
    const struct {
        const char* Name;
        int64_t Count;
        int64_t ReserveLimit; // 0: the default
        int64_t StreamLimit;  // 0: no limited stream
        bool Fails;
        int64_t MaxCapacity;
    } cases[] = {
        {"announced and sent", 3000, 0, 0, false, 3000},
        {"1 GiB announced, 3000 bytes sent", kGiB, 0, 0, true, 64 * 1024},
        {"the caller's lower limit", 3000, 1000, 0, false, 16 * 1024},
        {"1 GiB announced into a stream limited to 4000 bytes", kGiB, 0, 4000, true, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        nxtest::ScriptedServer server;
        server.Send(sent).Close();
        TNxTCPClient client;
        if (c.ReserveLimit) client.ReserveLimit = c.ReserveLimit;
        ConnectToScripted(server, client, 3000);
        TMemoryStream body;
        TLimitedStream limited(body, c.StreamLimit);
        TStream& target = c.StreamLimit ? static_cast<TStream&>(limited) : body;
        bool failed = false;
        try {
            client.ReadToStream(target, c.Count, false);
        } catch (const ENxConnClosedGracefully&) {
            failed = true;
        } catch (const EStreamLimitExceeded&) {
            failed = true;
            EXPECT_EQ(body.Size(), 0) << "refused before its first byte";
        }
        EXPECT_EQ(failed, c.Fails);
        if (!c.Fails) {
            EXPECT_TRUE(body.ToString() == sent);
        }
        EXPECT_LE(body.Capacity(), c.MaxCapacity);
    }
}
