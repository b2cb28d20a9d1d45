#include "setup/StartReports.h"

#include <windows.h>

#include "setup/Application.h"
#include "setup/InstallLog.h"
#include "setup/SetupMainDesign.h"

namespace {
constexpr const wchar_t* kAlreadyRunningText = L"설치 프로그램이 이미 실행 중입니다.";

std::string ExitCodeNote(int code) {
    std::string text = "Exit code ";
    return text += std::to_string(code);
}

// Brings the other copy's window to the front; false when it has none on this desktop.
bool BringOtherCopyForward() {
    const HWND other = FindWindowW(kSetupMainClassName, nullptr);
    if (!other || !IsWindowVisible(other)) return false;
    if (IsIconic(other)) ShowWindow(other, SW_RESTORE);
    SetForegroundWindow(other);
    return true;
}
} // namespace

int ShowUsage(const TSetupCommandLine& commandLine) {
    const int code = commandLine.Valid() ? ecInstalled : ecBadCommandLine;
    if (commandLine.Mode == TSetupMode::smVerySilent) {
        const auto log = TInstallLog::Create(commandLine.LogPath);
        log->Write(CommandLineNote());
        if (!commandLine.Valid()) log->Write(L"Bad command line: " + commandLine.Error);
        // One log line per line of the usage text, so that each keeps its time.
        const std::wstring usage = SetupUsageText();
        for (size_t start = 0; start < usage.size();) {
            size_t end = usage.find(L"\r\n", start);
            if (end == std::wstring::npos) end = usage.size();
            if (end > start) log->Write(usage.substr(start, end - start));
            start = end + 2;
        }
        log->Write(ExitCodeNote(code));
        return code;
    }
    MessageBoxW(nullptr, SetupUsageBoxText(commandLine).c_str(), Application().Title().c_str(),
                MB_OK | (commandLine.Valid() ? MB_ICONINFORMATION : MB_ICONERROR));
    return code;
}

int ReportAlreadyRunning(const TSetupCommandLine& commandLine) {
    if (commandLine.Unattended()) {
        const auto log = TInstallLog::Create(commandLine.LogPath);
        log->Write(CommandLineNote());
        log->Write("Another copy of Setup is running: nothing was done");
        log->Write(ExitCodeNote(ecAlreadyRunning));
    } else if (!BringOtherCopyForward()) {
        MessageBoxW(nullptr, kAlreadyRunningText, Application().Title().c_str(), MB_OK | MB_ICONINFORMATION);
    }
    return ecAlreadyRunning;
}
