#include "setup/driver/SetupDriver.h"

#include <commctrl.h>

#include <cstdlib>
#include <utility>

#include "setup/Controls.h"

namespace {
constexpr DWORD kMessageTimeout = 5000;

struct TFind {
    DWORD ProcessId;
    HWND Found;
};

BOOL CALLBACK FindTopLevel(HWND window, LPARAM data) {
    auto* find = reinterpret_cast<TFind*>(data);
    wchar_t className[64] = {}, caption[64] = {};
    GetClassNameW(window, className, 64);
    GetWindowTextW(window, caption, 64);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (lstrcmpW(className, kSetupMainClassName) == 0 && lstrcmpW(caption, kSetupMainCaption) == 0 &&
        (find->ProcessId == 0 || owner == find->ProcessId)) {
        find->Found = window;
        return FALSE;
    }
    return TRUE;
}

struct TFindChild {
    int Id;
    HWND Found;
};

BOOL CALLBACK FindChild(HWND window, LPARAM data) {
    auto* find = reinterpret_cast<TFindChild*>(data);
    if (GetDlgCtrlID(window) != find->Id) return TRUE;
    find->Found = window;
    return FALSE;
}

BOOL CALLBACK CollectChild(HWND window, LPARAM data) {
    reinterpret_cast<std::vector<HWND>*>(data)->push_back(window);
    return TRUE;
}

BOOL CALLBACK FindBox(HWND window, LPARAM data) {
    auto* found = reinterpret_cast<std::pair<DWORD, HWND>*>(data);
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == found->first && lstrcmpW(className, L"#32770") == 0 && IsWindowVisible(window)) {
        found->second = window;
        return FALSE;
    }
    return TRUE;
}
} // namespace

TBox FindMessageBox(DWORD processId) {
    std::pair<DWORD, HWND> found{processId, nullptr};
    EnumWindows(FindBox, reinterpret_cast<LPARAM>(&found));
    TBox box{found.second, {}};
    if (box.Window) {
        wchar_t text[4096] = {};                         // the usage box's text is long
        GetDlgItemTextW(box.Window, 0xFFFF, text, 4096); // the box's static text
        box.Text = text;
    }
    return box;
}

std::wstring WindowsPath(const std::string& unixPath) {
    std::wstring path = L"Z:";
    for (char c : unixPath)
        path += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    return path;
}

TChildProcess::TChildProcess(const std::wstring& program, const std::wstring& arguments) {
    std::wstring commandLine = L"\"" + program + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info))
        return;
    CloseHandle(info.hThread);
    FProcess = info.hProcess;
    FId = info.dwProcessId;
}

TChildProcess::TChildProcess(TChildProcess&& other) noexcept : FProcess(other.FProcess), FId(other.FId) {
    other.FProcess = nullptr;
    other.FId = 0;
}

TChildProcess::~TChildProcess() {
    if (!FProcess) return;
    if (WaitForSingleObject(FProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(FProcess, 99);
        WaitForSingleObject(FProcess, 5000);
    }
    CloseHandle(FProcess);
}

std::optional<DWORD> TChildProcess::WaitForExit(DWORD milliseconds) const {
    if (!FProcess || WaitForSingleObject(FProcess, milliseconds) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(FProcess, &code);
    return code;
}

std::optional<TSetupDriver> TSetupDriver::Attach(DWORD processId, DWORD milliseconds) {
    const DWORD start = GetTickCount();
    for (;;) {
        TFind find{processId, nullptr};
        EnumWindows(FindTopLevel, reinterpret_cast<LPARAM>(&find));
        if (find.Found && IsWindowVisible(find.Found)) return TSetupDriver(find.Found);
        if (GetTickCount() - start >= milliseconds) return std::nullopt;
        Sleep(50);
    }
}

HWND TSetupDriver::GetDlgItemAnywhere(int id) const {
    TFindChild find{id, nullptr};
    EnumChildWindows(FWindow, FindChild, reinterpret_cast<LPARAM>(&find));
    return find.Found;
}

std::wstring TSetupDriver::Text(HWND control) const {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeout, &length))
        return {};
    // The text may change between the two messages: a copy that fills the whole buffer may
    // have been cut, so it is taken again with more room.
    for (size_t room = length + 16;; room *= 2) {
        std::wstring text(room, L'\0');
        DWORD_PTR copied = 0;
        if (!SendMessageTimeoutW(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                                 SMTO_ABORTIFHUNG, kMessageTimeout, &copied))
            return {};
        if (copied + 1 < room) {
            text.resize(copied);
            return text;
        }
    }
}

