#include "setup/ProductStart.h"

#include <exdisp.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlobj.h>

#include <memory>
#include <vector>

#include "base/Format.h"
#include "setup/CodePage.h"
#include "setup/Registration.h"

namespace {
struct THandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using THandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, THandleCloser>;

// Releases one COM reference on every way out.
template <class T> struct TRef {
    T* Ptr = nullptr;
    TRef() = default;
    TRef(const TRef&) = delete;
    TRef& operator=(const TRef&) = delete;
    ~TRef() {
        if (Ptr) Ptr->Release();
    }
    void** Out() { return reinterpret_cast<void**>(&Ptr); }
    T* operator->() const { return Ptr; }
};

struct TVariant {
    VARIANT Value;
    TVariant() { VariantInit(&Value); }
    explicit TVariant(const std::wstring& text) : TVariant() {
        Value.vt = VT_BSTR;
        Value.bstrVal = SysAllocString(text.c_str());
    }
    explicit TVariant(long number) : TVariant() {
        Value.vt = VT_I4;
        Value.lVal = number;
    }
    ~TVariant() { VariantClear(&Value); }
    TVariant(const TVariant&) = delete;
    TVariant& operator=(const TVariant&) = delete;
};

// Whether a process's token is elevated, and its user.
struct TTokenFacts {
    bool Elevated = false;
    std::vector<BYTE> User;
};

bool FactsOf(HANDLE process, TTokenFacts& facts) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &raw)) return false;
    const THandle token(raw);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    if (!GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size)) return false;
    facts.Elevated = elevation.TokenIsElevated != 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    facts.User.resize(size);
    return size > 0 && GetTokenInformation(token.get(), TokenUser, facts.User.data(), size, &size);
}

// The desktop's shell: the owner of the shell window, or where there is none (Wine) of the
// desktop window. Only the same user's counts (Windows' desktop window is the system's).
bool ShellHasOurRights(const TTokenFacts& ours) {
    HWND shell = GetShellWindow();
    if (!shell) shell = GetDesktopWindow();
    DWORD id = 0;
    GetWindowThreadProcessId(shell, &id);
    const THandle process(id ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id) : nullptr);
    TTokenFacts theirs;
    if (!process || !FactsOf(process.get(), theirs)) return false;
    const auto sid = [](const TTokenFacts& facts) {
        return reinterpret_cast<const TOKEN_USER*>(facts.User.data())->User.Sid;
    };
    return EqualSid(sid(ours), sid(theirs)) && theirs.Elevated == ours.Elevated;
}

// The shell of the desktop, running as the signed-in user, starts the program.
HRESULT StartThroughTheShell(const std::wstring& program, const std::wstring& folder) {
    TRef<IShellWindows> windows;
    HRESULT hr =
        CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows, windows.Out());
    if (FAILED(hr)) return hr;
    TVariant location;
    TVariant root;
    long window = 0;
    TRef<IDispatch> desktop;
    hr = windows->FindWindowSW(&location.Value, &root.Value, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH,
                               reinterpret_cast<IDispatch**>(desktop.Out()));
    if (hr != S_OK) return FAILED(hr) ? hr : E_FAIL;
    TRef<IServiceProvider> services;
    TRef<IShellBrowser> browser;
    TRef<IShellView> view;
    TRef<IDispatch> background;
    TRef<IShellFolderViewDual> folderView;
    TRef<IDispatch> application;
    TRef<IShellDispatch2> shell;
    if (FAILED(hr = desktop->QueryInterface(IID_IServiceProvider, services.Out())) ||
        FAILED(hr = services->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, browser.Out())) ||
        FAILED(hr = browser->QueryActiveShellView(reinterpret_cast<IShellView**>(view.Out()))) ||
        FAILED(hr = view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.Out())) ||
        FAILED(hr = background->QueryInterface(IID_IShellFolderViewDual, folderView.Out())) ||
        FAILED(hr = folderView->get_Application(reinterpret_cast<IDispatch**>(application.Out()))) ||
        FAILED(hr = application->QueryInterface(IID_IShellDispatch2, shell.Out())))
        return hr;
    const std::unique_ptr<OLECHAR, decltype(&SysFreeString)> file(SysAllocString(program.c_str()),
                                                                  SysFreeString);
    TVariant arguments(std::wstring{}), directory(folder), operation(std::wstring(L"open")),
        show(long{SW_SHOWNORMAL});
    return shell->ShellExecute(file.get(), arguments.Value, directory.Value, operation.Value, show.Value);
}
} // namespace

std::string StartInstalledProgram(HWND owner, const std::wstring& program) {
    const std::wstring folder = program.substr(0, program.find_last_of(L"\\/"));
    const std::string shown = WideToAnsi(program);
    TTokenFacts ours;
    const bool known = FactsOf(GetCurrentProcess(), ours);
    if (known && (!ours.Elevated || ShellHasOurRights(ours))) {
        const auto result = reinterpret_cast<INT_PTR>(
            ShellExecuteW(owner, L"open", program.c_str(), L"", folder.c_str(), SW_SHOWNORMAL));
        return result > 32 ? "Started " + shown + " in its folder, with the rights of the desktop's shell"
                           : Format("%s could not be started (%d)", shown.c_str(), static_cast<int>(result));
    }
    const HRESULT hr = StartThroughTheShell(program, folder);
    if (SUCCEEDED(hr)) return "Started " + shown + " in its folder through the desktop's shell, as its user";
    return shown + " not started: the desktop's shell could not be asked (" + ComErrorText(hr) +
           "), and a start by Setup would give it administrator rights; its desktop shortcut starts it";
}
