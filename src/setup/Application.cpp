#include "setup/Application.h"

#include <commctrl.h>
#include <objbase.h>

#include "transport/NxAntiFreeze.h"
#include "transport/NxSystemLibrary.h"

TApplication& Application() {
    static TApplication application;
    return application;
}

TApplication::TApplication() {
    FTitle = L"Setup";
    TNxAntiFreeze::SetMessageHandler([this](MSG& msg) { DispatchOne(msg); });
}

TApplication::~TApplication() {
    TNxAntiFreeze::SetMessageHandler(nullptr);
    if (FComInitialized) CoUninitialize();
}

std::wstring TApplication::TitleFromFileName(const std::wstring& path) {
    const size_t slash = path.find_last_of(L"\\/:");
    std::wstring name = slash == std::wstring::npos ? path : path.substr(slash + 1);
    name = name.substr(0, name.find(L'.'));
    if (name.size() > 1) CharLowerBuffW(name.data() + 1, static_cast<DWORD>(name.size() - 1));
    return name;
}

std::wstring TApplication::ErrorBoxText(const std::string& message) {
    std::wstring text = AnsiToWide(message);
    if (text.empty() || text.back() != L'.') text += L'.';
    return text;
}

void TApplication::Initialize() {
    if (FInitialized) return;
    FInitialized = true;
    // The shell link of the desktop shortcut needs an apartment-threaded COM on this thread.
    FComInitialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    wchar_t path[MAX_PATH + 1] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    FTitle = TitleFromFileName(path);
    FIcon = LoadIconW(GetModuleHandleW(nullptr), L"MAINICON");
    if (!FIcon) FIcon = LoadIconW(nullptr, IDI_APPLICATION);
}

void TApplication::LoadCommonControls() {
    if (FCommonControls) return;
    FCommonControls = true;
    // The progress bar's class: the library is loaded from the system folder, never
    // imported (it is no KnownDLL, and Setup runs from a download folder).
    std::string why;
    BOOL(WINAPI * initCommonControls)(const INITCOMMONCONTROLSEX*) = nullptr;
    if (void* library = NxLoadSystemLibrary("comctl32.dll", why);
        library && NxLookupFunction(library, "InitCommonControlsEx", initCommonControls, why)) {
        INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
        initCommonControls(&controls);
    }
}

void TApplication::SetMainWindow(HWND window, TMessageFilter filter) {
    FMainWindow = window;
    FFilter = std::move(filter);
}

bool TApplication::Terminated() const {
    return TNxAntiFreeze::ApplicationTerminated();
}

void TApplication::Terminate() {
    PostQuitMessage(0);
}

bool TApplication::HandleMessage(MSG& msg) {
    if (msg.message == WM_QUIT) {
        // Shared with the anti-freeze, which may take the quit message off the queue itself.
        TNxAntiFreeze::MarkApplicationTerminated();
        return false;
    }
    DispatchOne(msg);
    return true;
}

void TApplication::DispatchOne(MSG& msg) {
    const bool forMainWindow = FMainWindow && (msg.hwnd == FMainWindow || IsChild(FMainWindow, msg.hwnd));
    if (forMainWindow && FFilter && FFilter(msg)) return;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
}

void TApplication::ProcessMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (!HandleMessage(msg)) break;
    }
}

void TApplication::Run() {
    MSG msg;
    while (!Terminated()) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == -1) break;
        if (got == 0) msg.message = WM_QUIT;
        HandleMessage(msg);
    }
}

void TApplication::HandleException(const std::exception& error) noexcept {
    try {
        MessageBoxW(FMainWindow, ErrorBoxText(error.what()).c_str(), FTitle.c_str(), MB_OK | MB_ICONERROR);
    } catch (...) {
        // Nothing sensible is left to do when even the box cannot be built.
    }
}
