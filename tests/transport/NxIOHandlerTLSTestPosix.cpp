// The TLS layer against scripted TLS servers on 127.0.0.1, with certificates the tests
// make themselves.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/ScriptedServer.h"
#include "support/ServerTLS.h"
#include "support/TLSMatrix.h"
#include "support/TestCertificates.h"
#include "transport/NxAntiFreezeBase.h"
#include "transport/NxIOHandlerTLS.h"
#include "transport/NxResourceStrings.h"
#include "transport/NxTCPClient.h"

namespace {
using Clock = std::chrono::steady_clock;
using nxtest::TestCertificates;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

nxtest::ServerTLSSettings ServerFor(TestCertificates::Kind leaf, int maxVersion = 0) {
    const TestCertificates& certs = nxtest::SharedTestCertificates();
    nxtest::ServerTLSSettings s;
    s.CertFile = certs.Cert(leaf);
    s.KeyFile = certs.Key(leaf);
    if (maxVersion != 0) {
        // The old protocols are spoken at all only at security level 0.
        s.MinVersion = nxtest::TLS1_0;
        s.MaxVersion = maxVersion;
        s.SecurityLevel = 0;
    }
    return s;
}

// Calls a function on every anti-freeze tick (counted).
class TickAntiFreeze : public TNxAntiFreezeBase {
public:
    void PumpMessages() override {
        ++Ticks;
        if (OnTick) OnTick();
    }
    int Ticks = 0;
    std::function<void()> OnTick;
};

class TLSClientTest : public ::testing::Test {
protected:
    void Connect(const char* host = "127.0.0.1") {
        server.Start();
        tls.ExtraRootFile = nxtest::SharedTestCertificates().RootCert;
        client.SetIOHandler(&tls);
        client.SetHost(host);
        client.SetPort(server.Port());
        client.ReadTimeout = 5000;
        client.OpenConnection();
    }

