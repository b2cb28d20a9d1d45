#include <mutex>

#include "transport/NxAntiFreeze.h"

namespace {
std::mutex gPumpLock;
TNxAntiFreeze::TNxApplicationPump gPump;
} // namespace

void TNxAntiFreeze::SetApplicationPump(TNxApplicationPump pump) {
    std::lock_guard<std::mutex> lock(gPumpLock);
    gPump = std::move(pump);
}

void TNxAntiFreeze::PumpMessages() {
    TNxApplicationPump pump;
    {
        std::lock_guard<std::mutex> lock(gPumpLock);
        pump = gPump;
    }
    // Called outside the lock: the pump may run handlers that install another pump.
    if (pump) pump(ApplicationHasPriority());
}
