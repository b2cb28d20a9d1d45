#include <windows.h>

#include "transport/NxAntiFreeze.h"

namespace {
// Takes one message off the thread's queue and handles it as the main loop would. A quit
// message is not dispatched: it marks the application as ending.
bool ProcessOneMessage() {
    MSG msg;
    if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) return false;
    if (msg.message == WM_QUIT) {
        TNxAntiFreeze::MarkApplicationTerminated();
    } else {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return true;
}
} // namespace

void TNxAntiFreeze::PumpMessages() {
    if (ApplicationHasPriority()) {
        while (ProcessOneMessage()) {
        }
    } else {
        // Look first without removing anything; handle exactly the one waiting message.
        MSG msg;
        if (PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE)) ProcessOneMessage();
    }
}
