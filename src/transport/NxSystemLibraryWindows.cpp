#include "transport/NxSystemLibrary.h"

#include <windows.h>

#include "base/SystemError.h"

void* NxLoadSystemLibrary(const char* name, std::string& why) {
    // By its full path in the system folder: a bare name would be searched for in the
    // program's own folder first, where anyone who can write to it (a download folder) could
    // put a library of the same name. The altered search path makes the library's own
    // imports come from the system folder too.
    char folder[MAX_PATH + 1] = {};
    const UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    if (length == 0 || length > MAX_PATH) {
        why = std::string(name) + ": " + SysErrorMessage(GetLastError());
        return nullptr;
    }
    const std::string path = std::string(folder, length) + "\\" + name;
    HMODULE library = LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!library) why = path + ": " + SysErrorMessage(GetLastError());
    return reinterpret_cast<void*>(library);
}

void* NxSystemLibraryFunction(void* library, const char* name, std::string& why) {
    void* address = reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
    if (!address) why = std::string(name) + ": " + SysErrorMessage(GetLastError());
    return address;
}
