#include "setup/RunningCopies.h"

#include <cstring>

#include "setup/Application.h"

namespace {
constexpr DWORD kSnapshotProcesses = 2; // TH32CS_SNAPPROCESS

using TCreateSnapshot = HANDLE(WINAPI*)(DWORD, DWORD);
using TWalk = BOOL(WINAPI*)(HANDLE, TProcessEntryA*);

template <typename T> T KernelFunction(const char* name) {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    return kernel ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(kernel, name))) : nullptr;
}

// The file's identity: its volume and its index there.
bool FileIdentity(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info) {
    const HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    const bool known = GetFileInformationByHandle(file, &info) != FALSE;
    CloseHandle(file);
    return known;
}

bool RunsImage(HANDLE process, const std::wstring& path) {
    wchar_t image[MAX_PATH * 2] = {};
    DWORD length = MAX_PATH * 2;
    BY_HANDLE_FILE_INFORMATION running{}, installed{};
    return QueryFullProcessImageNameW(process, 0, image, &length) && FileIdentity(image, running) &&
           FileIdentity(path, installed) && running.dwVolumeSerialNumber == installed.dwVolumeSerialNumber &&
           running.nFileIndexHigh == installed.nFileIndexHigh &&
           running.nFileIndexLow == installed.nFileIndexLow;
}

struct TWindowSearch {
    DWORD ProcessId;
    bool Found;
};

BOOL CALLBACK AskToClose(HWND window, LPARAM data) {
    auto* search = reinterpret_cast<TWindowSearch*>(data);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->ProcessId && IsWindowVisible(window) && !GetWindow(window, GW_OWNER)) {
        PostMessageW(window, WM_CLOSE, 0, 0);
        search->Found = true;
    }
    return TRUE;
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
    api.SessionOf = [](DWORD id, DWORD* session) { return ProcessIdToSessionId(id, session) != FALSE; };
    api.OpenProcess = [](DWORD access, DWORD id) { return ::OpenProcess(access, FALSE, id); };
    api.RunsImage = RunsImage;
    api.CloseWindows = [](DWORD id) {
        TWindowSearch search{id, false};
        EnumWindows(AskToClose, reinterpret_cast<LPARAM>(&search));
        return search.Found;
    };
    api.WaitForEnd = [](HANDLE process, DWORD ms) {
        return WaitForSingleObject(process, ms) == WAIT_OBJECT_0;
    };
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

// Closes a handle of the walk on every way out, also when a failure report raises.
struct THandleGuard {
    const TProcessApi& Api;
    HANDLE Handle;
    ~THandleGuard() {
        if (Handle) Api.CloseHandle(Handle);
    }
};

// Stops one copy that runs program; false when it could not be stopped.
bool StopCopy(const TProcessApi& api, DWORD id, HANDLE process) {
    if (api.CloseWindows(id) && api.WaitForEnd(process, kCloseWaitMs)) return true;
    const THandleGuard terminator{api, api.OpenProcess(PROCESS_TERMINATE, id)};
    return terminator.Handle && api.TerminateProcess(terminator.Handle, 0) &&
           api.WaitForEnd(process, kEndWaitMs);
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

void StopRunningCopies(const std::wstring& program, const TProcessApi& api) {
    DWORD ownSession = 0;
    // Without knowing its own session the walk cannot tell a copy of this user's from another's.
    if (!api.SessionOf(GetCurrentProcessId(), &ownSession)) return;
    const HANDLE snapshot = api.CreateSnapshot(kSnapshotProcesses, 0);
    if (snapshot == INVALID_HANDLE_VALUE || snapshot == nullptr) return;
    const THandleGuard guard{api, snapshot};
    const std::string wanted = TrimControls(WideToAnsi(program.substr(program.find_last_of(L"\\/") + 1)));
    TProcessEntryA entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = api.First(snapshot, &entry); more; more = api.Next(snapshot, &entry)) {
        const std::string exeFile(entry.szExeFile, strnlen(entry.szExeFile, sizeof(entry.szExeFile)));
        if (TrimControls(exeFile) != wanted) continue;
        const DWORD id = entry.th32ProcessID;
        DWORD session = 0;
        if (!api.SessionOf(id, &session) || session != ownSession) continue;
        const THandleGuard process{api, api.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, id)};
        if (!process.Handle) {
            api.ReportFailure();
            continue;
        }
        if (!api.RunsImage(process.Handle, program)) continue;
        if (!StopCopy(api, id, process.Handle)) api.ReportFailure();
    }
}
