#include "transport/NxSystemLibrary.h"

#include <windows.h>

#include "base/SystemError.h"

namespace {
#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
constexpr DWORD LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x00000800;
#endif

FARPROC KernelFunction(const char* name) {
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel ? GetProcAddress(kernel, name) : nullptr;
}

// The LOAD_LIBRARY_SEARCH flags exist from Windows 8 on, and on Windows 7 with KB2533623,
// which brought AddDllDirectory with them.
bool HasSearchFlags() {
    static const bool has = KernelFunction("AddDllDirectory") != nullptr;
    return has;
}

std::string Ansi(const std::wstring& text) {
    const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                      nullptr, nullptr);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr,
                            nullptr);
    return out;
}
} // namespace

void* NxLoadSystemLibrary(const char* name, std::string& why) {
    // By its full path in the system folder: a bare name would be searched for in the
    // program's own folder first, where anyone who can write to it (a download folder) could
    // put a library of the same name. The libraries it needs come from the system folder too.
    wchar_t folder[MAX_PATH + 1] = {};
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length > MAX_PATH) {
        const DWORD code = GetLastError();
        why = std::string(name) + ": " + SysErrorMessage(code);
        SetLastError(code);
        return nullptr;
    }
    std::wstring path(folder, length);
    path += L'\\';
    for (const char* c = name; *c; ++c)
        path += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    // Without the search flags the altered search path looks beside the library first, in
    // the system folder.
    HMODULE library =
        LoadLibraryExW(path.c_str(), nullptr,
                       HasSearchFlags() ? LOAD_LIBRARY_SEARCH_SYSTEM32 : LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!library) {
        const DWORD code = GetLastError();
        why = Ansi(path) + ": " + SysErrorMessage(code);
        SetLastError(code);
    }
    return reinterpret_cast<void*>(library);
}

void* NxSystemLibraryFunction(void* library, const char* name, std::string& why) {
    void* address = reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
    if (!address) why = std::string(name) + ": " + SysErrorMessage(GetLastError());
    return address;
}

std::string NxRestrictLibrarySearch() {
    using TSetDefaultDllDirectories = BOOL(WINAPI*)(DWORD);
    const auto setDefault = reinterpret_cast<TSetDefaultDllDirectories>(
        reinterpret_cast<void*>(KernelFunction("SetDefaultDllDirectories")));
    if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32))
        return "Library search: the system folder only";
    const DWORD code = setDefault ? GetLastError() : 0;
    // Where the default directories cannot be set, the current folder at least leaves the
    // search (the program's own folder stays in it).
    const bool removed = SetDllDirectoryW(L"") != FALSE;
    return std::string("Library search: ") +
           (setDefault ? "SetDefaultDllDirectories failed (" + SysErrorMessage(code) + ")"
                       : std::string("SetDefaultDllDirectories is missing")) +
           (removed ? "; the current folder is out of it" : "; SetDllDirectory failed too");
}
