#pragma once
// Tests in other processes use the same legacy folder, registry keys and desktop: a
// machine-wide mutex lets one at a time at them. Waits at most a minute.
#include <windows.h>

class TSystemStateLock {
public:
    TSystemStateLock() : FMutex(CreateMutexW(nullptr, FALSE, L"nx-setup-tests-system-state")) {
        DWORD rc = FMutex ? WaitForSingleObject(FMutex, 60000) : WAIT_FAILED;
        FOwned = rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED;
    }
    ~TSystemStateLock() {
        if (FOwned) ReleaseMutex(FMutex);
        if (FMutex) CloseHandle(FMutex);
    }
    TSystemStateLock(const TSystemStateLock&) = delete;
    TSystemStateLock& operator=(const TSystemStateLock&) = delete;
    bool Owned() const { return FOwned; }

private:
    HANDLE FMutex;
    bool FOwned = false;
};
