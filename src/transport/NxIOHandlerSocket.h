#pragma once
// The I/O handler on one TCP socket, its timed connect and the connect thread.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "transport/NxComponent.h"
#include "transport/NxIOHandler.h"
#include "transport/NxSocketHandle.h"

enum TSocksVersion { svNoSocks, svSocks4, svSocks4A, svSocks5 };
enum TSocksAuthentication { saNoAuthentication, saUsernamePassword };

// SOCKS proxy settings: with a version selected, ConnectPeer connects to Host:Port and asks
// that proxy for the connection (NxSocks.h). A network component, so it counts toward keeping
// the shared stack alive. svNoSocks connects directly.
class TNxSocksInfo : public TNxComponent {
public:
    TNxSocksInfo() = default;

    TSocksVersion Version = svNoSocks;
    std::string Host;
    int32_t Port = 1080;
    std::string Username;
    std::string Password;
    TSocksAuthentication Authentication = saNoAuthentication;
    // SOCKS 5 only: a host name goes to the proxy, which resolves it; false resolves it here
    // and sends the address. SOCKS 4 always resolves here, 4A always at the proxy.
    bool ResolveAtProxy = true;
};

// Connects one socket handle on its own thread (created suspended, started with Start).
// It touches nothing but the handle and its own FailureText; it never raises to its
// creator.
class TNxConnectThread {
public:
    // onFinished, when given, is called on the thread after it has marked itself finished.
    explicit TNxConnectThread(TNxSocketHandle* socketHandle, std::function<void()> onFinished = {});
    TNxConnectThread(const TNxConnectThread&) = delete;
    TNxConnectThread& operator=(const TNxConnectThread&) = delete;
    // Waits for the thread when it was started and not yet waited for.
    ~TNxConnectThread();

    void Start();
    // The thread has marked itself finished.
    bool Finished() const { return FFinished.load(); }
    // Waits at most milliseconds for the thread to mark itself finished; true once it has.
    bool WaitFinished(int32_t milliseconds);
    // Asks the thread to stop (it cannot interrupt a blocked connect; closing the socket
    // does that).
    void Terminate() { FTerminated.store(true); }
    bool Terminated() const { return FTerminated.load(); }
    // Joins the thread.
    void WaitFor();
    // Empty until a failure; read only after Finished() or WaitFor(). The code is the
    // failure's socket error code, 0 when it had none.
    const std::string& FailureText() const { return FFailureText; }
    int32_t FailureCode() const { return FFailureCode; }
    TNxSocketHandle* SocketHandle() const { return FSocketHandle; }

private:
    // PlainConnect(2), judged with CheckResult ignoring 10009 and 10038; any exception's
    // message goes to FailureText; then the finished mark.
    void Execute();

    TNxSocketHandle* FSocketHandle;
    std::function<void()> FOnFinished;
    std::string FFailureText;
    int32_t FFailureCode = 0;
    std::atomic<bool> FFinished{false};
    std::atomic<bool> FTerminated{false};
    std::mutex FLock;
    std::condition_variable FDone;
    std::thread FThread;
};

class TNxIOHandlerSocket : public TNxIOHandler {
public:
    TNxIOHandlerSocket();
    // Runs CloseHandler; frees the socket handle and an owned SocksInfo.
    ~TNxIOHandlerSocket() override;

    // Release the socket (nothing when it holds none).
    void CloseHandler() override;
    // Allocate, bind, resolve (hsResolving for a host that is not a
    // dotted quad), no-delay when UseNagle is false, hsConnecting, then connect (timed,
    // through the connect thread, or plain). With a SOCKS version selected the socket connects
    // to the proxy instead and negotiates the connection to host:port within the same limit.
    void ConnectPeer(const std::string& host, int32_t port, const std::string& boundIP, int32_t boundPort,
                     int32_t boundPortMin, int32_t boundPortMax, int32_t timeout) override;
    // A socket handle exists and holds a descriptor.
    bool HasSocket() const override;
    // Reset the socket handle's record (local too), or create the handle.
    void OpenHandler() override;
    bool WaitReadable(int32_t milliseconds) override;
    int32_t Receive(void* buffer, int32_t length) override;
    int32_t Transmit(const void* buffer, int32_t length) override;

    // The connect thread with a limit (-2 = none) while this thread waits in slices of
    // 125 ms (the smaller of IdleTimeOut and 125 with the anti-freeze in force), ticking
    // the anti-freeze after each; a slice ends early when the connect does. ENxConnectException
    // with the thread's failure text, or ENxConnectTimeout "Connect timed out." with the
    // socket closed.
    void TimedConnect(int32_t timeout);

    // Null until the first OpenHandler.
    TNxSocketHandle* SocketHandle() const { return FSocketHandle.get(); }
    bool UseNagle() const { return FUseNagle; }
    void SetUseNagle(bool value) { FUseNagle = value; }
    // Created on first use.
    TNxSocksInfo& SocksInfo();
    // Use settings owned elsewhere (not freed with the handler); null goes back to an
    // own instance created on next use.
    void SetSocksInfo(TNxSocksInfo* info);

    // The limit TimedConnect uses when the caller set none and the anti-freeze is in force.
    static constexpr int32_t DefaultConnectLimit = 120000;
    // The longest sleep slice of TimedConnect.
    static constexpr int32_t ConnectSlice = 125;

private:
    std::unique_ptr<TNxSocketHandle> FSocketHandle;
    bool FUseNagle = true;
    std::unique_ptr<TNxSocksInfo> FOwnSocksInfo;
    TNxSocksInfo* FSocksInfo = nullptr;
};
