#include "support/ScriptedServer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "support/ServerTLS.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
using SockLen = int;
namespace {
constexpr intptr_t kNoSocket = static_cast<intptr_t>(INVALID_SOCKET);
void CloseSock(intptr_t s) {
    closesocket(static_cast<SOCKET>(s));
}
SOCKET S(intptr_t s) {
    return static_cast<SOCKET>(s);
}
int LastErr() {
    return WSAGetLastError();
}
struct WinsockUser {
    WinsockUser() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~WinsockUser() { WSACleanup(); }
};
void EnsureSockets() {
    static WinsockUser user;
}
constexpr int kNoSignal = 0;
} // namespace
#else
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
using SockLen = socklen_t;
namespace {
constexpr intptr_t kNoSocket = -1;
void CloseSock(intptr_t s) {
    ::close(static_cast<int>(s));
}
int S(intptr_t s) {
    return static_cast<int>(s);
}
int LastErr() {
    return errno;
}
void EnsureSockets() {}
constexpr int kNoSignal = MSG_NOSIGNAL;
} // namespace
#endif

namespace nxtest {
namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// Waits up to ms for s to become readable; -1 on a select failure.
int WaitReadable(intptr_t s, int ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(S(s), &set);
    timeval tv{ms / 1000, (ms % 1000) * 1000};
    return select(static_cast<int>(S(s)) + 1, &set, nullptr, nullptr, &tv);
}

int MsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

} // namespace

ScriptedServer::ScriptedServer() {
    EnsureSockets();
}

ScriptedServer::~ScriptedServer() {
    {
        std::lock_guard<std::mutex> g(FLock);
        FStop = true;
    }
    FChanged.notify_all();
    if (FThread.joinable()) FThread.join();
    if (FClient != kNoSocket) CloseSock(FClient);
    if (FListener != kNoSocket) CloseSock(FListener);
}

ScriptedServer& ScriptedServer::Send(std::string bytes) {
    FSteps.push_back({Step::kSend, std::move(bytes), 0, {}, {}});
    return *this;
}

ScriptedServer& ScriptedServer::SendPieces(std::string bytes, std::vector<size_t> sizes, int pauseMs) {
    size_t at = 0, i = 0;
    while (at < bytes.size()) {
        size_t n = sizes.empty() ? bytes.size() : sizes[std::min(i, sizes.size() - 1)];
        ++i;
        if (n == 0) {
            if (i >= sizes.size())
                n = bytes.size(); // only zero sizes left: send the rest at once
            else
                continue;
        }
        n = std::min(n, bytes.size() - at);
        if (at > 0) Pause(pauseMs);
        Send(bytes.substr(at, n));
        at += n;
    }
    return *this;
}

ScriptedServer& ScriptedServer::SendRepeated(std::string bytes, int64_t times) {
    FSteps.push_back({Step::kSendRepeated, std::move(bytes), 0, {}, {}, times});
    return *this;
}

ScriptedServer& ScriptedServer::Pause(int ms) {
    FSteps.push_back({Step::kPause, {}, ms, {}, {}});
    return *this;
}

ScriptedServer& ScriptedServer::ExpectReceived(std::string marker, int timeoutMs) {
    FSteps.push_back({Step::kExpect, std::move(marker), timeoutMs, {}, {}});
    return *this;
}

ScriptedServer& ScriptedServer::ExpectClientClose(int timeoutMs) {
    FSteps.push_back({Step::kExpectClose, {}, timeoutMs, {}, {}});
    return *this;
}

ScriptedServer& ScriptedServer::Close() {
    FSteps.push_back({Step::kClose, {}, 0, {}, {}});
    return *this;
}

ScriptedServer& ScriptedServer::Reset() {
    FSteps.push_back({Step::kReset, {}, 0, {}, {}});
    return *this;
}

ScriptedServer& ScriptedServer::Accept(int timeoutMs) {
    FSteps.push_back({Step::kAccept, {}, timeoutMs, {}, {}});
    return *this;
}

ScriptedServer& ScriptedServer::Call(std::function<void()> fn) {
    FSteps.push_back({Step::kCall, {}, 0, std::move(fn), {}});
    return *this;
}

