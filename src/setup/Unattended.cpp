#include "setup/Unattended.h"

#include <windows.h>

#include <memory>

#include "setup/Application.h"
#include "setup/InstallLog.h"
#include "setup/InstallRun.h"
#include "setup/ProductStart.h"
#include "setup/RunningCopies.h"
#include "setup/SetupMain.h"
#include "setup/SetupMainDesign.h"

namespace {
constexpr const wchar_t* kAlreadyRunningText = L"설치 프로그램이 이미 실행 중입니다.";

// A run without any window: the log holds its status texts, nobody can ask it to stop but
// the system (a quit message), and a failure shows nothing.
class TWindowlessView : public TInstallView {
public:
    void ShowStatus(const std::wstring&) override {}
    void ProgressBegin(int32_t) override {}
    void ProgressAdvance(int32_t) override {}
    void ProgressEnd() override {}
    bool ProcessMessages() override {
        Application().ProcessMessages();
        return Application().Terminated();
    }
    void ReportError(const std::string&) override {}
};

std::unique_ptr<TInstallLog> OpenLog(const TSetupCommandLine& commandLine) {
    return commandLine.LogPath.empty() ? TInstallLog::CreateInTemp()
                                       : TInstallLog::CreateNamed(commandLine.LogPath);
}

// Stops running copies of the product as "동의함" does, with the failures in the log instead
// of a box each.
void StopCopiesNoting(TInstallRun& run, const std::wstring& program) {
    TProcessApi api = SystemProcessApi();
    api.ReportFailure = [&run, &program] {
        run.AddEarlierNote("A running " + WideToAnsi(program) + " could not be stopped");
    };
    try {
        StopRunningCopies(program, api);
    } catch (const std::exception& error) {
        run.AddEarlierNote(std::string("Stopping running copies failed: ") + error.what());
    }
}

void NoteStart(TInstallRun& run, const TSetupCommandLine& commandLine) {
    run.SetProxyCredentials(WideToAnsi(commandLine.ProxyUser), WideToAnsi(commandLine.ProxyPassword));
    run.AddEarlierNote(CommandLineNote());
    run.AddEarlierNote(std::string(commandLine.Mode == TSetupMode::smSilent ? "Silent" : "Very silent") +
                       " installation: the licence counts as accepted; the product " +
                       (commandLine.RunsProduct() ? "is" : "is not") + " started at the end");
}

int RunVerySilent(const TSetupCommandLine& commandLine) {
    TWindowlessView view;
    TInstallRun run(view);
    run.SetLogPath(commandLine.LogPath);
    NoteStart(run, commandLine);
    const TInstallPlace place = DefaultInstallPlace();
    StopCopiesNoting(run, place.InstallDir() + L"\\" + place.MainExe);
    const TInstallOutcome outcome = run.Run(place);
    if (outcome == ioCompleted && commandLine.RunsProduct())
        run.LogAfterRun(StartInstalledProgram(nullptr, place.InstallDir() + L"/" + place.MainExe));
    return outcome;
}

int RunSilent(const TSetupCommandLine& commandLine) {
    std::unique_ptr<TfrmSetupMain> form;
    try {
        form = std::make_unique<TfrmSetupMain>();
    } catch (const std::exception& error) {
        const auto log = OpenLog(commandLine);
        log->Write(CommandLineNote());
        log->Write(std::string("The installation page could not be made: ") + error.what());
        return ecFailed;
    }
    TfrmSetupMain& window = *form;
    TInstallRun& run = window.InstallRun();
    window.SetUnattended(true);
    run.SetLogPath(commandLine.LogPath);
    NoteStart(run, commandLine);
    if (!commandLine.RunsProduct()) window.SetLauncher([](HWND, const std::wstring&) {});
    window.SetStopper([&run](const std::wstring& program) { StopCopiesNoting(run, program); });
    Application().SetMainWindow(window.Handle(), [&window](MSG& msg) { return window.DialogKey(msg); });
    // Straight to the installation page, before anything shows: "동의함" (which stops the
    // running copies), then "설치".
    window.Button1Click();
    window.ShowInstallationPage();
    window.Show();
    window.RunInstallation();
    const TInstallOutcome outcome = window.Outcome().value_or(ioFailed);
    // Closing by itself starts the product only after a completed run, and only with /RUN.
    window.Close();
    form.reset();
    return outcome;
}

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

std::string CommandLineNote() {
    // Never the proxy's password.
    return "Command line: " + WideToAnsi(CommandLineForLog(GetCommandLineW()));
}

int RunUnattended(const TSetupCommandLine& commandLine) {
    return commandLine.Mode == TSetupMode::smVerySilent ? RunVerySilent(commandLine) : RunSilent(commandLine);
}

int ShowUsage(const TSetupCommandLine& commandLine) {
    const int code = commandLine.Valid() ? ecInstalled : ecBadCommandLine;
    if (commandLine.Mode == TSetupMode::smVerySilent) {
        const auto log = OpenLog(commandLine);
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
        const auto log = OpenLog(commandLine);
        log->Write(CommandLineNote());
        log->Write("Another copy of Setup is running: nothing was done");
        log->Write(ExitCodeNote(ecAlreadyRunning));
    } else if (!BringOtherCopyForward()) {
        MessageBoxW(nullptr, kAlreadyRunningText, Application().Title().c_str(), MB_OK | MB_ICONINFORMATION);
    }
    return ecAlreadyRunning;
}
