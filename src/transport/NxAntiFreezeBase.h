#pragma once
// The anti-freeze, a process-wide hook that the blocking transport calls
// while it waits, so that a windowed application's message queue keeps being served.
//
// The anti-freeze acts only on the application's main thread: the thread that started
// the program. It is recorded during static initialisation (which runs on that thread
// before main); SetMainThread lets a program or a test name another one.
#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

class TNxAntiFreezeBase {
public:
    // Sets the defaults and makes this the anti-freeze in force (replacing an earlier one).
    TNxAntiFreezeBase();
    TNxAntiFreezeBase(const TNxAntiFreezeBase&) = delete;
    TNxAntiFreezeBase& operator=(const TNxAntiFreezeBase&) = delete;
    // Destroying any anti-freeze leaves none in force.
    virtual ~TNxAntiFreezeBase();

    // The one virtual operation of its own.
    virtual void PumpMessages() = 0;
    // Where the application has a message queue (Windows): sleeps on the calling thread until
    // input arrives for it or milliseconds pass, true when there is a message to pump (a wake
    // alone gives false); and a function that, called from any thread, wakes such a sleep of
    // the thread that asked for it. Without a queue, false at once and an empty function:
    // callers wait by their own means.
    virtual bool WaitForMessage(int32_t /*milliseconds*/) { return false; }
    virtual std::function<void()> MessageWaker() { return {}; }

    // An anti-freeze is in force, the caller runs on the main thread, and it is Active.
    static bool AntiFreezeInForce();
    // If AntiFreezeInForce and (idle or not OnlyWhenIdle or overrideIdle) and Active:
    // PumpMessages of the anti-freeze in force.
    static void AntiFreezeTick(bool idle = true, bool overrideIdle = false);
    // The anti-freeze in force, or null.
    static TNxAntiFreezeBase* InForce();

    static std::thread::id MainThread();
    static void SetMainThread(std::thread::id id);
    static bool IsMainThread();

    // Settings and their defaults.
    bool Active() const { return FActive.load(); }
    void SetActive(bool value) { FActive.store(value); }
    bool ApplicationHasPriority() const { return FApplicationHasPriority.load(); }
    void SetApplicationHasPriority(bool value) { FApplicationHasPriority.store(value); }
    int32_t IdleTimeOut() const { return FIdleTimeOut.load(); }
    void SetIdleTimeOut(int32_t milliseconds) { FIdleTimeOut.store(milliseconds); }
    bool OnlyWhenIdle() const { return FOnlyWhenIdle.load(); }
    void SetOnlyWhenIdle(bool value) { FOnlyWhenIdle.store(value); }

private:
    std::atomic<bool> FActive{true};
    std::atomic<bool> FApplicationHasPriority{true};
    std::atomic<int32_t> FIdleTimeOut{250};
    std::atomic<bool> FOnlyWhenIdle{true};
};
