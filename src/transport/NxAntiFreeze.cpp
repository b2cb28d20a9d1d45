#include "transport/NxAntiFreeze.h"

#include <atomic>

namespace {
std::atomic<bool> gApplicationTerminated{false};
} // namespace

bool TNxAntiFreeze::ApplicationTerminated() {
    return gApplicationTerminated.load();
}

void TNxAntiFreeze::MarkApplicationTerminated(bool value) {
    gApplicationTerminated.store(value);
}
