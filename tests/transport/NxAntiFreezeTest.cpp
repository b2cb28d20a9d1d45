#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "transport/NxAntiFreeze.h"
#include "transport/NxAntiFreezeBase.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {
class CountingAntiFreeze : public TNxAntiFreezeBase {
public:
    void PumpMessages() override { ++Pumps; }
    int Pumps = 0;
};

bool InForceOnAnotherThread() {
    bool result = true;
    std::thread t([&] { result = TNxAntiFreezeBase::AntiFreezeInForce(); });
    t.join();
    return result;
}
} // namespace

TEST(NxAntiFreeze, InForceNeedsOneActiveOnTheMainThread) {
    EXPECT_EQ(TNxAntiFreezeBase::InForce(), nullptr);
    EXPECT_FALSE(TNxAntiFreezeBase::AntiFreezeInForce());
    {
        CountingAntiFreeze af;
        EXPECT_TRUE(af.Active());
        EXPECT_TRUE(af.ApplicationHasPriority());
        EXPECT_EQ(af.IdleTimeOut(), 250);
        EXPECT_TRUE(af.OnlyWhenIdle());
        EXPECT_EQ(TNxAntiFreezeBase::InForce(), &af);
        EXPECT_TRUE(TNxAntiFreezeBase::AntiFreezeInForce());
        EXPECT_FALSE(InForceOnAnotherThread());
        af.SetActive(false);
        EXPECT_FALSE(TNxAntiFreezeBase::AntiFreezeInForce());
        af.SetActive(true);

        // The main thread is the one recorded at start-up; a program may name another.
        const auto main = TNxAntiFreezeBase::MainThread();
        EXPECT_EQ(main, std::this_thread::get_id());
        std::thread other([] {});
        const auto otherId = other.get_id();
        other.join();
        TNxAntiFreezeBase::SetMainThread(otherId);
        EXPECT_FALSE(TNxAntiFreezeBase::AntiFreezeInForce());
        TNxAntiFreezeBase::SetMainThread(main);
        EXPECT_TRUE(TNxAntiFreezeBase::AntiFreezeInForce());
    }
    EXPECT_EQ(TNxAntiFreezeBase::InForce(), nullptr);
}

TEST(NxAntiFreeze, ALaterOneReplacesAnEarlierAndAnyDestructionLeavesNone) {
    auto first = std::make_unique<CountingAntiFreeze>();
    auto second = std::make_unique<CountingAntiFreeze>();
    EXPECT_EQ(TNxAntiFreezeBase::InForce(), second.get());
    TNxAntiFreezeBase::AntiFreezeTick();
    EXPECT_EQ(first->Pumps, 0);
    EXPECT_EQ(second->Pumps, 1);
    first.reset();
    EXPECT_EQ(TNxAntiFreezeBase::InForce(), nullptr);
    TNxAntiFreezeBase::AntiFreezeTick();
    EXPECT_EQ(second->Pumps, 1);
}

TEST(NxAntiFreeze, TickPumpsWhenIdleOrNotOnlyWhenIdleOrOverridden) {
    struct Case {
        bool onlyWhenIdle, idle, overrideIdle, pumps;
    } cases[] = {
        {true, true, false, true},   {true, false, false, false}, {true, false, true, true},
        {false, false, false, true}, {false, true, false, true},
    };
    for (const auto& c : cases) {
        CountingAntiFreeze af;
        af.SetOnlyWhenIdle(c.onlyWhenIdle);
        TNxAntiFreezeBase::AntiFreezeTick(c.idle, c.overrideIdle);
        EXPECT_EQ(af.Pumps, c.pumps ? 1 : 0) << c.onlyWhenIdle << c.idle << c.overrideIdle;
    }
    CountingAntiFreeze af;
    std::thread([] { TNxAntiFreezeBase::AntiFreezeTick(true, true); }).join();
    af.SetActive(false);
    TNxAntiFreezeBase::AntiFreezeTick(true, true);
    EXPECT_EQ(af.Pumps, 0) << "no pump from a worker thread or while inactive";
}

#ifndef _WIN32
TEST(NxAntiFreeze, NativePumpIsTheOneTheApplicationInstalls) {
    TNxAntiFreeze af;
    af.PumpMessages(); // nothing installed: nothing happens
    std::vector<bool> calls;
    TNxAntiFreeze::SetApplicationPump([&](bool allPending) { calls.push_back(allPending); });
    TNxAntiFreezeBase::AntiFreezeTick();
    af.SetApplicationHasPriority(false);
    TNxAntiFreezeBase::AntiFreezeTick();
    TNxAntiFreeze::SetApplicationPump(nullptr);
    TNxAntiFreezeBase::AntiFreezeTick();
    EXPECT_EQ(calls, (std::vector<bool>{true, false}));
}
#else
namespace {
int gDispatched = 0;
LRESULT CALLBACK CountingProc(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
    if (msg == WM_APP) {
        ++gDispatched;
        return 0;
    }
    return DefWindowProcA(hwnd, msg, w, l);
}

HWND MakeWindow() {
    WNDCLASSA wc{};
    wc.lpfnWndProc = CountingProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "NxAntiFreezeTestWindow";
    RegisterClassA(&wc);
    return CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                           nullptr);
}
} // namespace

TEST(NxAntiFreeze, WindowsPumpServesTheThreadQueue) {
    HWND hwnd = MakeWindow();
    ASSERT_NE(hwnd, nullptr);
    TNxAntiFreeze af;
    gDispatched = 0;
    for (int i = 0; i < 3; ++i)
        PostMessageA(hwnd, WM_APP, 0, 0);
    af.PumpMessages();
    EXPECT_EQ(gDispatched, 3) << "with priority the queue is emptied";

    gDispatched = 0;
    af.SetApplicationHasPriority(false);
    for (int i = 0; i < 3; ++i)
        PostMessageA(hwnd, WM_APP, 0, 0);
    af.PumpMessages();
    EXPECT_EQ(gDispatched, 1) << "without priority one message at most";
    af.PumpMessages();
    af.PumpMessages();
    af.PumpMessages();
    EXPECT_EQ(gDispatched, 3);

    af.SetApplicationHasPriority(true);
    EXPECT_FALSE(TNxAntiFreeze::ApplicationTerminated());
    PostQuitMessage(0);
    PostMessageA(hwnd, WM_APP, 0, 0);
    gDispatched = 0;
    af.PumpMessages();
    EXPECT_TRUE(TNxAntiFreeze::ApplicationTerminated()) << "a quit message marks the application as ending";
    EXPECT_EQ(gDispatched, 1);
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE)) << "taken, not left";
    TNxAntiFreeze::MarkApplicationTerminated(false);
    DestroyWindow(hwnd);
}
#endif
