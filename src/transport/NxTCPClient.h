#pragma once
// A TCP connection that knows its target address and connects itself.
#include <cstdint>
#include <string>

#include "transport/NxTCPConnection.h"

class TNxTCPClient : public TNxTCPConnection {
public:
    TNxTCPClient() = default;

    const std::string& Host() const { return FHost; }
    virtual void SetHost(const std::string& host) { FHost = host; }
    int32_t Port() const { return FPort; }
    virtual void SetPort(int32_t port) { FPort = port; }

    virtual void DoOnConnected();
    // Connects to Host:Port through the I/O handler (creating an owned socket handler when
    // none is assigned). timeout -1 or 0: no limit of the caller's own. Any failure drops
    // the socket and propagates unchanged.
    virtual void OpenConnection(int32_t timeout = -1);
    // OpenConnection, ReadAll, CloseConnection (also when the read fails).
    virtual std::string ConnectAndGetAll();

    // Local end: empty IP = any address; port 0 = any, or the range when both ends are set.
    std::string BoundIP;
    int32_t BoundPort = 0;
    int32_t BoundPortMax = 0;
    int32_t BoundPortMin = 0;
    TNxNotifyEvent OnConnected;

private:
    std::string FHost;
    int32_t FPort = 0;
};
