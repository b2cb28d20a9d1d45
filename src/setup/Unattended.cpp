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

void NoteUnattended(TInstallRun& run, const TSetupCommandLine& commandLine) {
    run.AddEarlierNote(std::string(commandLine.Mode == TSetupMode::smSilent ? "Silent" : "Very silent") +
                       " installation: the licence counts as accepted; the product " +
                       (commandLine.RunsProduct() ? "is" : "is not") + " started at the end");
}

int RunVerySilent(const TSetupCommandLine& commandLine) {
    TWindowlessView view;
    TInstallRun run(view);
    PrepareRun(run, commandLine);
    NoteUnattended(run, commandLine);
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
        form = MakeSetupWindow(commandLine);
    } catch (const std::exception& error) {
        const auto log = TInstallLog::Create(commandLine.LogPath);
        log->Write(CommandLineNote());
        log->Write(std::string("The installation page could not be made: ") + error.what());
        return ecFailed;
    }
    TfrmSetupMain& window = *form;
    TInstallRun& run = window.InstallRun();
    window.SetUnattended(true);
    NoteUnattended(run, commandLine);
    window.SetStopper([&run](const std::wstring& program) { StopCopiesNoting(run, program); });
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

} // namespace

int RunUnattended(const TSetupCommandLine& commandLine) {
    return commandLine.Mode == TSetupMode::smVerySilent ? RunVerySilent(commandLine) : RunSilent(commandLine);
}
