#pragma once
// Stops every running copy of a program before its files are replaced.
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
    std::function<HANDLE(DWORD access, BOOL inherit, DWORD processId)> OpenProcess;
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

// Terminates (exit code 0) every process whose image name, trimmed, equals the given one,
// trimmed, byte for byte and case-sensitively. One failure box per process that could not
// be stopped; nothing is waited for.
void TerminateRunningCopies(const std::string& imageName, const TProcessApi& api = SystemProcessApi());
