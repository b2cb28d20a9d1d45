#include "setup/InstallLog.h"

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "base/Format.h"
#include "setup/CodePage.h"
#include "setup/SetupVersion.h"

namespace {
constexpr const char* kLogPrefix = "Marrowgate-Setup-";
constexpr const char* kLogSuffix = ".log";
// "YYYYMMDD-HHMMSS"
constexpr size_t kStampLength = 15;

std::wstring WithSlash(const std::wstring& folder) {
    if (folder.empty() || folder.back() == L'\\' || folder.back() == L'/') return folder;
    return folder + L"\\";
}

// path with "-N" before its extension (or at its end without one).
std::wstring Numbered(const std::wstring& path, int number) {
    const size_t name = path.find_last_of(L"\\/:");
    const size_t dot = path.rfind(L'.');
    const size_t at =
        dot != std::wstring::npos && (name == std::wstring::npos || dot > name) ? dot : path.size();
    return path.substr(0, at) + L"-" + std::to_wstring(number) + path.substr(at);
}

// The version the system reports of itself: GetVersionEx answers what the program's
// manifest claims to support, RtlGetVersion the truth.
std::string WindowsVersionText() {
    using TRtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    auto* getVersion = ntdll ? reinterpret_cast<TRtlGetVersion>(
                                   reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
                             : nullptr;
    if (!getVersion || getVersion(&info) != 0) return "unknown";
    std::string text =
        Format("%lu.%lu build %lu", info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber);
    const std::string servicePack = WideToAnsi(info.szCSDVersion);
    if (!servicePack.empty()) text += " " + servicePack;
    // Under Wine the Windows version is whatever the prefix is set to; name Wine as well.
    using TWineVersion = const char*(CDECL*)();
    auto* wine = ntdll ? reinterpret_cast<TWineVersion>(
                             reinterpret_cast<void*>(GetProcAddress(ntdll, "wine_get_version")))
                       : nullptr;
    if (wine) text += std::string(" (Wine ") + wine() + ")";
    return text;
}
} // namespace

std::string LogFileName(const SYSTEMTIME& time, int sequence) {
    std::string name = Format("%s%04u%02u%02u-%02u%02u%02u", kLogPrefix, time.wYear, time.wMonth, time.wDay,
                              time.wHour, time.wMinute, time.wSecond);
    if (sequence > 1) name += Format("-%d", sequence);
    return name + kLogSuffix;
}

bool ParseLogFileName(const std::string& name, std::string* stamp, int* sequence) {
    const std::string prefix = kLogPrefix, suffix = kLogSuffix;
    if (name.size() < prefix.size() + kStampLength + suffix.size()) return false;
    if (name.compare(0, prefix.size(), prefix) != 0) return false;
    if (name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) return false;
    const std::string middle = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    for (size_t i = 0; i < kStampLength; ++i) {
        const bool dash = i == 8;
        if (dash ? middle[i] != '-' : (middle[i] < '0' || middle[i] > '9')) return false;
    }
    int number = 1;
    if (middle.size() > kStampLength) {
        const std::string rest = middle.substr(kStampLength);
        if (rest.size() < 2 || rest.size() > 3 || rest[0] != '-') return false;
        number = 0;
        for (size_t i = 1; i < rest.size(); ++i) {
            if (rest[i] < '0' || rest[i] > '9') return false;
            number = number * 10 + (rest[i] - '0');
        }
        if (number < 2) return false;
    }
    if (stamp) *stamp = middle.substr(0, kStampLength);
    if (sequence) *sequence = number;
    return true;
}

void RemoveOldLogs(const std::wstring& folder, size_t keep) {
    const std::wstring base = WithSlash(folder);
    std::vector<std::pair<std::pair<std::string, int>, std::wstring>> logs;
    WIN32_FIND_DATAW found;
    const HANDLE search =
        FindFirstFileW((base + AnsiToWide(kLogPrefix) + L"*" + AnsiToWide(kLogSuffix)).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        std::string stamp;
        int sequence = 0;
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            ParseLogFileName(WideToAnsi(found.cFileName), &stamp, &sequence))
            logs.push_back({{stamp, sequence}, found.cFileName});
    } while (FindNextFileW(search, &found));
    FindClose(search);
    if (logs.size() <= keep) return;
    // The names sort by their time, then by their sequence within the second.
    std::sort(logs.begin(), logs.end());
    for (size_t i = 0; i + keep < logs.size(); ++i)
        DeleteFileW((base + logs[i].second).c_str());
}

