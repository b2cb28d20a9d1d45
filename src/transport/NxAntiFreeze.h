#pragma once
// The anti-freeze of a windowing application.
//
// Windows: PumpMessages serves the calling thread's message queue (peek until empty; a
// quit message marks the application as ending and is not dispatched; without
// ApplicationHasPriority at most one message, no idle processing). Each message is handled
// as the application's main loop handles it, through the handler the application installs
// with SetMessageHandler (its keyboard filter, then translate and dispatch).
//
// Native: there is no message queue; PumpMessages calls the pump that the application
// (or a test) installs with SetApplicationPump, so that the slicing logic is the same.
#include <functional>

#include "transport/NxAntiFreezeBase.h"

#ifdef _WIN32
struct tagMSG;
#endif

class TNxAntiFreeze : public TNxAntiFreezeBase {
public:
    TNxAntiFreeze() = default;
    void PumpMessages() override;
#ifdef _WIN32
    bool WaitForMessage(int32_t milliseconds) override;
    std::function<void()> MessageWaker() override;
#endif

    // A quit message was seen while pumping (or MarkApplicationTerminated was called).
    static bool ApplicationTerminated();
    static void MarkApplicationTerminated(bool value = true);

#ifdef _WIN32
    // The application's handling of one message taken off the queue, the same as in its
    // main loop. None installed: translate and dispatch (wide).
    using TNxMessageHandler = std::function<void(tagMSG& msg)>;
    static void SetMessageHandler(TNxMessageHandler handler);
#else
    // The native application's message pump. Called by PumpMessages with
    // allPending = ApplicationHasPriority: true means "process everything pending",
    // false means "at most one message, without idle processing". None installed: a
    // tick does nothing.
    using TNxApplicationPump = std::function<void(bool allPending)>;
    static void SetApplicationPump(TNxApplicationPump pump);
#endif
};
