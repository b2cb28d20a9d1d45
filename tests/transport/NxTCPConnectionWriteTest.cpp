#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "base/Stream.h"
#include "transport/NxAntiFreezeBase.h"
#include "transport/NxException.h"
#include "transport/NxResourceStrings.h"
#include "transport/NxStack.h"
#include "transport/NxTCPConnectionTest.h"

namespace {

// The bytes the connection hands to its socket, as an intercept sees them: what went out is
// counted when it goes, not guessed after a pause.
struct TSentBytes {
    explicit TSentBytes(TNxTCPConnection& connection) {
        Intercept.OnSend = [this](TNxTCPConnection*, TNxSimpleBuffer& out) {
            Bytes.append(out.Memory(), static_cast<size_t>(out.Length()));
        };
        connection.SetIntercept(&Intercept);
    }
    std::string Bytes;
    TNxConnectionIntercept Intercept;
};

// Claims more bytes than it can deliver.
class ShortStream : public TMemoryStream {
public:
    int64_t Size() override { return TMemoryStream::Size() + 10; }
};

} // namespace

TEST_F(NxTCPConnectionFixture, WriteBufferingHoldsBytesUntilTheEnd) {
    Connect();
    TSentBytes sent(client);
    client.BeginWriteBuffering(-1);
    client.WriteText("GET / HTTP/1.1");
    client.WriteLine("");
    client.WriteLine("Host: x");
    EXPECT_EQ(sent.Bytes, "") << "nothing leaves before EndWriteBuffering";
    client.EndWriteBuffering();
    EXPECT_FALSE(client.WriteBuffering());
    ASSERT_TRUE(server.WaitReceived(25));
    EXPECT_EQ(server.Received(), "GET / HTTP/1.1\r\nHost: x\r\n");
}

TEST_F(NxTCPConnectionFixture, WriteBufferLimitSendsExactlyTheLimit) {
    Connect();
    TSentBytes sent(client);
    client.BeginWriteBuffering(10);
    client.WriteText("0123456");
    EXPECT_EQ(sent.Bytes, "");
    client.WriteText("789abcdefghijklmn");
    EXPECT_EQ(sent.Bytes, "0123456789") << "exactly the limit goes, the rest stays";
    ASSERT_TRUE(server.WaitReceived(10));
    client.DiscardWriteBuffering();
    client.WriteText("XY");
    client.EndWriteBuffering();
    ASSERT_TRUE(server.WaitReceived(12));
    EXPECT_EQ(server.Received(), "0123456789XY") << "discarded bytes are never sent";
}

TEST_F(NxTCPConnectionFixture, EmptyWritesSendAndCheckNothing) {
    TNxTCPClient idle; // never connected
    EXPECT_NO_THROW(idle.WriteText(""));
    EXPECT_NO_THROW(idle.WriteBytes("x", 0));
    EXPECT_THROW(idle.WriteText("x"), ENxNotConnected) << "a real write needs a connection";
    Connect();
    client.WriteText("");
    client.WriteLine("");
    client.WriteInt32(258);
    ASSERT_TRUE(server.WaitReceived(6));
    EXPECT_EQ(server.Received(), std::string("\r\n\x00\x00\x01\x02", 6));
}

