#include <windows.h>

#include <algorithm>
#include <mutex>

#include "transport/NxAntiFreeze.h"

namespace {
// The message by which another thread wakes a WaitForMessage (a registered one: no
// application message can be taken for it).
UINT WakeMessage() {
    static const UINT id = RegisterWindowMessageW(L"NxAntiFreezeWake");
    return id;
}

std::mutex gHandlerLock;
TNxAntiFreeze::TNxMessageHandler gHandler;

// Takes one message off the thread's queue and handles it as the main loop would. A quit
// message is not dispatched: it marks the application as ending.
bool ProcessOneMessage() {
    MSG msg;
    if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
    if (msg.message == WM_QUIT) {
        TNxAntiFreeze::MarkApplicationTerminated();
        return true;
    }
    TNxAntiFreeze::TNxMessageHandler handler;
    {
        std::lock_guard<std::mutex> lock(gHandlerLock);
        handler = gHandler;
    }
    // Called outside the lock: a handler may run window code that installs another one.
    if (handler) {
        handler(msg);
    } else {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return true;
}
} // namespace

void TNxAntiFreeze::SetMessageHandler(TNxMessageHandler handler) {
    std::lock_guard<std::mutex> lock(gHandlerLock);
    gHandler = std::move(handler);
}

void TNxAntiFreeze::PumpMessages() {
    if (ApplicationHasPriority()) {
        while (ProcessOneMessage()) {
        }
    } else {
        // Look first without removing anything; handle exactly the one waiting message.
        MSG msg;
        if (PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE)) ProcessOneMessage();
    }
}

bool TNxAntiFreeze::WaitForMessage(int32_t milliseconds) {
    // Input that arrived since the queue was last looked at; what the pump left waiting
    // does not end the sleep again.
    if (MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(std::max(0, milliseconds)), QS_ALLINPUT,
                                    0) != WAIT_OBJECT_0)
        return false;
    // The wakers' messages (also those of earlier waits, posted after their sleep had
    // ended) only end the sleep: none is left for the pump.
    MSG msg;
    const UINT wake = WakeMessage();
    while (PeekMessageW(&msg, reinterpret_cast<HWND>(-1), wake, wake, PM_REMOVE)) {
    }
    return PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE) != FALSE;
}

std::function<void()> TNxAntiFreeze::MessageWaker() {
    // A message of its own, which WaitForMessage takes off the queue: it only ends the sleep.
    const DWORD thread = GetCurrentThreadId();
    const UINT wake = WakeMessage();
    return [thread, wake] { PostThreadMessageW(thread, wake, 0, 0); };
}
