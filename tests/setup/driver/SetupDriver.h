#pragma once
// Steers the wizard of another process: starts it, finds its window, reads its controls and
// presses its buttons. Every wait is bounded.
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "setup/SetupMainDesign.h"

// A started program, stopped (if still running) when the object goes.
class TChildProcess {
public:
    TChildProcess() = default;
    // Starts program (a Windows path) with the given command-line arguments.
    TChildProcess(const std::wstring& program, const std::wstring& arguments);
    ~TChildProcess();
    TChildProcess(TChildProcess&& other) noexcept;
    TChildProcess& operator=(TChildProcess&&) = delete;
    TChildProcess(const TChildProcess&) = delete;

    bool Started() const { return FProcess != nullptr; }
    DWORD Id() const { return FId; }
    HANDLE Handle() const { return FProcess; }
    // The exit code once it has ended within the time, else nothing.
    std::optional<DWORD> WaitForExit(DWORD milliseconds) const;

private:
    HANDLE FProcess = nullptr;
    DWORD FId = 0;
};

struct TControlInfo {
    HWND Handle = nullptr;
    int Id = 0;
    std::wstring ClassName;
    std::wstring Text;
    bool Visible = false; // the control and its containers are visible
    bool Shown = false;   // visible and not covered by another page
    bool Enabled = false;
    RECT Bounds{}; // within the window's client area
};

class TSetupDriver {
public:
    // Waits up to the given time for the wizard window of the process (any process when 0).
    static std::optional<TSetupDriver> Attach(DWORD processId, DWORD milliseconds);

    HWND Window() const { return FWindow; }
    HWND Control(TCtl id) const { return GetDlgItemAnywhere(ControlId(id)); }
    std::vector<TControlInfo> Controls() const;
    std::wstring Text(HWND control) const;
    std::wstring Text(TCtl id) const { return Text(Control(id)); }
    // The texts of the buttons the user can see, in tab order.
    std::vector<std::wstring> ShownButtons() const;
    bool IsShown(TCtl id) const;
    int ProgressPosition() const;
    // Presses a button and waits (bounded) until its handler has returned.
    bool Click(TCtl id, DWORD milliseconds = 10000) const;
    // Presses a button without waiting: for a handler that runs on (the installation).
    bool Press(TCtl id) const;
    bool SetText(TCtl id, const std::wstring& text) const;
    // The control that has the keyboard focus in the wizard's thread (null when none).
    HWND Focused() const;
    // A key pressed and released on the focused control (the window when none has it),
    // without waiting.
    bool PressKey(WPARAM key) const;
    // The window's close box.
    void RequestClose() const;
    RECT WindowRect() const;

private:
    explicit TSetupDriver(HWND window) : FWindow(window) {}
    HWND GetDlgItemAnywhere(int id) const;
    HWND FWindow = nullptr;
};

// The built Setup.exe (a Windows path).
std::wstring SetupExe();

// The built Setup.exe, started with the given arguments, with its window found; Driver is
// empty when the start or the wait failed.
struct TRunningSetup {
    explicit TRunningSetup(DWORD milliseconds = 20000, const std::wstring& arguments = L"");
    const TSetupDriver& operator*() const { return *Driver; }
    const TSetupDriver* operator->() const { return &*Driver; }

    TChildProcess Process;
    std::optional<TSetupDriver> Driver;
};

// A message box of a process and its text.
struct TBox {
    HWND Window = nullptr;
    std::wstring Text;
};
// The shown message box of the process, if any.
TBox FindMessageBox(DWORD processId);

// A Unix path of the build tree as Wine's Z: drive shows it.
std::wstring WindowsPath(const std::string& unixPath);
