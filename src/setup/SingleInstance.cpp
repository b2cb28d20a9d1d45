#include "setup/SingleInstance.h"

TSingleInstance::TSingleInstance(const wchar_t* name) {
    FMutex = CreateMutexW(nullptr, FALSE, name);
    const DWORD error = GetLastError();
    // A copy running as another user may have made the mutex with rights that keep us out.
    FAnother = error == ERROR_ALREADY_EXISTS || (!FMutex && error == ERROR_ACCESS_DENIED);
}

TSingleInstance::~TSingleInstance() {
    if (FMutex) CloseHandle(FMutex);
}
