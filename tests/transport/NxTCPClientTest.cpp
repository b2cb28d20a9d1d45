#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "transport/NxException.h"
#include "transport/NxIOHandlerSocket.h"
#include "transport/NxTCPConnectionTest.h"

TEST_F(NxTCPConnectionFixture, ConnectReportsStatusAndRefusesASecondConnect) {
    int connected = 0;
    client.OnConnected = [&](TNxComponent* sender) {
        EXPECT_EQ(sender, &client);
        ++connected;
    };
    Connect();
    EXPECT_EQ(connected, 1);
    EXPECT_TRUE(client.IsConnected());
    EXPECT_TRUE(client.OwnsIOHandler());
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(), hsConnected);
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), hsConnecting), statuses.end())
        << "the owned handler reports through the client's status handler";
    try {
        client.OpenConnection();
        FAIL() << "connecting twice must raise";
    } catch (const ENxAlreadyConnected& e) {
        EXPECT_STREQ(e.what(), "Already connected.");
    }
    EXPECT_TRUE(client.IsConnected()) << "the open connection is left alone";
}

TEST_F(NxTCPConnectionFixture, CloseConnectionThenReconnect) {
    server.ExpectReceived("one").Accept().ExpectReceived("two").Close();
    Connect();
    client.WriteText("one");
    statuses.clear();
    client.CloseConnection();
    EXPECT_EQ(statuses, (std::vector<TNxStatus>{hsDisconnecting, hsDisconnected}));
    EXPECT_EQ(disconnects, 1);
    EXPECT_EQ(client.IOHandler(), nullptr) << "the owned handler is freed";
    EXPECT_FALSE(client.IsConnected());

    client.OpenConnection();
    client.WriteText("two");
    EXPECT_EQ(client.ReadAll(), "");
    ASSERT_TRUE(server.WaitFinished());
    EXPECT_EQ(server.Failure(), "");
    EXPECT_EQ(server.ReceivedPerConnection(), (std::vector<std::string>{"one", "two"}));
}

TEST_F(NxTCPConnectionFixture, ReconnectAfterAPeerCloseReusesTheHandlerAndStartsClean) {
    server.Send("stale").Close().Accept().Send("fresh\n");
    Connect();
    DrainUntilClosed();
    TNxIOHandler* handler = client.IOHandler();
    ASSERT_NE(handler, nullptr);
    client.OpenConnection();
    EXPECT_EQ(client.IOHandler(), handler);
    EXPECT_FALSE(client.PeerClosed());
    EXPECT_EQ(client.ReadLine(), "fresh") << "bytes of the old connection are gone";
}

TEST(NxTCPClient, RefusedConnectRaisesAndLeavesNoSocket) {
    nxtest::RefusingPort refusing;
    TNxTCPClient client;
    client.SetHost("127.0.0.1");
    client.SetPort(refusing.Port());
    try {
        client.OpenConnection();
        FAIL() << "nothing listens there";
    } catch (const ENxSocketError& e) {
        EXPECT_EQ(e.ErrorCode(), 10061);
        EXPECT_EQ(e.Message(), "Socket Error # 10061\r\nConnection refused.");
    }
    ASSERT_NE(client.IOHandler(), nullptr);
    EXPECT_FALSE(client.IOHandler()->HasSocket());
    EXPECT_FALSE(client.IsConnected());
}

TEST_F(NxTCPConnectionFixture, ConnectAndGetAllAndInterceptLifecycle) {
    server.Send("all of it").Close();
    std::vector<std::string> hooks;
    {
        TNxConnectionIntercept outer, inner;
        outer.Intercept = &inner;
        outer.OnConnect = [&](TNxTCPConnection* c) { hooks.push_back(c == &client ? "outer connect" : "?"); };
        inner.OnConnect = [&](TNxTCPConnection*) { hooks.push_back("inner connect"); };
        outer.OnDisconnect = [&](TNxTCPConnection*) { hooks.push_back("outer disconnect"); };
        inner.OnDisconnect = [&](TNxTCPConnection*) { hooks.push_back("inner disconnect"); };
        client.SetIntercept(&outer);
        server.Start();
        client.SetHost("127.0.0.1");
        client.SetPort(server.Port());
        client.ReadTimeout = 5000;
        EXPECT_EQ(client.ConnectAndGetAll(), "all of it");
        EXPECT_EQ(client.IOHandler(), nullptr) << "closed, and the owned handler freed";
        ASSERT_GE(hooks.size(), 4u);
        EXPECT_EQ(std::vector<std::string>(hooks.begin(), hooks.begin() + 4),
                  (std::vector<std::string>{"outer connect", "inner connect", "inner disconnect",
                                            "outer disconnect"}));
    }
    EXPECT_EQ(client.Intercept(), nullptr) << "a destroyed intercept is forgotten";
}

// A borrowed handler that goes before its connection, or a connection that goes before
// its handler: neither side may touch the other's freed memory (ASan watches this).
TEST(NxTCPClient, BorrowedHandlerAndConnectionOutliveEachOther) {
    nxtest::ScriptedServer server;
    server.Accept().Accept();
    server.Start();
    auto client = std::make_unique<TNxTCPClient>();
    client->SetHost("127.0.0.1");
    client->SetPort(server.Port());
    {
        TNxIOHandlerSocket handler;
        client->SetIOHandler(&handler);
        client->OpenConnection();
        ASSERT_TRUE(client->IsConnected());
        EXPECT_FALSE(client->OwnsIOHandler());
    }
    EXPECT_EQ(client->IOHandler(), nullptr) << "the destroyed handler is forgotten";
    EXPECT_FALSE(client->IsConnected());
    {
        TNxIOHandlerSocket replaced, kept;
        client->SetIOHandler(&replaced);
        client->SetIOHandler(&kept);
        client->OpenConnection();
        { TNxIOHandlerSocket unrelated; }
        EXPECT_EQ(client->IOHandler(), &kept);
        EXPECT_TRUE(client->IsConnected());
        client.reset(); // drops the socket of the handler it borrowed, then lets go of it
        EXPECT_FALSE(kept.HasSocket());
    }
    // The connection whose handler went keeps working with one of its own.
    TNxTCPClient again;
    again.SetHost("127.0.0.1");
    again.SetPort(server.Port());
    {
        TNxIOHandlerSocket handler;
        again.SetIOHandler(&handler);
    }
    again.OpenConnection();
    EXPECT_TRUE(again.OwnsIOHandler());
    EXPECT_TRUE(again.IsConnected());
}
