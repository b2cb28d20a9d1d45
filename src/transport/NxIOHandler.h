#pragma once
// The abstract transport interface a TCP connection reaches the network through.
#include <cstdint>
#include <string>
#include <vector>

#include "transport/NxComponent.h"

class TNxIOHandler : public TNxComponent {
public:
    TNxIOHandler() = default;
    // "Destroying an I/O handler runs CloseHandler first": C++ cannot dispatch to a
    // derived class from a base destructor, so each concrete handler's destructor calls
    // its own CloseHandler (TNxIOHandlerSocket does).
    // Every pointer registered with AddReference that still points here is cleared.
    ~TNxIOHandler() override;

    // --- virtual operations, in slot order after those of TNxComponent ---------------
    // Server-side hook; nothing.
    virtual void AcceptDone() {}
    virtual void CloseHandler() {}
    // timeout: -1 or 0 = the default (120000 ms via the connect thread when the
    // anti-freeze is in force, else a plain blocking connect), -2 = no limit, else the
    // limit in milliseconds.
    virtual void ConnectPeer(const std::string& host, int32_t port, const std::string& boundIP,
                             int32_t boundPort, int32_t boundPortMin, int32_t boundPortMax, int32_t timeout) {
        (void)host, (void)port, (void)boundIP, (void)boundPort, (void)boundPortMin, (void)boundPortMax,
            (void)timeout;
    }
    virtual bool HasSocket() const = 0;
    virtual void OpenHandler() {}
    // milliseconds: -2 = without limit.
    virtual bool WaitReadable(int32_t milliseconds) = 0;
    // Raw results: bytes moved, 0 for a peer close (receive), -1 for a failure whose code
    // the caller fetches with NxStack().LastError(). Without an open socket:
    // ENxClosedSocket "Disconnected.".
    virtual int32_t Receive(void* buffer, int32_t length) = 0;
    virtual int32_t Transmit(const void* buffer, int32_t length) = 0;

    // A borrower keeps its pointer to this handler in slot; the handler sets the pointer to
    // null when it is destroyed, so that a connection whose handler was freed elsewhere
    // does not go on using it. The borrower removes the slot before it lets go or goes.
    void AddReference(TNxIOHandler** slot);
    void RemoveReference(TNxIOHandler** slot);

private:
    std::vector<TNxIOHandler**> FReferences;
};
