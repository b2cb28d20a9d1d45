#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "transport/NxAntiFreezeBase.h"
#include "transport/NxException.h"
#include "transport/NxIOHandlerSocket.h"
#include "transport/NxSocketHandle.h"

#ifdef _WIN32
#include <windows.h>

#include <atomic>

#include "transport/NxAntiFreeze.h"
#endif

namespace {
using Clock = std::chrono::steady_clock;

int64_t MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class CountingAntiFreeze : public TNxAntiFreezeBase {
public:
    void PumpMessages() override { Ticks.push_back(Clock::now()); }
    std::vector<Clock::time_point> Ticks;
};

// Winsock's conditional accept: the stack leaves a connection request unanswered (no
// SYN-ACK) until the application accepts it, so the connect stays pending.
constexpr int32_t SoConditionalAccept = 0x3002;

// A listening socket on 127.0.0.1 with a port chosen by the system.
struct Listener {
    TNxSocketHandle handle;
    // neverAnswers: a connect that the backlog has no room for is left pending (on Winsock
    // with conditional accept; Linux drops the SYN of a full backlog by itself).
    explicit Listener(int32_t backlog = 5, bool neverAnswers = false) {
        handle.AllocateSocket();
        handle.SetIP("127.0.0.1");
        handle.BindLocal();
#ifdef _WIN32
        if (neverAnswers) {
            // Winsock refuses a connect the backlog has no room for. Wine does not know the
            // option (10042) and behaves as its Linux host, which the fillers below serve.
            try {
                handle.SetOption(NxSock::SolSocket, SoConditionalAccept, 1);
            } catch (const ENxSocketError&) {
            }
        }
#else
        (void)neverAnswers;
#endif
        handle.Listen(backlog);
    }
    int32_t Port() const {
        return handle.Port();
    }
};

// A port on 127.0.0.1 where nobody listens.
int32_t ClosedPort() {
    TNxSocketHandle h;
    h.AllocateSocket();
    h.SetIP("127.0.0.1");
    h.BindLocal();
    return h.Port();
}

std::string RefusedText() {
    return NxStack().ErrorText(10061);
}

class IOHandlerSocketTest : public ::testing::Test {
protected:
    TNxIOHandlerSocket FHandler;
    std::vector<std::string> FStatus;

    void SetUp() override {
        FHandler.OnStatus = [this](TNxComponent*, TNxStatus, const std::string& text) {
            FStatus.push_back(text);
        };
        FHandler.OpenHandler();
    }
    void Connect(const std::string& host, int32_t port, int32_t timeout) {
        FHandler.ConnectPeer(host, port, "", 0, 0, 0, timeout);
    }
};
} // namespace

TEST_F(IOHandlerSocketTest, PlainConnectReportsAndMovesData) {
    Listener listener;
    Connect("LocalHost", listener.Port(), 0);
    EXPECT_EQ(FStatus,
              (std::vector<std::string>{"Resolving hostname LocalHost.", "Connecting to 127.0.0.1."}));
    ASSERT_TRUE(FHandler.HasSocket());
    EXPECT_EQ(FHandler.SocketHandle()->RemotePort(), listener.Port());

    TNxSocketHandle server;
    ASSERT_TRUE(server.AcceptInto(listener.handle.Descriptor()));
    EXPECT_EQ(FHandler.Transmit("ping", 4), 4);
    char buf[8] = {};
    ASSERT_TRUE(server.WaitReadable(2000));
    ASSERT_EQ(server.Receive(buf, sizeof buf), 4);
    EXPECT_EQ(std::string(buf, 4), "ping");
    server.Transmit("pong", 4);
    ASSERT_TRUE(FHandler.WaitReadable(2000));
    EXPECT_EQ(FHandler.Receive(buf, sizeof buf), 4);

    FHandler.CloseHandler();
    EXPECT_FALSE(FHandler.HasSocket());
    try {
        FHandler.Receive(buf, sizeof buf);
        FAIL();
    } catch (const ENxClosedSocket& e) {
        EXPECT_EQ(e.Message(), "Disconnected.");
    }
    EXPECT_THROW(FHandler.Transmit("x", 1), ENxClosedSocket);
    EXPECT_THROW(FHandler.WaitReadable(0), ENxConnClosedGracefully);

    // The handler can be reopened for another connection.
    FHandler.OpenHandler();
    EXPECT_EQ(FHandler.SocketHandle()->RemoteIP(), "");
    FStatus.clear();
    Connect("127.0.0.1", listener.Port(), -1);
    EXPECT_EQ(FStatus, (std::vector<std::string>{"Connecting to 127.0.0.1."})) << "a quad is not resolved";
    EXPECT_TRUE(FHandler.HasSocket());
}

