#pragma once
// One installer at a time on the machine: two runs would write the same files and the same
// uninstall entry. A named mutex in the global namespace also sees a copy that a remote-support
// tool started in another session.
#include <windows.h>

inline constexpr const wchar_t* kSetupMutexName = L"Global\\Brindlewick.Marrowgate.Setup";

class TSingleInstance {
public:
    explicit TSingleInstance(const wchar_t* name = kSetupMutexName);
    ~TSingleInstance();
    TSingleInstance(const TSingleInstance&) = delete;
    TSingleInstance& operator=(const TSingleInstance&) = delete;

    // Another process holds the name (or made it where this user may not open it).
    bool AnotherIsRunning() const { return FAnother; }

private:
    HANDLE FMutex = nullptr;
    bool FAnother = false;
};
