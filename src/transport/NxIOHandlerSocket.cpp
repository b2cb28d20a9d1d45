#include "transport/NxIOHandlerSocket.h"

#include <algorithm>
#include <chrono>

#include "transport/NxAntiFreezeBase.h"
#include "transport/NxException.h"
#include "transport/NxResourceStrings.h"
#include "transport/NxSocks.h"

// --- TNxConnectThread ------------------------------------------------------------------

TNxConnectThread::TNxConnectThread(TNxSocketHandle* socketHandle, std::function<void()> onFinished)
    : FSocketHandle(socketHandle), FOnFinished(std::move(onFinished)) {}

TNxConnectThread::~TNxConnectThread() {
    WaitFor();
}

void TNxConnectThread::Start() {
    if (!FThread.joinable() && !FFinished) FThread = std::thread([this] { Execute(); });
}

void TNxConnectThread::WaitFor() {
    if (FThread.joinable()) FThread.join();
}

void TNxConnectThread::Execute() {
    try {
        const int32_t result = FSocketHandle->PlainConnect(NxSock::AfInet);
        // 10009 and 10038 are what a socket closed under the connect by a time-out gives.
        NxStack().CheckResult(result, {NxErr::EBADF_, NxErr::ENOTSOCK_});
    } catch (const ENxSocketError& e) {
        FFailureText = e.what();
        FFailureCode = e.ErrorCode();
    } catch (const std::exception& e) {
        FFailureText = e.what();
        if (FFailureText.empty()) FFailureText = "Connect failed.";
    } catch (...) {
        FFailureText = "Connect failed.";
    }
    {
        std::lock_guard<std::mutex> hold(FLock);
        FFinished.store(true);
    }
    FDone.notify_all();
    if (FOnFinished) FOnFinished();
}

bool TNxConnectThread::WaitFinished(int32_t milliseconds) {
    std::unique_lock<std::mutex> hold(FLock);
    return FDone.wait_for(hold, std::chrono::milliseconds(std::max(0, milliseconds)),
                          [this] { return FFinished.load(); });
}

// --- TNxIOHandlerSocket ----------------------------------------------------------------

TNxIOHandlerSocket::TNxIOHandlerSocket() = default;

TNxIOHandlerSocket::~TNxIOHandlerSocket() {
    CloseHandler();
}

void TNxIOHandlerSocket::CloseHandler() {
    if (FSocketHandle) FSocketHandle->ReleaseSocket();
}

void TNxIOHandlerSocket::ConnectPeer(const std::string& host, int32_t port, const std::string& boundIP,
                                     int32_t boundPort, int32_t boundPortMin, int32_t boundPortMax,
                                     int32_t timeout) {
    if (!FSocketHandle) OpenHandler();
    const TNxSocksInfo& socks = SocksInfo();
    const bool viaSocks = socks.Version != svNoSocks;
    const std::string targetHost = viaSocks ? socks.Host : host;
    const int32_t targetPort = viaSocks ? socks.Port : port;

    TNxSocketHandle& handle = *FSocketHandle;
    handle.AllocateSocket(NxSock::SockStream, 0);
    handle.SetIP(boundIP);
    handle.SetPort(boundPort);
    handle.SetClientPortMin(boundPortMin);
    handle.SetClientPortMax(boundPortMax);
    handle.BindLocal();

    TNxStack& stack = NxStack();
    if (!TNxStack::IsDottedQuad(targetHost)) ReportStatus(hsResolving, targetHost);
    handle.SetRemote(stack.ResolveName(targetHost), targetPort);
    if (!FUseNagle) handle.SetOption(NxSock::IpProtoTcp, NxSock::TcpNoDelay, 1);
    ReportStatus(hsConnecting, handle.RemoteIP());

    if (timeout != NxTimeout::Default && timeout != 0) {
        TimedConnect(timeout);
    } else if (TNxAntiFreezeBase::AntiFreezeInForce()) {
        TimedConnect(DefaultConnectLimit);
    } else {
        stack.CheckResult(handle.PlainConnect(NxSock::AfInet));
    }
    if (viaSocks) NxSocksNegotiate(handle, socks, host, port, timeout);
}

bool TNxIOHandlerSocket::HasSocket() const {
    return FSocketHandle && FSocketHandle->HasDescriptor();
}

