#pragma once
// The installation log: a UTF-8 text file with a byte-order mark (so that Notepad shows the
// Korean texts), one line per event, each line starting with the local time to the
// millisecond. A log that cannot be opened or written stays silent: nothing about it may
// fail or slow the installation.
#include <windows.h>

#include <cstddef>
#include <memory>
#include <string>

class TInstallLog {
public:
    // How many logs of the name pattern a new log in a folder leaves there, itself included.
    static constexpr size_t kKeptLogs = 5;
    // A taken name gets "-2", "-3", ... (logs of the same second: after the time); when this
    // many are taken the log stays closed, and the run goes on without one.
    static constexpr int kMaxLogsPerSecond = 99;

    // Creates path, a new file (an existing name is never opened: it might be a link to any
    // file the elevated Setup may write), and writes the heading lines (the Setup version, the
    // Windows version and the code pages). Never throws; IsOpen tells.
    explicit TInstallLog(const std::wstring& path);
    ~TInstallLog();
    TInstallLog(const TInstallLog&) = delete;
    TInstallLog& operator=(const TInstallLog&) = delete;

    // A new log named path or, when that name is taken, the first free one of path with "-2"
    // to "-99" before its extension (/LOG).
    static std::unique_ptr<TInstallLog> CreateNamed(const std::wstring& path);
    // A new log in folder named LogFileName(the local time now) with the first free sequence,
    // after which only the newest kKeptLogs logs of that pattern remain there.
    static std::unique_ptr<TInstallLog> CreateInFolder(const std::wstring& folder);
    // The same in the user's temporary folder (%TEMP%).
    static std::unique_ptr<TInstallLog> CreateInTemp();
    // CreateNamed(path), or CreateInTemp when path is empty (no /LOG).
    static std::unique_ptr<TInstallLog> Create(const std::wstring& path);

    bool IsOpen() const { return FFile != INVALID_HANDLE_VALUE; }
    // Why the file could not be created (ERROR_FILE_EXISTS: the name is taken).
    DWORD CreateError() const { return FCreateError; }
    const std::wstring& Path() const { return FPath; }

    // One line: a text in the ANSI code page, or a wide one. Line breaks inside it become
    // blanks, so that every line of the file starts with its time.
    void Write(const std::string& text);
    void Write(const std::wstring& text);

private:
    void WriteUtf8(std::string line);

    std::wstring FPath;
    HANDLE FFile = INVALID_HANDLE_VALUE;
    DWORD FCreateError = 0;
};

// "Marrowgate-Setup-YYYYMMDD-HHMMSS.log" for that local time; sequence 2 and up add "-N"
// after the time (a second log within the same second).
std::string LogFileName(const SYSTEMTIME& time, int sequence = 1);
// The time and sequence of a log file's name, or false for a name of another pattern.
bool ParseLogFileName(const std::string& name, std::string* stamp, int* sequence);
// Removes the logs of that pattern in folder, oldest first, until keep remain. Other files
// stay; failures are silent.
void RemoveOldLogs(const std::wstring& folder, size_t keep);
// A URL as a log may hold it: without a user name and password before the host.
std::string WithoutCredentials(const std::string& url);
// The local time as a log line starts: "YYYY-MM-DD HH:MM:SS.mmm".
std::string LogTimeText(const SYSTEMTIME& time);