TEST_F(IOHandlerSocketTest, BindsTheLocalEndAndDisablesNagle) {
    Listener listener;
    const int32_t local = ClosedPort();
    FHandler.SetUseNagle(false);
    FHandler.ConnectPeer("127.0.0.1", listener.Port(), "127.0.0.1", local, 0, 0, 0);
    EXPECT_EQ(FHandler.SocketHandle()->Port(), local);
    int32_t value = 0, length = 4;
    ASSERT_EQ(NxStack().GetOption(FHandler.SocketHandle()->Descriptor(), NxSock::IpProtoTcp,
                                  NxSock::TcpNoDelay, &value, length),
              0);
    EXPECT_NE(value, 0);
}

TEST_F(IOHandlerSocketTest, RefusedPlainConnectIsASocketError) {
    const int32_t port = ClosedPort();
    try {
        Connect("127.0.0.1", port, 0);
        FAIL();
    } catch (const ENxSocketError& e) {
        EXPECT_EQ(e.ErrorCode(), 10061);
        EXPECT_EQ(e.Message(), RefusedText());
    }
    // With an anti-freeze in force but off the main thread the connect stays plain.
    CountingAntiFreeze af;
    std::string caught;
    std::thread worker([&] {
        TNxIOHandlerSocket h;
        h.OpenHandler();
        try {
            h.ConnectPeer("127.0.0.1", port, "", 0, 0, 0, 0);
        } catch (const ENxSocketError& e) {
            caught = "ENxSocketError " + std::to_string(e.ErrorCode());
        } catch (const std::exception& e) {
            caught = e.what();
        }
    });
    worker.join();
    EXPECT_EQ(caught, "ENxSocketError 10061");
}

TEST_F(IOHandlerSocketTest, RefusedThroughTheConnectThreadKeepsTheMessageAndTheCode) {
    const int32_t port = ClosedPort();
    // How long a refusal takes here without the connect thread: Linux refuses at once,
    // Windows retries a refused SYN for about a second. The thread must add at most a slice.
    int64_t refusal = 0;
    {
        TNxIOHandlerSocket plain;
        plain.OpenHandler();
        const auto start = Clock::now();
        EXPECT_THROW(plain.ConnectPeer("127.0.0.1", port, "", 0, 0, 0, 0), ENxSocketError);
        refusal = MsSince(start);
    }
    CountingAntiFreeze af; // in force: timeout 0 goes through the connect thread
    for (int32_t timeout : {0, 3000, -2}) {
        FHandler.OpenHandler();
        const auto start = Clock::now();
        try {
            Connect("127.0.0.1", port, timeout);
            FAIL() << timeout;
        } catch (const ENxSocketError&) {
            FAIL() << "the class and code do not travel from the connect thread";
        } catch (const ENxConnectException& e) {
            EXPECT_EQ(e.Message(), RefusedText()) << timeout;
            EXPECT_EQ(e.ErrorCode(), 10061) << "the code travels beside the message";
        }
        EXPECT_LT(MsSince(start), refusal + 1500) << "a finished connect is noticed within a slice";
    }
}

TEST_F(IOHandlerSocketTest, ConnectThreadSucceedsWithoutWaitingOutASlice) {
    Listener listener;
    CountingAntiFreeze af; // IdleTimeOut 250: slices of 125 ms
    // A loopback connect takes far less than a slice: taken at once, no slice waited out.
    Connect("127.0.0.1", listener.Port(), 0);
    EXPECT_TRUE(af.Ticks.empty()) << af.Ticks.size() << " slices waited out";
    FHandler.OpenHandler();
    Connect("127.0.0.1", listener.Port(), 5000);
    EXPECT_TRUE(af.Ticks.empty()) << af.Ticks.size() << " slices waited out under a limit";
    EXPECT_TRUE(FHandler.HasSocket());
    EXPECT_EQ(FHandler.SocketHandle()->RemotePort(), listener.Port());
    EXPECT_FALSE(FHandler.SocketHandle()->IP().empty()) << "the thread refreshed the local end";
}

