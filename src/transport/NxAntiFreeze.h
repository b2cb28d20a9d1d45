#pragma once
// The anti-freeze of a windowing application.
//
// Windows: PumpMessages serves the calling thread's message queue (peek, translate,
// dispatch until empty; a quit message marks the application as ending and is not
// dispatched; without ApplicationHasPriority at most one message, no idle processing).
//
// Native: there is no message queue; PumpMessages calls the pump that the application
// (or a test) installs with SetApplicationPump, so that the slicing logic is the same.
#include <functional>

#include "transport/NxAntiFreezeBase.h"

class TNxAntiFreeze : public TNxAntiFreezeBase {
public:
    TNxAntiFreeze() = default;
    void PumpMessages() override;

    // A quit message was seen while pumping (or MarkApplicationTerminated was called).
    static bool ApplicationTerminated();
    static void MarkApplicationTerminated(bool value = true);

#ifndef _WIN32
    // The native application's message pump. Called by PumpMessages with
    // allPending = ApplicationHasPriority: true means "process everything pending",
    // false means "at most one message, without idle processing". None installed: a
    // tick does nothing.
    using TNxApplicationPump = std::function<void(bool allPending)>;
    static void SetApplicationPump(TNxApplicationPump pump);
#endif
};