    nxtest::ScriptedServer server;
    TNxIOHandlerTLS tls;
    TNxTCPClient client;
};

class TLSMatrixTest : public ::testing::TestWithParam<nxtest::TLSMatrixRow> {};

TEST_P(TLSMatrixTest, HandshakeOutcome) {
    const nxtest::TLSMatrixRow& row = GetParam();
    nxtest::ScriptedServer server;
    if (row.PlainHTTP) {
        server.Pause(100).Send("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n").Close();
    } else {
        server.StartTLS(ServerFor(row.Leaf, row.ServerMaxVersion))
            .ExpectReceived("ping")
            .Send("pong\n")
            .Close();
    }
    server.Start();
    TNxIOHandlerTLS tls;
    if (row.TrustRoot) tls.ExtraRootFile = nxtest::SharedTestCertificates().RootCert;
    TNxTCPClient client;
    client.SetIOHandler(&tls);
    client.SetHost(row.Host);
    client.SetPort(server.Port());
    client.ReadTimeout = 5000;
    if (row.Expect == nxtest::TLSOk) {
        ASSERT_NO_THROW(client.OpenConnection());
        client.WriteText("ping");
        EXPECT_EQ(client.ReadLine(), "pong");
        EXPECT_TRUE(tls.TLSActive());
        EXPECT_NE(tls.SessionInfo().Protocol.find("TLSv1."), std::string::npos);
        EXPECT_NE(tls.SessionInfo().CertificateSubject.find("CN=good"), std::string::npos);
        EXPECT_FALSE(tls.SessionInfo().Cipher.empty());
        return;
    }
    try {
        client.OpenConnection();
        FAIL() << "the handshake was accepted";
    } catch (const ENxTLSError& e) {
        EXPECT_EQ(e.Check(), row.Expect) << e.Message();
        EXPECT_NE(e.Message().find(row.MessagePart), std::string::npos) << e.Message();
    }
    // Never a silent fall back to plain TCP: the connection is closed.
    EXPECT_FALSE(client.IsConnected());
}

INSTANTIATE_TEST_SUITE_P(Certificates, TLSMatrixTest, ::testing::ValuesIn(nxtest::TLSMatrix),
                         [](const auto& info) { return nxtest::TLSMatrixTestName(info.param); });

TEST_F(TLSClientTest, WorkEventsCountPlaintextAndBigTransfersSurviveRecordBoundaries) {
    std::string big(300000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 23);
    server.StartTLS(ServerFor(TestCertificates::kGood))
        .ExpectReceived("go")
        .SendPieces(big, {7000, 1, 20000}, 1);
    Connect();
    int32_t lastRead = 0;
    client.OnWork = [&](TNxComponent*, TWorkMode mode, int32_t count) {
        if (mode == wmRead) lastRead = count;
    };
    client.WriteText("go");
    TMemoryStream body;
    client.ReadToStream(body, static_cast<int64_t>(big.size()), false);
    EXPECT_EQ(body.ToString(), big);
    EXPECT_EQ(lastRead, static_cast<int32_t>(big.size()));
}

TEST_F(TLSClientTest, PlaintextSentCountsAsWrittenAndArrivesWhole) {
    std::string upload(100000, 'u');
    server.StartTLS(ServerFor(TestCertificates::kGood)).ExpectReceived(upload + "!").Send("ok\n");
    Connect();
    int32_t written = 0;
    client.OnWork = [&](TNxComponent*, TWorkMode mode, int32_t count) {
        if (mode == wmWrite) written = count;
    };
    TMemoryStream source;
    source.WriteBuffer((upload + "!").data(), static_cast<int64_t>(upload.size() + 1));
    client.WriteFromStream(source, true);
    EXPECT_EQ(client.ReadLine(), "ok");
    EXPECT_EQ(written, static_cast<int32_t>(upload.size() + 1));
    EXPECT_TRUE(server.WaitFinished());
    EXPECT_EQ(server.Failure(), "");
}

TEST_F(TLSClientTest, CloseNotifyEndsTheStream) {
    server.StartTLS(ServerFor(TestCertificates::kGood)).Send("all of it").Close();
    Connect();
    EXPECT_EQ(client.ReadAll(), "all of it");
    EXPECT_TRUE(tls.CloseNotifyReceived());
}

TEST_F(TLSClientTest, ATCPCloseInsideARecordIsTruncation) {
    // Ten bytes of the next record: its header and a few bytes of its body.
    server.StartTLS(ServerFor(TestCertificates::kGood))
        .Send("whole\n")
        .Pause(50)
        .CutAfter(10)
        .Send("never seen in full");
    Connect();
    EXPECT_EQ(client.ReadLine(), "whole");
    try {
        client.ReadAll();
        FAIL() << "a cut record was taken for the end of the stream";
    } catch (const ENxTLSError& e) {
        EXPECT_EQ(e.Check(), tcTruncated);
        EXPECT_EQ(e.Message(), "TLS stream truncated: the connection was closed inside a record");
    }
}

TEST_F(TLSClientTest, TCPCloseWithoutCloseNotifyIsSeenAsSuch) {
    server.StartTLS(ServerFor(TestCertificates::kGood)).Send("part").CloseWithoutNotify();
    Connect();
    EXPECT_EQ(client.ReadAll(), "part");
    EXPECT_FALSE(tls.CloseNotifyReceived());
}

TEST_F(TLSClientTest, HandshakeWaitsAreSlicedForTheAntiFreezeAndLimited) {
    // A server that accepts and never speaks: the handshake limit ends it.
    server.Pause(3000);
    TickAntiFreeze af;
    af.SetIdleTimeOut(50);
    tls.HandshakeTimeout = 400;
    const auto start = Clock::now();
    try {
        Connect();
        FAIL() << "handshake against a silent server";
    } catch (const ENxTLSError& e) {
        EXPECT_EQ(e.Check(), tcHandshake);
        EXPECT_NE(e.Message().find(NxStrings::TLSHandshakeTimedOut), std::string::npos) << e.Message();
    }
    // The limit ended it (the message says so); sliced, so at least one tick per 50 ms slice.
    EXPECT_GE(MsSince(start), 350);
    EXPECT_GE(af.Ticks, 5);
}

TEST_F(TLSClientTest, DropSocketFromATickEndsAHandshakeAtOnce) {
    server.Pause(3000);
    TickAntiFreeze af;
    af.SetIdleTimeOut(50);
    af.OnTick = [&] {
        if (af.Ticks == 3) client.DropSocket();
    };
    const auto start = Clock::now();
    EXPECT_THROW(Connect(), ENxConnClosedGracefully);
    EXPECT_LT(MsSince(start), 1000); // the default limit is a minute
}

TEST_F(TLSClientTest, DropSocketFromATickEndsARead) {
    server.StartTLS(ServerFor(TestCertificates::kGood)).Send("abc").Pause(3000).Send("\n");
    Connect();
    TickAntiFreeze af;
    af.SetIdleTimeOut(50);
    af.OnTick = [&] {
        if (af.Ticks == 3) client.DropSocket();
    };
    client.ReadTimeout = 0;
    const auto start = Clock::now();
    EXPECT_THROW(client.ReadLine(), ENxConnClosedGracefully);
    EXPECT_LT(MsSince(start), 1000);
}

TEST_F(TLSClientTest, PassThroughSpeaksPlainTCPAndStartTLSUpgradesTheOpenSocket) {
    // As a proxy tunnel does: plain bytes first, then the handshake on the same socket.
    server.ExpectReceived("CONNECT\n")
        .Send("200\n")
        .StartTLS(ServerFor(TestCertificates::kGood))
        .ExpectReceived("inside")
        .Send("secret\n");
    tls.SetPassThrough(true);
    Connect();
    client.WriteText("CONNECT\n");
    EXPECT_EQ(client.ReadLine(), "200");
    EXPECT_FALSE(tls.TLSActive());
    tls.StartTLS(nxtest::TestServerName);
    tls.SetPassThrough(false);
    client.WriteText("inside");
    EXPECT_EQ(client.ReadLine(), "secret");
    EXPECT_EQ(tls.ServerName(), nxtest::TestServerName);
}

TEST(TLSTrustFile, AnUnreadableExtraRootIsItsOwnFailure) {
    nxtest::ScriptedServer server;
    server.Pause(500);
    server.Start();
    TNxIOHandlerTLS tls;
    tls.ExtraRootFile = "/nonexistent/root.pem";
    TNxTCPClient client;
    client.SetIOHandler(&tls);
    client.SetHost("127.0.0.1");
    client.SetPort(server.Port());
    try {
        client.OpenConnection();
        FAIL();
    } catch (const ENxTLSError& e) {
        EXPECT_EQ(e.Check(), tcTrustFile);
        EXPECT_NE(e.Message().find("/nonexistent/root.pem"), std::string::npos);
    }
}

} // namespace