ScriptedServer& ScriptedServer::SendFor(std::function<std::string(const std::string&)> make) {
    FSteps.push_back({Step::kSendFor, {}, 0, {}, std::move(make)});
    return *this;
}

ScriptedServer& ScriptedServer::StartTLS(const ServerTLSSettings& settings) {
    return Call([this, settings] { RunStartTLS(settings); });
}

ScriptedServer& ScriptedServer::CloseWithoutNotify() {
    return Call([this] { CloseClient(false, false); });
}

ScriptedServer& ScriptedServer::CutAfter(size_t bytes, bool reset) {
    return Call([this, bytes, reset] {
        FCutLeft = bytes;
        FCutReset = reset;
    });
}

void ScriptedServer::RunStartTLS(const ServerTLSSettings& settings) {
    try {
        FTls = CreateServerTLS(settings);
    } catch (const std::exception& e) {
        Fail(e.what());
        return;
    }
    // A TLS server writes its flights and the records after them in separate sends; with
    // Nagle each would wait for the client's delayed acknowledgement.
    int one = 1;
    setsockopt(S(FClient), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    auto deadline = Clock::now() + std::chrono::milliseconds(5000);
    for (;;) {
        std::string out;
        const int r = FTls->Handshake(out);
        SendRaw(out);
        if (r == 1) {
            // Bytes that came with the client's last handshake flight are data already.
            std::string plain, more;
            if (!FTls->Read(plain, more)) FClientClosed = true;
            SendRaw(more);
            std::lock_guard<std::mutex> g(FLock);
            FReceived.back() += plain;
            FTotal += plain.size();
            return;
        }
        if (r < 0) {
            // The client refused (or broke) the handshake: the connection ends here, and a
            // later Accept may still serve the next one.
            {
                std::lock_guard<std::mutex> g(FLock);
                FTLSFailure = FTls->Error();
            }
            CloseClient(false, false);
            return;
        }
        if (FClient == kNoSocket || FClientClosed) return Fail("TLS handshake: the client closed");
        {
            std::lock_guard<std::mutex> g(FLock);
            if (FStop) return;
        }
        if (MsLeft(deadline) == 0) return Fail("TLS handshake: timed out");
        const int w = WaitReadable(FClient, std::min(10, MsLeft(deadline)));
        if (w <= 0) continue;
        char buf[16384];
        const int n = static_cast<int>(recv(S(FClient), buf, sizeof buf, 0));
        if (n <= 0)
            FClientClosed = true;
        else
            FTls->Feed(buf, static_cast<size_t>(n));
    }
}

uint16_t ScriptedServer::Reserve(uint16_t port) {
    FListener = static_cast<intptr_t>(socket(AF_INET, SOCK_STREAM, 0));
    if (FListener == kNoSocket) throw std::runtime_error("scripted server: socket failed");
    sockaddr_in a = Loopback(port);
    if (bind(S(FListener), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("scripted server: bind failed, error " + std::to_string(LastErr()));
    SockLen len = sizeof a;
    getsockname(S(FListener), reinterpret_cast<sockaddr*>(&a), &len);
    FPort = ntohs(a.sin_port);
    return FPort;
}

void ScriptedServer::Start(uint16_t port) {
    if (FListener == kNoSocket) Reserve(port);
    if (listen(S(FListener), 4) != 0)
        throw std::runtime_error("scripted server: listen failed, error " + std::to_string(LastErr()));
    FThread = std::thread([this] { Run(); });
}

void ScriptedServer::Fail(const std::string& why) {
    std::lock_guard<std::mutex> g(FLock);
    if (FFailure.empty()) FFailure = why;
}

bool ScriptedServer::AcceptOne(int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        {
            std::lock_guard<std::mutex> g(FLock);
            if (FStop) return false;
        }
        int r = WaitReadable(FListener, std::min(20, MsLeft(deadline)));
        if (r > 0) break;
        if (r < 0 || MsLeft(deadline) == 0) {
            Fail("no connection was accepted in time");
            return false;
        }
    }
    FClient = static_cast<intptr_t>(accept(S(FListener), nullptr, nullptr));
    if (FClient == kNoSocket) {
        Fail("accept failed, error " + std::to_string(LastErr()));
        return false;
    }
    FClientClosed = false;
    // A client that stops reading must not hang the script (and with it the test) in a send.
#ifdef _WIN32
    DWORD limit = 5000;
#else
    timeval limit{5, 0};
#endif
    setsockopt(S(FClient), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
    std::lock_guard<std::mutex> g(FLock);
    FReceived.emplace_back();
    return true;
}

bool ScriptedServer::Pump(int ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    do {
        if (FClient == kNoSocket || FClientClosed) return false;
        {
            std::lock_guard<std::mutex> g(FLock);
            if (FStop) return false;
        }
        int r = WaitReadable(FClient, std::min(10, MsLeft(deadline)));
        if (r < 0) {
            FClientClosed = true;
            return false;
        }
        if (r == 0) continue;
        char buf[4096];
        int n = static_cast<int>(recv(S(FClient), buf, sizeof buf, 0));
        if (n <= 0) {
            FClientClosed = true;
            FChanged.notify_all();
            return false;
        }
        std::string plain(buf, static_cast<size_t>(n));
        bool open = true;
        if (FTls) {
            std::string out;
            plain.clear();
            FTls->Feed(buf, static_cast<size_t>(n));
            open = FTls->Read(plain, out);
            SendRaw(out);
        }
        {
            std::lock_guard<std::mutex> g(FLock);
            FReceived.back() += plain;
            FTotal += plain.size();
        }
        FChanged.notify_all();
        if (!open) {
            FClientClosed = true;
            return false;
        }
    } while (MsLeft(deadline) > 0);
    return true;
}

bool ScriptedServer::SendAll(const std::string& bytes) {
    if (!FTls) return SendRaw(bytes);
    std::string out;
    FTls->Write(bytes, out);
    return SendRaw(out);
}

bool ScriptedServer::SendRaw(const std::string& all) {
    if (FCut) return true; // cut already: the rest is dropped
    std::string bytes = all;
    bool cutHere = false;
    if (FCutLeft != SIZE_MAX && bytes.size() >= FCutLeft) {
        bytes.resize(FCutLeft);
        cutHere = true;
    }
    if (FCutLeft != SIZE_MAX) FCutLeft -= bytes.size();
    if (FClient == kNoSocket) return bytes.empty();
    size_t at = 0;
    while (at < bytes.size()) {
        int n = static_cast<int>(
            send(S(FClient), bytes.data() + at, static_cast<int>(bytes.size() - at), kNoSignal));
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
        FRawSent += static_cast<size_t>(n);
    }
    if (cutHere) {
        CloseClient(FCutReset, false);
        FCut = true;
    }
    return true;
}

void ScriptedServer::CloseClient(bool reset, bool closeNotify) {
    if (FClient == kNoSocket) return;
    if (FTls && closeNotify && !reset) {
        std::string out;
        FTls->Shutdown(out);
        SendRaw(out);
        if (FClient == kNoSocket) return; // the cut closed it
    }
    if (reset) {
        linger l{};
        l.l_onoff = 1;
        l.l_linger = 0;
        setsockopt(S(FClient), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    } else {
#ifdef _WIN32
        shutdown(S(FClient), SD_SEND);
#else
        shutdown(S(FClient), SHUT_WR);
#endif
    }
    CloseSock(FClient);
    FClient = kNoSocket;
    FClientClosed = true;
}

void ScriptedServer::Run() {
    if (AcceptOne(5000)) {
        for (const Step& step : FSteps) {
            {
                std::lock_guard<std::mutex> g(FLock);
                if (FStop || !FFailure.empty()) break;
            }
            switch (step.kind) {
            case Step::kSend:
                Pump(0);
                if (FCut) break;
                if (FClient == kNoSocket || !SendAll(step.bytes)) Fail("send failed");
                break;
            case Step::kPause: {
                // The pause ends ms after it began, also when the client closes during it.
                const auto until = Clock::now() + std::chrono::milliseconds(step.ms);
                if (!Pump(step.ms)) {
                    // Closed already: still wait, but stay responsive to the destructor.
                    while (MsLeft(until) > 0) {
                        {
                            std::lock_guard<std::mutex> g(FLock);
                            if (FStop) break;
                        }
                        std::this_thread::sleep_for(std::chrono::milliseconds(std::min(10, MsLeft(until))));
                    }
                }
                break;
            }
            case Step::kExpect: {
                auto deadline = Clock::now() + std::chrono::milliseconds(step.ms);
                for (;;) {
                    {
                        std::lock_guard<std::mutex> g(FLock);
                        if (FReceived.back().find(step.bytes) != std::string::npos) break;
                    }
                    if (MsLeft(deadline) == 0 || !Pump(std::min(10, MsLeft(deadline)))) {
                        bool seen;
                        {
                            std::lock_guard<std::mutex> g(FLock);
                            seen = FReceived.back().find(step.bytes) != std::string::npos;
                        }
                        // Fail takes the lock itself.
                        if (!seen) Fail("expected to receive \"" + step.bytes + "\"");
                        break;
                    }
                }
                break;
            }
            case Step::kExpectClose: {
                auto deadline = Clock::now() + std::chrono::milliseconds(step.ms);
                while (Pump(std::min(10, MsLeft(deadline))) && MsLeft(deadline) > 0) {
                }
                if (!FClientClosed) Fail("the client did not close");
                break;
            }
            case Step::kClose:
                Pump(0);
                CloseClient(false);
                break;
            case Step::kReset:
                CloseClient(true);
                break;
            case Step::kAccept:
                CloseClient(false);
                FTls.reset();
                FCutLeft = SIZE_MAX;
                FCut = false;
                AcceptOne(step.ms);
                break;
            case Step::kCall:
                step.fn();
                break;
            case Step::kSendFor: {
                Pump(0);
                if (FCut) break;
                std::string received;
                {
                    std::lock_guard<std::mutex> g(FLock);
                    received = FReceived.back();
                }
                if (FClient == kNoSocket || !SendAll(step.make(received))) Fail("send failed");
                break;
            }
            case Step::kSendRepeated:
                for (int64_t i = 0; i < step.times; ++i) {
                    {
                        std::lock_guard<std::mutex> g(FLock);
                        if (FStop) break;
                    }
                    if (FClient == kNoSocket || !SendAll(step.bytes)) {
                        Fail("send failed");
                        break;
                    }
                }
                break;
            }
        }
    }
    {
        std::lock_guard<std::mutex> g(FLock);
        FFinished = true;
    }
    FChanged.notify_all();
    // Keep recording until the client closes or the server is destroyed.
    while (Pump(50)) {
    }
}

bool ScriptedServer::WaitFinished(int timeoutMs) {
    std::unique_lock<std::mutex> g(FLock);
    return FChanged.wait_for(g, std::chrono::milliseconds(timeoutMs), [this] { return FFinished; });
}

bool ScriptedServer::WaitReceived(size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> g(FLock);
    return FChanged.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return FTotal >= count; });
}

std::string ScriptedServer::Received() const {
    std::lock_guard<std::mutex> g(FLock);
    std::string all;
    for (const auto& r : FReceived)
        all += r;
    return all;
}

std::vector<std::string> ScriptedServer::ReceivedPerConnection() const {
    std::lock_guard<std::mutex> g(FLock);
    return FReceived;
}

std::string ScriptedServer::TLSFailure() const {
    std::lock_guard<std::mutex> g(FLock);
    return FTLSFailure;
}

std::string ScriptedServer::Failure() const {
    std::lock_guard<std::mutex> g(FLock);
    return FFailure;
}

int ScriptedServer::Connections() const {
    std::lock_guard<std::mutex> g(FLock);
    return static_cast<int>(FReceived.size());
}

namespace {
// A socket bound to a port of the system's choice on 127.0.0.1, not listening, and its port.
intptr_t BindAnyPort(uint16_t& port) {
    EnsureSockets();
    intptr_t s = static_cast<intptr_t>(socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in a = Loopback(0);
    bind(S(s), reinterpret_cast<sockaddr*>(&a), sizeof a);
    SockLen len = sizeof a;
    getsockname(S(s), reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return s;
}
} // namespace

uint16_t UnusedLocalPort() {
    uint16_t port = 0;
    CloseSock(BindAnyPort(port));
    return port;
}

RefusingPort::RefusingPort() : FSocket(BindAnyPort(FPort)) {}

RefusingPort::~RefusingPort() {
    CloseSock(FSocket);
}

} // namespace nxtest
