// setup_driver: steers a running Setup.exe from the command line (used by the screenshot
// script). Commands, each waiting at most a few seconds:
//   wait            wait for the wizard window; prints its bounds "left top width height"
//   list            one line per control: id class visible shown enabled left top width height "text"
//   click ID        press the control with that identifier (the design's row + 100)
//   press ID        press it without waiting for its handler (one that runs the installation)
//   settext ID TEXT set a control's text
//   show ID         show a control
//   close           press the window's close box
//   box             print the text of Setup's message box, if one is open (exit 1 if none)
//   dismiss         press the message box's OK button
//   install MS      "동의함", then "설치" at once; waits up to MS for the run's end and prints
//                   one line: completed, box (then the box's text; it is dismissed), exited or
//                   timeout, and the milliseconds since "설치" was pressed
// Exit code 0 on success, 1 when the window or the control is not there.
#include <cstdio>
#include <cwchar>
#include <string>

#include "setup/driver/SetupDriver.h"

namespace {
void PrintUtf8(const std::wstring& text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, bytes.data(), length, nullptr, nullptr);
    std::fputs(bytes.c_str(), stdout);
}

// Runs the installation as a user would and reports how it ended.
int Install(const TSetupDriver& driver, DWORD milliseconds) {
    DWORD process = 0;
    GetWindowThreadProcessId(driver.Window(), &process);
    if (!driver.Click(TCtl::Button1) || !driver.Press(TCtl::Button3)) return 1;
    const DWORD start = GetTickCount();
    for (;;) {
        const DWORD elapsed = GetTickCount() - start;
        const TBox box = FindMessageBox(process);
        if (box.Window) {
            std::printf("box %lu ", elapsed);
            PrintUtf8(box.Text);
            std::printf("\n");
            PostMessageW(box.Window, WM_COMMAND, IDOK, 0);
            return 0;
        }
        if (!IsWindow(driver.Window())) return std::printf("exited %lu\n", elapsed), 0;
        if (driver.Text(TCtl::Label1) == L"설치완료") return std::printf("completed %lu\n", elapsed), 0;
        if (elapsed >= milliseconds) return std::printf("timeout %lu\n", elapsed), 0;
        Sleep(20);
    }
}

HWND ControlById(const TSetupDriver& driver, const wchar_t* text) {
    return driver.Control(static_cast<TCtl>(std::wcstol(text, nullptr, 10) - kFirstControlId));
}
} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fputs(
            "usage: setup_driver wait|list|click ID|press ID|settext ID TEXT|show ID|close|box|dismiss|install MS\n",
            stderr);
        return 2;
    }
    const std::wstring command = argv[1];
    auto driver = TSetupDriver::Attach(0, 15000);
    if (!driver) {
        std::fputs("no Setup window\n", stderr);
        return 1;
    }
    if (command == L"wait") {
        const RECT r = driver->WindowRect();
        std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
        return 0;
    }
    if (command == L"list") {
        for (const TControlInfo& c : driver->Controls()) {
            std::printf("%d ", c.Id);
            PrintUtf8(c.ClassName);
            std::printf(" %d %d %d %ld %ld %ld %ld \"", c.Visible, c.Shown, c.Enabled, c.Bounds.left,
                        c.Bounds.top, c.Bounds.right - c.Bounds.left, c.Bounds.bottom - c.Bounds.top);
            PrintUtf8(c.Text);
            std::printf("\"\n");
        }
        return 0;
    }
    if (command == L"close") {
        driver->RequestClose();
        return 0;
    }
    if (command == L"box" || command == L"dismiss") {
        DWORD process = 0;
        GetWindowThreadProcessId(driver->Window(), &process);
        const TBox box = FindMessageBox(process);
        if (!box.Window) return 1;
        if (command == L"dismiss") return PostMessageW(box.Window, WM_COMMAND, IDOK, 0) ? 0 : 1;
        PrintUtf8(box.Text);
        std::printf("\n");
        return 0;
    }
    if (argc < 3) return 2;
    if (command == L"install")
        return Install(*driver, static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)));
    const HWND control = ControlById(*driver, argv[2]);
    if (!control) return 1;
    const TCtl id = static_cast<TCtl>(GetDlgCtrlID(control) - kFirstControlId);
    if (command == L"click") return driver->Click(id) ? 0 : 1;
    if (command == L"press") return driver->Press(id) ? 0 : 1;
    if (command == L"show") return ShowWindow(control, SW_SHOWNA), 0;
    if (command == L"settext" && argc >= 4) return driver->SetText(id, argv[3]) ? 0 : 1;
    return 2;
}
