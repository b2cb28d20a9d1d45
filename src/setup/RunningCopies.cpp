#include "setup/RunningCopies.h"

#include <cstring>

#include "setup/Application.h"

namespace {
constexpr DWORD kSnapshotProcesses = 2;       // TH32CS_SNAPPROCESS
constexpr DWORD kAllProcessAccess = 0x1F0FFF; // PROCESS_ALL_ACCESS as the older systems define it

using TCreateSnapshot = HANDLE(WINAPI*)(DWORD, DWORD);
using TWalk = BOOL(WINAPI*)(HANDLE, TProcessEntryA*);

template <typename T> T KernelFunction(const char* name) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(kernel, name))) : nullptr;
}

TProcessApi MakeSystemApi() {
    // Looked up once, on the first walk: older systems lack the Toolhelp functions.
    static const auto createSnapshot = KernelFunction<TCreateSnapshot>("CreateToolhelp32Snapshot");
    static const auto first = KernelFunction<TWalk>("Process32First");
    static const auto next = KernelFunction<TWalk>("Process32Next");
    TProcessApi api;
    api.CreateSnapshot = [](DWORD flags, DWORD id) {
        return createSnapshot && first && next ? createSnapshot(flags, id) : INVALID_HANDLE_VALUE;
    };
    api.First = [](HANDLE snapshot, TProcessEntryA* entry) { return first(snapshot, entry); };
    api.Next = [](HANDLE snapshot, TProcessEntryA* entry) { return next(snapshot, entry); };
    api.OpenProcess = [](DWORD access, BOOL inherit, DWORD id) { return ::OpenProcess(access, inherit, id); };
    api.TerminateProcess = [](HANDLE process, UINT code) { return ::TerminateProcess(process, code); };
    api.CloseHandle = [](HANDLE handle) { return ::CloseHandle(handle); };
    api.ReportFailure = [] {
        // No owner: centred on the screen; task-modal, so the wizard cannot be used meanwhile.
        MessageBoxW(nullptr, L"실패", Application().Title().c_str(), MB_OK | MB_TASKMODAL);
    };
    return api;
}

bool IsControlOrBlank(char c) {
    return static_cast<unsigned char>(c) <= 32;
}
} // namespace

const TProcessApi& SystemProcessApi() {
    static const TProcessApi api = MakeSystemApi();
    return api;
}

std::string TrimControls(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsControlOrBlank(text[begin]))
        ++begin;
    while (end > begin && IsControlOrBlank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

void TerminateRunningCopies(const std::string& imageName, const TProcessApi& api) {
    const HANDLE snapshot = api.CreateSnapshot(kSnapshotProcesses, 0);
    if (snapshot == INVALID_HANDLE_VALUE || snapshot == nullptr) return;
    // Closed on every way out, also when a failure report raises.
    struct TSnapshotGuard {
        const TProcessApi& Api;
        HANDLE Handle;
        ~TSnapshotGuard() { Api.CloseHandle(Handle); }
    } guard{api, snapshot};
    const std::string wanted = TrimControls(imageName);
    TProcessEntryA entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = api.First(snapshot, &entry); more; more = api.Next(snapshot, &entry)) {
        const std::string exeFile(entry.szExeFile, strnlen(entry.szExeFile, sizeof(entry.szExeFile)));
        if (TrimControls(exeFile) != wanted) continue;
        const HANDLE process = api.OpenProcess(kAllProcessAccess, TRUE, entry.th32ProcessID);
        // Asked even without a handle: the failure then shows like any other.
        const bool stopped = api.TerminateProcess(process, 0) != FALSE;
        if (process) api.CloseHandle(process);
        if (!stopped) api.ReportFailure();
    }
}