std::vector<TControlInfo> TSetupDriver::Controls() const {
    std::vector<HWND> windows;
    EnumChildWindows(FWindow, CollectChild, reinterpret_cast<LPARAM>(&windows));
    std::vector<TControlInfo> result;
    for (HWND window : windows) {
        TControlInfo info;
        info.Handle = window;
        info.Id = GetDlgCtrlID(window);
        wchar_t className[64] = {};
        GetClassNameW(window, className, 64);
        info.ClassName = className;
        info.Text = Text(window);
        info.Visible = IsWindowVisible(window) != FALSE;
        info.Shown = IsShownOnTop(window);
        info.Enabled = IsWindowEnabled(window) != FALSE;
        GetWindowRect(window, &info.Bounds);
        MapWindowPoints(nullptr, FWindow, reinterpret_cast<POINT*>(&info.Bounds), 2);
        result.push_back(info);
    }
    return result;
}

std::vector<std::wstring> TSetupDriver::ShownButtons() const {
    std::vector<std::wstring> texts;
    for (TCtl id : {TCtl::Button1, TCtl::Button2, TCtl::Button5, TCtl::Button3, TCtl::Button4})
        if (IsShown(id)) texts.push_back(Text(Control(id)));
    return texts;
}

bool TSetupDriver::IsShown(TCtl id) const {
    const HWND control = Control(id);
    return control && IsShownOnTop(control);
}

int TSetupDriver::ProgressPosition() const {
    DWORD_PTR position = 0;
    SendMessageTimeoutW(Control(TCtl::ProgressBar1), PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeout,
                        &position);
    return static_cast<int>(position);
}

bool TSetupDriver::Click(TCtl id, DWORD milliseconds) const {
    const HWND button = Control(id);
    DWORD_PTR ignored = 0;
    return button &&
           SendMessageTimeoutW(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, milliseconds, &ignored) != 0;
}

bool TSetupDriver::Press(TCtl id) const {
    const HWND button = Control(id);
    return button && PostMessageW(button, BM_CLICK, 0, 0);
}

bool TSetupDriver::SetText(TCtl id, const std::wstring& text) const {
    DWORD_PTR ignored = 0;
    return SendMessageTimeoutW(Control(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                               SMTO_ABORTIFHUNG, kMessageTimeout, &ignored) != 0;
}

HWND TSetupDriver::Focused() const {
    GUITHREADINFO info{};
    info.cbSize = sizeof info;
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(FWindow, nullptr), &info)) return nullptr;
    return info.hwndFocus;
}

bool TSetupDriver::PressKey(WPARAM key) const {
    HWND target = Focused();
    if (!target) target = FWindow;
    const UINT scan = MapVirtualKeyW(static_cast<UINT>(key), MAPVK_VK_TO_VSC);
    const LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
    const LPARAM up = down | (LPARAM(1) << 30) | (LPARAM(1) << 31);
    return PostMessageW(target, WM_KEYDOWN, key, down) && PostMessageW(target, WM_KEYUP, key, up);
}

void TSetupDriver::RequestClose() const {
    PostMessageW(FWindow, WM_CLOSE, 0, 0);
}

RECT TSetupDriver::WindowRect() const {
    RECT bounds{};
    GetWindowRect(FWindow, &bounds);
    return bounds;
}

namespace {
// The built installer, or the one NX_E2E_SETUP names (a Unix path: the https build).
std::string SetupProgram() {
    const char* other = std::getenv("NX_E2E_SETUP");
    return other && *other ? other : NX_SETUP_EXE;
}
} // namespace

std::wstring SetupExe() {
    return WindowsPath(SetupProgram());
}

TRunningSetup::TRunningSetup(DWORD milliseconds, const std::wstring& arguments)
    : Process(SetupExe(), arguments) {
    if (Process.Started()) Driver = TSetupDriver::Attach(Process.Id(), milliseconds);
}
