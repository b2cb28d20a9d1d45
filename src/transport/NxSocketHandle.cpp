#include "transport/NxSocketHandle.h"

#include <algorithm>

#include "base/Format.h"
#include "transport/NxAntiFreezeBase.h"
#include "transport/NxException.h"
#include "transport/NxResourceStrings.h"

TNxSocketHandle::TNxSocketHandle(TNxSocketHandles* collection) : FCollection(collection) {
    ResetSocketRecord(true);
    if (collection) FPort = collection->DefaultPort();
}

TNxSocketHandle::~TNxSocketHandle() {
    ReleaseSocket();
}

void TNxSocketHandle::Assign(const TNxSocketHandle& source) {
    if (&source == this) return;
    FIP = source.FIP;
    FPort = source.FPort;
    FRemoteIP = source.FRemoteIP;
    FRemotePort = source.FRemotePort;
}

void TNxSocketHandle::ReleaseSocket() {
    // exchange: the calling thread and a time-out on another thread must not both close.
    if (!FHasDescriptor.exchange(false)) return;
    // Without a stack (no network component left) there is nothing to call; this also
    // keeps the destructor from raising.
    TNxStack* stack = NxStackInstance();
    if (!stack) return;
    // Shut down first: on Linux a close alone does not wake a thread blocked in connect
    // on this socket, a shutdown does.
    stack->Shutdown(FDescriptor, NxSock::ShutSend);
    stack->Close(FDescriptor);
}

int32_t TNxSocketHandle::PlainConnect(int32_t family) {
    const int32_t result = NxStack().Connect(FDescriptor, family, FRemotePort, FRemoteIP);
    if (result != NxSock::SocketError) {
        RefreshLocal();
        // A peer that accepts and resets at once can make the connected socket report
        // "not connected" before we read its peer back (Linux does). The connect itself
        // succeeded, and RemoteIP/RemotePort already hold the address we connected to; the
        // reset is reported by the first receive or send, with its own code.
        try {
            RefreshRemote();
        } catch (const ENxSocketError& e) {
            if (e.ErrorCode() != NxErr::ENOTCONN_) throw;
        }
    }
    return result;
}

int32_t TNxSocketHandle::ReceiveFrom(void* buffer, int32_t length, std::string& senderIP, int32_t& senderPort,
                                     int32_t flags) {
    return NxStack().ReceiveFrom(FDescriptor, buffer, length, flags, senderIP, senderPort);
}

void TNxSocketHandle::AllocateSocket(int32_t type, int32_t protocol) {
    ReleaseSocket();
    if (FHasDescriptor) ResetSocketRecord(true);
    FDescriptor = NxStack().NewSocket(type, protocol);
    FHasDescriptor = true;
}

void TNxSocketHandle::BindLocal() {
    if (FPort != 0 || FClientPortMin == 0 || FClientPortMax == 0) {
        if (!TryBindLocal()) throw ENxCouldNotBindSocket(NxStrings::CouldNotBindSocket);
    } else if (FClientPortMax < FClientPortMin) {
        throw ENxInvalidPortRange(Format(NxStrings::InvalidPortRange, FClientPortMin, FClientPortMax));
    } else if (!BindFromRange()) {
        throw ENxCanNotBindPortInRange(Format(NxStrings::CanNotBindRange, FClientPortMin, FClientPortMax));
    }
}

bool TNxSocketHandle::TryBindLocal() {
    TNxStack& stack = NxStack();
    if (stack.CheckResult(stack.Bind(FDescriptor, NxSock::AfInet, FPort, FIP), {NxErr::EADDRINUSE_}))
        return false;
    RefreshLocal();
    return true;
}

bool TNxSocketHandle::BindFromRange() {
    for (int32_t port = FClientPortMax; port >= FClientPortMin; --port) {
        FPort = port;
        if (TryBindLocal()) return true;
    }
    return false;
}

void TNxSocketHandle::SetRemote(const std::string& ip, int32_t port) {
    FRemoteIP = ip;
    FRemotePort = port;
}

void TNxSocketHandle::ResetSocketRecord(bool local) {
    FHasDescriptor = false;
    FDescriptor = NxSock::InvalidSocket;
    if (local) {
        FIP.clear();
        FPort = 0;
    }
    FRemoteIP.clear();
    FRemotePort = 0;
}