// A listener that never accepts, with its backlog filled: further connects hang until
// their limit. Fillers are connected until one of them hangs.
struct FullListener {
    Listener listener{0, true};
    std::vector<std::unique_ptr<TNxIOHandlerSocket>> fillers;
    bool full = false;
    FullListener() {
        for (int i = 0; i < 16 && !full; ++i) {
            auto h = std::make_unique<TNxIOHandlerSocket>();
            h->OpenHandler();
            try {
                h->ConnectPeer("127.0.0.1", listener.Port(), "", 0, 0, 0, 300);
            } catch (const ENxConnectTimeout&) {
                full = true;
            }
            fillers.push_back(std::move(h));
        }
    }
};

TEST_F(IOHandlerSocketTest, ConnectThatNeverCompletesTimesOut) {
    FullListener hung;
    ASSERT_TRUE(hung.full) << "the backlog never filled";
    Listener& listener = hung.listener;

    CountingAntiFreeze af; // IdleTimeOut 250: slices of 125 ms
    const auto start = Clock::now();
    try {
        Connect("127.0.0.1", listener.Port(), 500);
        FAIL();
    } catch (const ENxConnectTimeout& e) {
        EXPECT_EQ(e.Message(), "Connect timed out.");
    }
    const int64_t elapsed = MsSince(start);
    EXPECT_GE(elapsed, 490);
    EXPECT_LT(elapsed, 2000) << "the connect thread ended promptly once the socket was closed";
    EXPECT_FALSE(FHandler.HasSocket()) << "the socket is closed";
    EXPECT_EQ(af.Ticks.size(), 3u) << "500 ms: three slices of 125 with a tick, then the last 125";
}

#ifdef _WIN32
// The window's messages during a connect are served as they come, not at the end of each
// 125 ms slice: every message posted during the connect is a pump of its own on top of the
// slices' (all of them together at the first slice's end, before).
TEST_F(IOHandlerSocketTest, MessagesDuringAConnectAreServedAsTheyCome) {
    FullListener hung;
    ASSERT_TRUE(hung.full) << "the backlog never filled";
    struct CountingPump : TNxAntiFreeze {
        void PumpMessages() override {
            ++Pumps;
            TNxAntiFreeze::PumpMessages();
        }
        int Pumps = 0;
    } af; // IdleTimeOut 250: slices of 125 ms
    constexpr UINT kPing = WM_APP + 7;
    std::atomic<int> pings{0};
    TNxAntiFreeze::SetMessageHandler([&](MSG& msg) {
        if (msg.message == kPing) ++pings;
    });
    const DWORD self = GetCurrentThreadId();
    // Three messages within the first slice, each after the previous one was served.
    std::thread poster([&] {
        for (int i = 0; i < 3; ++i) {
            Sleep(20);
            PostThreadMessageW(self, kPing, 0, 0);
            for (int wait = 0; wait < 100 && pings <= i; ++wait)
                Sleep(1);
        }
    });
    EXPECT_THROW(Connect("127.0.0.1", hung.listener.Port(), 500), ENxConnectTimeout);
    poster.join();
    TNxAntiFreeze::SetMessageHandler({});
    EXPECT_EQ(pings, 3);
    EXPECT_GE(af.Pumps, 3 + 3) << "three slices' pumps and one for each message";
}
#endif

TEST_F(IOHandlerSocketTest, UnknownHostIsReportedAndRaised) {
    try {
        Connect("no-such-host.invalid", 80, 0);
        FAIL();
    } catch (const ENxSocketError& e) {
        EXPECT_EQ(e.ErrorCode(), 11001);
        EXPECT_EQ(e.Message(), "Socket Error # 11001\r\nHost not found.");
    }
    EXPECT_EQ(FStatus, (std::vector<std::string>{"Resolving hostname no-such-host.invalid."}));
}

TEST_F(IOHandlerSocketTest, SocksSettingsDefaultToNoneAndKeepTheStackAlive) {
    const int32_t users = NxStackUserCount();
    TNxSocksInfo& socks = FHandler.SocksInfo();
    EXPECT_EQ(socks.Version, svNoSocks);
    EXPECT_EQ(socks.Port, 1080);
    EXPECT_EQ(socks.Authentication, saNoAuthentication);
    EXPECT_EQ(NxStackUserCount(), users + 1);
    EXPECT_EQ(&FHandler.SocksInfo(), &socks) << "created once";
}
