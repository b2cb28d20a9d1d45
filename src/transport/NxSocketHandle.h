#pragma once
// One socket with its local and remote address record.
// All operations go through the shared stack (NxStack()), so a network component
// (TNxComponent) must exist while a handle is used.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transport/NxStack.h"

class TNxSocketHandles;

class TNxSocketHandle {
public:
    // A new handle is reset (no descriptor, empty addresses, ports 0) with both range
    // ends 0; one created inside a collection takes the collection's default port.
    explicit TNxSocketHandle(TNxSocketHandles* collection = nullptr);
    TNxSocketHandle(const TNxSocketHandle&) = delete;
    TNxSocketHandle& operator=(const TNxSocketHandle&) = delete;
    // Runs ReleaseSocket.
    virtual ~TNxSocketHandle();

    // Copies IP, Port, RemoteIP and RemotePort.
    void Assign(const TNxSocketHandle& source);

    // --- virtual operations, in slot order ------------------------------------------
    // When a descriptor is held: clear the mark, shut down sending, close; results ignored.
    virtual void ReleaseSocket();
    // Stack connect to RemoteIP:RemotePort; on success RefreshLocal and RefreshRemote.
    // Returns the raw result; the caller judges it.
    virtual int32_t PlainConnect(int32_t family = NxSock::AfInet);
    // Datagram receive with the sender's address (raw result). Datagram use only.
    virtual int32_t ReceiveFrom(void* buffer, int32_t length, std::string& senderIP, int32_t& senderPort,
                                int32_t flags = 0);

    // --- operations ---------------------------------------------------------------------
    // ReleaseSocket; when a descriptor is still marked, ResetSocketRecord(true);
    // Descriptor := NewSocket(type, protocol).
    void AllocateSocket(int32_t type = NxSock::SockStream, int32_t protocol = 0);
    // TryBindLocal, or BindFromRange when a port range is set; raises ENxCouldNotBindSocket,
    // ENxInvalidPortRange or ENxCanNotBindPortInRange.
    void BindLocal();
    // Bind to Port and IP; false for 10048 (address in use), other failures raise.
    bool TryBindLocal();
    // Each port from ClientPortMax down to ClientPortMin; true on the first bind.
    bool BindFromRange();
    void SetRemote(const std::string& ip, int32_t port);
    // No descriptor; when local, IP "" and Port 0; always RemoteIP "" and RemotePort 0.
    void ResetSocketRecord(bool local);
    void RefreshLocal();
    void RefreshRemote();
    // milliseconds: -2 = no limit; any other negative time is not readable at once. Sliced by the
    // anti-freeze's IdleTimeOut when it is in force, with AntiFreezeTick after every select. Without a
    // descriptor raises ENxConnClosedGracefully "Connection Closed Gracefully.".
    bool WaitReadable(int32_t milliseconds);
    // Raw results of the stack's receive / send on Descriptor.
    int32_t Receive(void* buffer, int32_t length, int32_t flags = 0);
    int32_t Transmit(const void* buffer, int32_t length, int32_t flags = 0);
    // The stack's set-option; a failure raises through CheckResult.
    void SetOption(int32_t level, int32_t option, const void* value, int32_t length);
    void SetOption(int32_t level, int32_t option, int32_t value) { SetOption(level, option, &value, 4); }

    // --- server and datagram use only ---------------------------------------------------
    // Reset the record, accept on listening; 10004 and 10038 are tolerated (false). On
    // success takes the new descriptor, refreshes both addresses and returns true.
    bool AcceptInto(TNxSocketDescriptor listening);
    // Listen on Descriptor; a failure raises through CheckResult.
    void Listen(int32_t backlog);
    // Datagram send to ip:port (raw result).
    int32_t SendTo(const std::string& ip, int32_t port, const void* buffer, int32_t length,
                   int32_t flags = 0);

    // --- the record -----------------------------------------------------------------
    TNxSocketDescriptor Descriptor() const { return FDescriptor.load(); }
    bool HasDescriptor() const { return FHasDescriptor.load(); }
    const std::string& IP() const { return FIP; }
    void SetIP(const std::string& ip) { FIP = ip; }
    const std::string& RemoteIP() const { return FRemoteIP; }
    int32_t Port() const { return FPort; }
    void SetPort(int32_t port) { FPort = port; }
    int32_t RemotePort() const { return FRemotePort; }
    int32_t ClientPortMin() const { return FClientPortMin; }
    void SetClientPortMin(int32_t port) { FClientPortMin = port; }
    int32_t ClientPortMax() const { return FClientPortMax; }
    void SetClientPortMax(int32_t port) { FClientPortMax = port; }

    TNxSocketHandles* Collection() const { return FCollection; }

private:
    // Atomic because the connect thread reads them while the calling thread
    // may release the socket after a time-out.
    std::atomic<TNxSocketDescriptor> FDescriptor{NxSock::InvalidSocket};
    std::atomic<bool> FHasDescriptor{false};
    std::string FIP;
    std::string FRemoteIP;
    int32_t FPort = 0;
    int32_t FRemotePort = 0;
    int32_t FClientPortMin = 0;
    int32_t FClientPortMax = 0;
    TNxSocketHandles* FCollection = nullptr;
};

// A collection of socket handles (server use only): new items take DefaultPort.
class TNxSocketHandles {
public:
    TNxSocketHandles() = default;
    TNxSocketHandles(const TNxSocketHandles&) = delete;
    TNxSocketHandles& operator=(const TNxSocketHandles&) = delete;

    TNxSocketHandle& Add();
    int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
    TNxSocketHandle& Item(int32_t index) const { return *FItems.at(static_cast<size_t>(index)); }
    void Clear() { FItems.clear(); }

    int32_t DefaultPort() const { return FDefaultPort; }
    void SetDefaultPort(int32_t port) { FDefaultPort = port; }

private:
    std::vector<std::unique_ptr<TNxSocketHandle>> FItems;
    int32_t FDefaultPort = 0;
};
