#pragma once
// One installer at a time on the machine: two runs would write the same files and the same
// uninstall entry. The named mutex lives in a private namespace whose boundary holds the
// Administrators group, so that only an administrator's process can make or open it: a name
// in the global namespace could be taken first by any local user, and every Setup would then
// think another copy was running. The namespace is machine-wide, so it also sees a copy that a
// remote-support tool started in another session. Where the system has no private namespaces
// (Wine) the global name it is.
#include <windows.h>

#include <string>

inline constexpr const wchar_t* kSetupMutexName = L"Brindlewick.Marrowgate.Setup";

class TSingleInstance {
public:
    explicit TSingleInstance(const std::wstring& name = kSetupMutexName);
    ~TSingleInstance();
    TSingleInstance(const TSingleInstance&) = delete;
    TSingleInstance& operator=(const TSingleInstance&) = delete;

    // Another process holds the name (or made it where this process may not open it).
    bool AnotherIsRunning() const { return FAnother; }
    // Where the name lives, for the log.
    const std::string& Where() const { return FWhere; }

private:
    HANDLE FNamespace = nullptr;
    HANDLE FMutex = nullptr;
    bool FAnother = false;
    std::string FWhere;
};
