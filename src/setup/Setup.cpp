// The program entry: the command line, one installer at a time, then the wizard (no arguments)
// or an unattended installation.
#include <windows.h>

#include <memory>

#include "setup/Application.h"
#include "setup/CommandLine.h"
#include "setup/ProcessHardening.h"
#include "setup/SetupMain.h"
#include "setup/SingleInstance.h"
#include "setup/StartReports.h"
#include "setup/Unattended.h"

namespace {
int RunWizard(const TSetupCommandLine& commandLine) {
    TApplication& application = Application();
    std::unique_ptr<TfrmSetupMain> form;
    try {
        form = MakeSetupWindow(commandLine);
    } catch (const std::exception& error) {
        application.HandleException(error);
        return ecFailed;
    }
    form->Show();
    application.Run();
    form.reset();
    return ecInstalled;
}
} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    // Before anything can load a library by name.
    HardenProcess();
    TApplication& application = Application();
    application.Initialize();
    const TSetupCommandLine commandLine = ParseSetupCommandLine(GetCommandLineW());
    if (!commandLine.Valid() || commandLine.Help) return ShowUsage(commandLine);
    const TSingleInstance instance;
    AddHardeningNote(instance.Where());
    if (instance.AnotherIsRunning()) return ReportAlreadyRunning(commandLine);
    return commandLine.Unattended() ? RunUnattended(commandLine) : RunWizard(commandLine);
}