void TNxIOHandlerSocket::OpenHandler() {
    if (FSocketHandle)
        FSocketHandle->ResetSocketRecord(true);
    else
        FSocketHandle = std::make_unique<TNxSocketHandle>();
}

bool TNxIOHandlerSocket::WaitReadable(int32_t milliseconds) {
    // Without a handle there is no descriptor either: the same error as a released one.
    if (!FSocketHandle) throw ENxConnClosedGracefully(NxStrings::ConnectionClosedGracefully);
    return FSocketHandle->WaitReadable(milliseconds);
}

int32_t TNxIOHandlerSocket::Receive(void* buffer, int32_t length) {
    if (!HasSocket()) throw ENxClosedSocket(NxStrings::Disconnected);
    return FSocketHandle->Receive(buffer, length, 0);
}

int32_t TNxIOHandlerSocket::Transmit(const void* buffer, int32_t length) {
    if (!HasSocket()) throw ENxClosedSocket(NxStrings::Disconnected);
    return FSocketHandle->Transmit(buffer, length, 0);
}

void TNxIOHandlerSocket::TimedConnect(int32_t timeout) {
    if (!HasSocket()) throw ENxClosedSocket(NxStrings::Disconnected);
    int32_t slice = ConnectSlice;
    if (TNxAntiFreezeBase::AntiFreezeInForce())
        if (const TNxAntiFreezeBase* af = TNxAntiFreezeBase::InForce())
            slice = std::clamp<int32_t>(af->IdleTimeOut(), 1, ConnectSlice);
    const bool infinite = timeout == NxTimeout::Infinite;
    int32_t remaining = infinite ? slice + 1 : timeout;

    // Where the window has a message queue the slices sleep on it, and the thread's end
    // wakes them through it too.
    TNxAntiFreezeBase* const inForce =
        TNxAntiFreezeBase::AntiFreezeInForce() ? TNxAntiFreezeBase::InForce() : nullptr;
    std::function<void()> waker = inForce ? inForce->MessageWaker() : std::function<void()>();
    const bool onQueue = static_cast<bool>(waker);
    TNxConnectThread thread(FSocketHandle.get(), std::move(waker));
    thread.Start();
    // Each slice ends as soon as the connect does: a connect that takes one round trip is
    // used after one round trip, not at the end of its slice. A message that arrives during
    // a slice is served at once, not at the slice's end.
    const auto waitSlice = [&](int32_t milliseconds) {
        if (!onQueue) return thread.WaitFinished(milliseconds);
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
        while (!thread.Finished()) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                    .count();
            TNxAntiFreezeBase* const af = TNxAntiFreezeBase::InForce();
            if (left <= 0) break;
            if (!af) return thread.WaitFinished(static_cast<int32_t>(left));
            if (af->WaitForMessage(static_cast<int32_t>(left)) && !thread.Finished())
                TNxAntiFreezeBase::AntiFreezeTick(true, false);
        }
        return thread.Finished();
    };
    while (slice < remaining) {
        if (waitSlice(slice)) break;
        remaining = infinite ? slice + 1 : remaining - slice;
        TNxAntiFreezeBase::AntiFreezeTick(true, false);
        if (thread.Finished()) break;
    }
    if (!thread.Finished()) waitSlice(remaining);

    if (thread.Finished()) {
        thread.WaitFor();
        if (!thread.FailureText().empty())
            throw ENxConnectException(thread.FailureCode(), thread.FailureText());
        return;
    }
    // Time is up: closing the socket makes the blocked connect fail, so the thread ends
    // and can be joined before the error leaves.
    thread.Terminate();
    CloseHandler();
    thread.WaitFor();
    throw ENxConnectTimeout(NxStrings::ConnectTimeout);
}

TNxSocksInfo& TNxIOHandlerSocket::SocksInfo() {
    if (!FSocksInfo) {
        if (!FOwnSocksInfo) FOwnSocksInfo = std::make_unique<TNxSocksInfo>();
        FSocksInfo = FOwnSocksInfo.get();
    }
    return *FSocksInfo;
}

void TNxIOHandlerSocket::SetSocksInfo(TNxSocksInfo* info) {
    FSocksInfo = info;
}