void TNxSocketHandle::RefreshLocal() {
    int32_t family = 0;
    NxStack().LocalName(FDescriptor, family, FPort, FIP);
}

void TNxSocketHandle::RefreshRemote() {
    int32_t family = 0;
    NxStack().PeerName(FDescriptor, family, FRemotePort, FRemoteIP);
}

// With the anti-freeze in force a wait is cut into slices of at most IdleTimeOut, the
// remainder first, with a tick after each, so the window is served during the wait.
// The slices are run in a loop rather than by recursion (a long time-out would need one
// stack frame per slice), and the descriptor is checked before every slice: a window
// handler run by the tick may have closed the connection, and its descriptor number may
// already belong to another socket.
bool TNxSocketHandle::WaitReadable(int32_t milliseconds) {
    auto slice = [this](int32_t ms) {
        if (!HasDescriptor()) throw ENxConnClosedGracefully(NxStrings::ConnectionClosedGracefully);
        TNxSocketList readList;
        readList.Add(FDescriptor);
        // select refuses a negative time other than "no limit": such a wait finds nothing.
        const bool readable =
            (ms >= 0 || ms == NxTimeout::Infinite) && NxStack().Select(&readList, nullptr, ms, nullptr) == 1;
        TNxAntiFreezeBase::AntiFreezeTick(!readable, false);
        return readable;
    };

    if (!HasDescriptor()) throw ENxConnClosedGracefully(NxStrings::ConnectionClosedGracefully);
    if (!TNxAntiFreezeBase::AntiFreezeInForce()) return slice(milliseconds);

    auto idleTimeOut = [] {
        const TNxAntiFreezeBase* af = TNxAntiFreezeBase::InForce();
        return std::max<int32_t>(af ? af->IdleTimeOut() : 1, 1);
    };
    if (milliseconds == NxTimeout::Infinite) {
        // Each slice re-reads the setting, as a fresh wait of IdleTimeOut would.
        while (!slice(TNxAntiFreezeBase::AntiFreezeInForce() ? idleTimeOut() : -2)) {
        }
        return true;
    }
    const int32_t idle = idleTimeOut();
    if (milliseconds <= idle) return slice(milliseconds);
    int32_t first = milliseconds % idle;
    if (first == 0) first = idle;
    if (slice(first)) return true;
    for (int32_t left = milliseconds - first; left > 0; left -= idle)
        if (slice(idle)) return true;
    return false;
}

int32_t TNxSocketHandle::Receive(void* buffer, int32_t length, int32_t flags) {
    return NxStack().Receive(FDescriptor, buffer, length, flags);
}

int32_t TNxSocketHandle::Transmit(const void* buffer, int32_t length, int32_t flags) {
    return NxStack().Send(FDescriptor, buffer, length, flags);
}

void TNxSocketHandle::SetOption(int32_t level, int32_t option, const void* value, int32_t length) {
    TNxStack& stack = NxStack();
    stack.CheckResult(stack.SetOption(FDescriptor, level, option, value, length));
}

bool TNxSocketHandle::AcceptInto(TNxSocketDescriptor listening) {
    ResetSocketRecord(true);
    TNxStack& stack = NxStack();
    std::string ip;
    int32_t port = 0;
    const TNxSocketDescriptor d = stack.Accept(listening, ip, port);
    if (stack.CheckResult(d, {NxErr::EINTR_, NxErr::ENOTSOCK_})) return false;
    FDescriptor = d;
    FHasDescriptor = true;
    RefreshLocal();
    RefreshRemote();
    return true;
}

void TNxSocketHandle::Listen(int32_t backlog) {
    TNxStack& stack = NxStack();
    stack.CheckResult(stack.Listen(FDescriptor, backlog));
}

int32_t TNxSocketHandle::SendTo(const std::string& ip, int32_t port, const void* buffer, int32_t length,
                                int32_t flags) {
    return NxStack().SendTo(FDescriptor, buffer, length, flags, ip, port);
}

TNxSocketHandle& TNxSocketHandles::Add() {
    FItems.push_back(std::make_unique<TNxSocketHandle>(this));
    return *FItems.back();
}
