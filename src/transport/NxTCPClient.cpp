#include "transport/NxTCPClient.h"

#include <memory>

#include "transport/NxIOHandlerSocket.h"
#include "transport/NxResourceStrings.h"

void TNxTCPClient::DoOnConnected() {
    if (OnConnected) OnConnected(this);
}

void TNxTCPClient::OpenConnection(int32_t timeout) {
    if (IOHandler()) {
        if (IOHandler()->HasSocket()) throw ENxAlreadyConnected(NxStrings::AlreadyConnected);
    } else {
        auto handler = std::make_unique<TNxIOHandlerSocket>();
        handler->OnStatus = OnStatus;
        AdoptIOHandler(std::move(handler));
    }
    try {
        IOHandler()->OpenHandler();
        ResetInputState();
        IOHandler()->ConnectPeer(FHost, FPort, BoundIP, BoundPort, BoundPortMin, BoundPortMax, timeout);
        if (Intercept()) Intercept()->Connect(this);
        ReportStatus(hsConnected, FHost);
        DoOnConnected();
    } catch (...) {
        DropSocket();
        throw;
    }
}

std::string TNxTCPClient::ConnectAndGetAll() {
    OpenConnection();
    std::string all;
    try {
        all = ReadAll();
    } catch (...) {
        CloseConnection();
        throw;
    }
    CloseConnection();
    return all;
}
