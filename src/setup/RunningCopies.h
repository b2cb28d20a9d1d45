#pragma once
// Stops the running copies of the installed program before its files are replaced: only those
// in this session whose image is the installed file itself. Each is asked to close its windows
// first, and ended only when it has not closed in time.
#include <windows.h>

#include <functional>
#include <string>

// A process entry in the ANSI layout of the system's process snapshot; only the size, the
// process identifier and the file name are used.
struct TProcessEntryA {
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ProcessID;
    ULONG_PTR th32DefaultHeapID;
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    LONG pcPriClassBase;
    DWORD dwFlags;
    CHAR szExeFile[MAX_PATH];
};
static_assert(sizeof(TProcessEntryA) == 296, "the snapshot functions expect the 296-byte ANSI entry");

// The system operations the walk needs. SystemProcessApi() gives the real ones; tests put in
// their own to see every call.
struct TProcessApi {
    // Returns INVALID_HANDLE_VALUE (or 0) when no snapshot can be taken.
    std::function<HANDLE(DWORD flags, DWORD processId)> CreateSnapshot;
    std::function<BOOL(HANDLE snapshot, TProcessEntryA* entry)> First;
    std::function<BOOL(HANDLE snapshot, TProcessEntryA* entry)> Next;
    // The session a process runs in; false when the system does not tell.
    std::function<bool(DWORD processId, DWORD* session)> SessionOf;
    // A handle with exactly that access, never inheritable; nullptr when refused.
    std::function<HANDLE(DWORD access, DWORD processId)> OpenProcess;
    // Whether the process runs the file at path (the same file, however it is named).
    std::function<bool(HANDLE process, const std::wstring& path)> RunsImage;
    // Asks the process's visible top-level windows to close; false when it has none.
    std::function<bool(DWORD processId)> CloseWindows;
    // True when the process has ended within the time.
    std::function<bool(HANDLE process, DWORD milliseconds)> WaitForEnd;
    std::function<BOOL(HANDLE process, UINT exitCode)> TerminateProcess;
    std::function<BOOL(HANDLE handle)> CloseHandle;
    // The modal "실패" box for one process that could not be stopped.
    std::function<void()> ReportFailure;
};

// The snapshot functions are looked up by name in the kernel library on first use; when
// they are missing, the snapshot fails and the walk is empty.
const TProcessApi& SystemProcessApi();

// Removes leading and trailing characters whose code is 32 or less.
std::string TrimControls(const std::string& text);

// How long a copy asked to close its windows has, and how long an ended one is waited for.
inline constexpr DWORD kCloseWaitMs = 5000;
inline constexpr DWORD kEndWaitMs = 5000;

// Stops every process whose image name, trimmed, equals program's file name, trimmed (byte
// for byte and case-sensitively, as the snapshot names them), that runs in this session and
// whose image is program itself: a copy elsewhere, another user's, or another session's is
// left alone. It is opened only to be looked at and waited for; when it has windows they are
// asked to close; only a copy still running after kCloseWaitMs is ended (exit code 0), through
// a handle that may do nothing else. One failure report per copy in this session that could not
// be looked at or stopped.
void StopRunningCopies(const std::wstring& program, const TProcessApi& api = SystemProcessApi());
