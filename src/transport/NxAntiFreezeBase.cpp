#include "transport/NxAntiFreezeBase.h"

namespace {
// Recorded during static initialisation, which runs on the thread that starts the program.
std::atomic<std::thread::id> gMainThread{std::this_thread::get_id()};
std::atomic<TNxAntiFreezeBase*> gInForce{nullptr};
} // namespace

TNxAntiFreezeBase::TNxAntiFreezeBase() {
    gInForce.store(this);
}

TNxAntiFreezeBase::~TNxAntiFreezeBase() {
    gInForce.store(nullptr);
}

bool TNxAntiFreezeBase::AntiFreezeInForce() {
    if (!IsMainThread()) return false;
    const TNxAntiFreezeBase* af = gInForce.load();
    return af && af->Active();
}

void TNxAntiFreezeBase::AntiFreezeTick(bool idle, bool overrideIdle) {
    if (!AntiFreezeInForce()) return;
    TNxAntiFreezeBase* af = gInForce.load();
    if (af && af->Active() && (idle || !af->OnlyWhenIdle() || overrideIdle)) af->PumpMessages();
}

TNxAntiFreezeBase* TNxAntiFreezeBase::InForce() {
    return gInForce.load();
}

std::thread::id TNxAntiFreezeBase::MainThread() {
    return gMainThread.load();
}

void TNxAntiFreezeBase::SetMainThread(std::thread::id id) {
    gMainThread.store(id);
}

bool TNxAntiFreezeBase::IsMainThread() {
    return std::this_thread::get_id() == gMainThread.load();
}
