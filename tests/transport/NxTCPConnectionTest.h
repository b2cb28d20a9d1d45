#pragma once
// A client connected to a scripted loopback server, for the connection tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/ScriptedServer.h"
#include "transport/NxTCPClient.h"

// Starts server and connects client to it, for a table test that needs a fresh pair per row.
// The read time-out keeps a broken read from hanging the test.
inline void ConnectToScripted(nxtest::ScriptedServer& server, TNxTCPClient& client, int32_t readTimeout) {
    server.Start();
    client.SetHost("127.0.0.1");
    client.SetPort(server.Port());
    client.ReadTimeout = readTimeout;
    client.OpenConnection();
}

class NxTCPConnectionFixture : public ::testing::Test {
protected:
    // Starts the scripted server and connects to it. A read time-out keeps a broken
    // read from hanging the test; tests of unlimited waits clear it.
    void Connect() {
        server.Start();
        client.SetHost("127.0.0.1");
        client.SetPort(server.Port());
        client.ReadTimeout = 5000;
        client.OnStatus = [this](TNxComponent*, TNxStatus status, const std::string&) {
            statuses.push_back(status);
        };
        client.OnDisconnected = [this](TNxComponent*) { ++disconnects; };
        client.OpenConnection();
    }
    // Reads until the peer close has been seen (bounded).
    void DrainUntilClosed() {
        for (int i = 0; i < 20 && client.IsConnected(); ++i)
            client.FillInputBuffer(false, 1000, false);
        ASSERT_FALSE(client.IsConnected());
    }

    nxtest::ScriptedServer server;
    TNxTCPClient client;
    std::vector<TNxStatus> statuses;
    int disconnects = 0;
};
