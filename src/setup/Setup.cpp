// The program entry: the application and its one window.
#include <windows.h>

#include <memory>

#include "setup/Application.h"
#include "setup/SetupMain.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    TApplication& application = Application();
    application.Initialize();
    std::unique_ptr<TfrmSetupMain> form;
    try {
        form = std::make_unique<TfrmSetupMain>();
    } catch (const std::exception& error) {
        application.HandleException(error);
        return 1;
    }
    TfrmSetupMain* window = form.get();
    application.SetMainWindow(window->Handle(), [window](MSG& msg) { return window->DialogKey(msg); });
    window->Show();
    application.Run();
    form.reset();
    return 0;
}