TEST_F(NxTCPConnectionFixture, WriteFromStreamRangesAndWorkPhase) {
    Connect();
    TSentBytes sent(client);
    std::vector<std::string> events;
    int32_t written = 0;
    client.OnWorkBegin = [&](TNxComponent*, TWorkMode m, int32_t max) {
        if (m == wmWrite) events.push_back("begin " + std::to_string(max));
    };
    client.OnWork = [&](TNxComponent*, TWorkMode m, int32_t n) {
        if (m == wmWrite) written = n;
    };
    client.OnWorkEnd = [&](TNxComponent*, TWorkMode m) {
        if (m == wmWrite) events.push_back("end");
    };
    TMemoryStream ms;
    ms.WriteString("0123456789");
    client.SendBufferSize = 3;
    client.WriteFromStream(ms, true, 0, false); // all of it, in chunks of 3
    ms.SetPosition(2);
    client.WriteFromStream(ms, false, 4, true); // "2345" with its length
    ASSERT_TRUE(server.WaitReceived(18));
    EXPECT_EQ(server.Received(), std::string("0123456789\x00\x00\x00\x04"
                                             "2345",
                                             18));
    EXPECT_EQ(events, (std::vector<std::string>{"begin 10", "end", "begin 4", "end"}));
    EXPECT_EQ(written, 4) << "the length prefix goes before the phase opens";

    // Ranges the stream cannot give: it runs dry before its claimed end, or the end lies
    // before the position (past the stream's end, or a negative size). Nothing is sent.
    // A position exactly at the end sends nothing and is no failure.
    struct Case {
        const char* name;
        bool shortStream;
        int64_t position;
        int64_t size;
        bool raises;
    } cases[] = {
        {"runs dry", true, 0, 0, true},
        {"position past the end", false, 5, 0, true},
        {"negative size", false, 1, -1, true},
        {"position at the end", false, 3, 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::unique_ptr<TMemoryStream> stream =
            c.shortStream ? std::make_unique<ShortStream>() : std::make_unique<TMemoryStream>();
        stream->WriteString("abc");
        stream->SetPosition(c.position);
        try {
            client.WriteFromStream(*stream, c.shortStream, c.size, false);
            EXPECT_FALSE(c.raises) << "a range without data must raise";
        } catch (const ENxNoDataToRead& e) {
            EXPECT_TRUE(c.raises);
            EXPECT_STREQ(e.what(), "No data to read.");
        }
        EXPECT_EQ(client.WorkInfo(wmWrite).Level, 0) << "the phase is closed";
    }
    EXPECT_EQ(sent.Bytes.size(), 18u + 3u) << "only the dry stream's bytes went out";
    EXPECT_TRUE(server.WaitReceived(18 + 3));
}

TEST_F(NxTCPConnectionFixture, SendFile) {
    Connect();
    // A folder is no file to send either.
    for (const std::string& missing : {std::string("no-such-file.bin"), ::testing::TempDir()}) {
        try {
            client.SendFile(missing);
            FAIL() << missing;
        } catch (const ENxFileNotFound& e) {
            EXPECT_EQ(e.what(), "File \"" + missing + "\" not found");
        }
    }
    const std::string name = ::testing::TempDir() + "nx-sendfile.bin";
    std::string data(5000, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i * 13);
    TMemoryStream ms;
    ms.WriteString(data);
    ms.SaveToFile(name);
    EXPECT_EQ(client.SendFile(name), 5000);
    ASSERT_TRUE(server.WaitReceived(5000));
    EXPECT_EQ(server.Received(), data);
    std::remove(name.c_str());
}

namespace {

// Writes until the reset shows (the first sends may still be accepted locally); the
// error code, 0 when none came.
int32_t WriteUntilError(TNxTCPConnection& c, std::string& message) {
    const std::string block(1000, 'w');
    for (int i = 0; i < 50; ++i) {
        try {
            c.WriteText(block);
        } catch (const ENxSocketError& e) {
            message = e.Message();
            return e.ErrorCode();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

// Pumping messages runs arbitrary system calls; this one leaves a socket error behind.
class ClobberingAntiFreeze : public TNxAntiFreezeBase {
public:
    void PumpMessages() override {
        ++pumps;
        NxStack().Close(-1);
    }
    int pumps = 0;
};

} // namespace

TEST_F(NxTCPConnectionFixture, SendToAResetPeerClosesTheSocketAndRaises) {
    server.Reset();
    Connect();
    ASSERT_TRUE(server.WaitFinished());
    std::string message;
    int32_t code = WriteUntilError(client, message);
    ASSERT_TRUE(code == 10053 || code == 10054 || code == 10058) << code;
    EXPECT_EQ(message, SocketErrorMessage(code, CommonSocketErrorText(code)));
    EXPECT_FALSE(client.IOHandler()->HasSocket()) << "the socket is closed before the error is raised";
    EXPECT_FALSE(client.IsConnected());
}

TEST_F(NxTCPConnectionFixture, SendErrorSurvivesTheAntiFreezeTickAfterTheSend) {
    ClobberingAntiFreeze antiFreeze;
    antiFreeze.SetOnlyWhenIdle(false); // every send ticks
    server.Reset();
    Connect();
    ASSERT_TRUE(server.WaitFinished());
    std::string message;
    int32_t code = WriteUntilError(client, message);
    EXPECT_GT(antiFreeze.pumps, 0);
    EXPECT_TRUE(code == 10053 || code == 10054 || code == 10058) << code << " " << message;
    EXPECT_FALSE(client.IOHandler()->HasSocket());
}

TEST_F(NxTCPConnectionFixture, InterceptSeesAndMayChangeSentBytes) {
    Connect();
    TNxConnectionIntercept tag;
    tag.OnSend = [](TNxTCPConnection*, TNxSimpleBuffer& b) {
        b.Seek(0, soEnd);
        b.WriteString("!");
    };
    client.SetIntercept(&tag);
    client.WriteText("hi");
    ASSERT_TRUE(server.WaitReceived(3));
    EXPECT_EQ(server.Received(), "hi!");
}

TEST_F(NxTCPConnectionFixture, CommandRepliesSingleAndMultiLine) {
    server.Send("220-first\r\n220-second\r\n220 last\r\n").ExpectReceived("NOOP\r\n").Send("500 bad\r\n");
    Connect();
    EXPECT_EQ(client.ReadReply({220}), 220);
    EXPECT_EQ(client.LastReply().TextCode(), "220");
    EXPECT_EQ(client.LastReply().Text, (std::vector<std::string>{"first", "second", "last"}));
    try {
        client.SendCommand("NOOP", {200, 250});
        FAIL() << "a code outside the allowed list must raise";
    } catch (const ENxProtocolReplyError& e) {
        EXPECT_EQ(e.ReplyCode(), 500);
        EXPECT_EQ(e.Message(), "bad");
    }
    EXPECT_EQ(client.LastReply().NumericCode(), 500) << "the reply is kept";
}