std::string WithoutCredentials(const std::string& url) {
    const size_t scheme = url.find("://");
    const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t end = std::min(url.find_first_of("/?#", start), url.size());
    const size_t at = url.rfind('@', end - 1);
    if (at == std::string::npos || at < start || end == start) return url;
    return url.substr(0, start) + url.substr(at + 1);
}

std::string LogTimeText(const SYSTEMTIME& time) {
    return Format("%04u-%02u-%02u %02u:%02u:%02u.%03u", time.wYear, time.wMonth, time.wDay, time.wHour,
                  time.wMinute, time.wSecond, time.wMilliseconds);
}

TInstallLog::TInstallLog(const std::wstring& path) : FPath(path) {
    FFile = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (!IsOpen()) {
        FCreateError = GetLastError();
        return;
    }
    static const char kBom[] = "\xEF\xBB\xBF";
    DWORD written = 0;
    if (!WriteFile(FFile, kBom, 3, &written, nullptr) || written != 3) {
        CloseHandle(FFile);
        FFile = INVALID_HANDLE_VALUE;
        return;
    }
    Write(std::string("Marrowgate Setup ") + kSetupVersion);
    Write("Windows " + WindowsVersionText() +
          Format(", ANSI code page %u, OEM code page %u", GetACP(), GetOEMCP()));
}

TInstallLog::~TInstallLog() {
    if (IsOpen()) CloseHandle(FFile);
}

namespace {
// The first name of the series that can be created new: a name that is taken (a log of the
// same second, or anything else) is left alone, never truncated. The last name's log, open
// or not, when every one is taken.
template <typename TName> std::unique_ptr<TInstallLog> FirstFree(TName name) {
    for (int number = 1;; ++number) {
        auto log = std::make_unique<TInstallLog>(name(number));
        if (log->IsOpen() || number > TInstallLog::kMaxLogsPerSecond ||
            log->CreateError() != ERROR_FILE_EXISTS)
            return log;
    }
}
} // namespace

std::unique_ptr<TInstallLog> TInstallLog::CreateNamed(const std::wstring& path) {
    return FirstFree([&](int number) { return number == 1 ? path : Numbered(path, number); });
}

std::unique_ptr<TInstallLog> TInstallLog::CreateInFolder(const std::wstring& folder) {
    const std::wstring base = WithSlash(folder);
    SYSTEMTIME now;
    GetLocalTime(&now);
    auto log = FirstFree([&](int number) { return base + AnsiToWide(LogFileName(now, number)); });
    if (log->IsOpen()) RemoveOldLogs(base, kKeptLogs);
    return log;
}

std::unique_ptr<TInstallLog> TInstallLog::Create(const std::wstring& path) {
    return path.empty() ? CreateInTemp() : CreateNamed(path);
}

std::unique_ptr<TInstallLog> TInstallLog::CreateInTemp() {
    wchar_t temp[MAX_PATH + 1] = {};
    const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
    return CreateInFolder(length > 0 && length <= MAX_PATH ? std::wstring(temp, length)
                                                           : std::wstring(L".\\"));
}

void TInstallLog::Write(const std::string& text) {
    if (IsOpen()) WriteUtf8(WideToCodePage(AnsiToWide(text), CP_UTF8));
}

void TInstallLog::Write(const std::wstring& text) {
    if (IsOpen()) WriteUtf8(WideToCodePage(text, CP_UTF8));
}

void TInstallLog::WriteUtf8(std::string line) {
    std::replace(line.begin(), line.end(), '\r', ' ');
    std::replace(line.begin(), line.end(), '\n', ' ');
    SYSTEMTIME now;
    GetLocalTime(&now);
    const std::string all = LogTimeText(now) + " " + line + "\r\n";
    DWORD written = 0;
    // A write that fails (a full disk) ends the log rather than each later step.
    if (!WriteFile(FFile, all.data(), static_cast<DWORD>(all.size()), &written, nullptr) ||
        written != all.size()) {
        CloseHandle(FFile);
        FFile = INVALID_HANDLE_VALUE;
    }
}
