#include <windows.h>

#include <mutex>

#include "transport/NxAntiFreeze.h"

namespace {
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
