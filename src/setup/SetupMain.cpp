#include "setup/SetupMain.h"

#include <commctrl.h>
#include <imm.h>

#include <algorithm>
#include <cstring>

#include "setup/Application.h"
#include "setup/DisplayScale.h"
#include "setup/HeaderPicture.h"
#include "setup/LicenceText.h"
#include "setup/ProductStart.h"
#include "setup/ProxyCredentialsDialog.h"
#include "setup/RunningCopies.h"

TfrmSetupMain* frmSetupMain = nullptr;

namespace {
HFONT MakeFont(int height, bool bold) {
    return CreateFontW(height, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE,
                       kDesignFontFace);
}

// A top-down 32-bit DIB of the picture, for a static control to show.
HBITMAP MakeBitmap(const TRgbPicture& picture) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = picture.Width;
    info.bmiHeader.biHeight = -picture.Height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap) return nullptr;
    auto* out = static_cast<uint8_t*>(bits);
    const size_t count = static_cast<size_t>(picture.Width) * static_cast<size_t>(picture.Height);
    for (size_t i = 0; i < count; ++i) {
        out[4 * i + 0] = picture.Pixels[3 * i + 2];
        out[4 * i + 1] = picture.Pixels[3 * i + 1];
        out[4 * i + 2] = picture.Pixels[3 * i + 0];
        out[4 * i + 3] = 0;
    }
    return bitmap;
}

bool IsContainer(TKind kind) {
    return kind == TKind::Panel || kind == TKind::GroupBox;
}
bool IsTabStop(TKind kind) {
    return kind == TKind::Memo || kind == TKind::Button || kind == TKind::CheckBox;
}
bool IsGraphic(TKind kind) {
    return kind == TKind::Label || kind == TKind::Image;
}
} // namespace

TfrmSetupMain::TfrmSetupMain()
    : FLauncher([this](HWND owner, const std::wstring& path) {
          // A missing program is simply not started; the log says so.
          FRun->LogAfterRun(StartInstalledProgram(owner, path));
      }),
      FStopper([](const std::wstring& program) { StopRunningCopies(program); }) {
    FRun = std::make_unique<TInstallRun>(*this);
    NxAntiFreeze1.SetOnlyWhenIdle(false);
    Application().LoadCommonControls();

    const HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSEXW windowClass{};
    if (!GetClassInfoExW(instance, kSetupMainClassName, &windowClass)) {
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = WindowProc;
        windowClass.hInstance = instance;
        windowClass.hIcon = Application().Icon();
        windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
        windowClass.lpszClassName = kSetupMainClassName;
        RegisterClassExW(&windowClass);
    }
    constexpr DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_CLIPCHILDREN;
    constexpr DWORD exStyle = WS_EX_DLGMODALFRAME | WS_EX_CONTROLPARENT;
    RECT frame{0, 0, kSetupMainClientWidth, kSetupMainClientHeight};
    AdjustWindowRectEx(&frame, style, FALSE, exStyle);
    frmSetupMain = this;
    CreateWindowExW(exStyle, kSetupMainClassName, kSetupMainCaption, style, CW_USEDEFAULT, CW_USEDEFAULT,
                    frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance, this);
    if (!FHandle) throw Exception("Cannot create the setup window");
    // The controls were laid out for the DPI the window got (WM_CREATE); the frame follows.
    RECT bounds;
    GetWindowRect(FHandle, &bounds);
    SetClientArea(FHandle, {bounds.left, bounds.top}, ScaleToDpi(kSetupMainClientWidth, FDpi),
                  ScaleToDpi(kSetupMainClientHeight, FDpi));
}

TfrmSetupMain::~TfrmSetupMain() {
    if (Application().MainWindow() == FHandle) Application().SetMainWindow(nullptr, nullptr);
    if (FHandle) DestroyWindow(FHandle);
    if (frmSetupMain == this) frmSetupMain = nullptr;
}

void TfrmSetupMain::Show() {
    RECT bounds;
    GetWindowRect(FHandle, &bounds);
    const int width = bounds.right - bounds.left;
    const int height = bounds.bottom - bounds.top;
    SetWindowPos(FHandle, nullptr, (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                 (GetSystemMetrics(SM_CYSCREEN) - height) / 2, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    ShowWindow(FHandle, SW_SHOWNORMAL);
    UpdateWindow(FHandle);
}

HFONT TfrmSetupMain::FontOf(TFont font) const {
    switch (font) {
    case TFont::Regular12:
        return FFont12.get();
    case TFont::Bold12:
        return FFont12Bold.get();
    case TFont::Window:
        break;
    }
    return FWindowFont.get();
}

void TfrmSetupMain::MakeFonts() {
    FWindowFont.reset(MakeFont(ScaleToDpi(kWindowFontHeight, FDpi), false));
    FFont12.reset(MakeFont(ScaleToDpi(kControlFontHeight, FDpi), false));
    FFont12Bold.reset(MakeFont(ScaleToDpi(kControlFontHeight, FDpi), true));
}

void TfrmSetupMain::CreateControls() {
    FDpi = WindowDpi(FHandle);
    MakeFonts();
    SendMessageW(FHandle, WM_SETFONT, reinterpret_cast<WPARAM>(FWindowFont.get()), FALSE);
    const auto bounds = DockedDesignBounds(FDpi);
    for (const TControlDesign& row : kSetupMainDesign) {
        const HWND parent = row.Parent == TCtl::Window ? FHandle : Control(row.Parent);
        const RECT& r = bounds[static_cast<size_t>(row.Id)];
        const HINSTANCE instance = GetModuleHandleW(nullptr);
        const auto id = reinterpret_cast<HMENU>(static_cast<INT_PTR>(ControlId(row.Id)));
        const DWORD common = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
        auto make = [&](DWORD exStyle, const wchar_t* className, DWORD style) {
            return CreateWindowExW(exStyle, className, row.Caption ? row.Caption : L"", common | style,
                                   r.left, r.top, r.right - r.left, r.bottom - r.top, parent, id, instance,
                                   nullptr);
        };
        HWND control = nullptr;
        switch (row.Kind) {
        case TKind::Panel: {
            TPanelLook& look = FPanelLooks[static_cast<size_t>(row.Id)];
            look.RaisedBevel = (row.Flags & dfRaised) != 0;
            const bool white = (row.Flags & dfWhite) != 0;
            look.Background =
                white ? static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)) : GetSysColorBrush(COLOR_BTNFACE);
            look.BackgroundColor = white ? RGB(255, 255, 255) : GetSysColor(COLOR_BTNFACE);
            control = CreatePanel(parent, ControlId(row.Id), r, &look);
            break;
        }
        case TKind::Image:
            control = make(0, L"STATIC", SS_BITMAP);
            break;
        case TKind::Label:
            control = make(0, L"STATIC", SS_LEFT | SS_NOPREFIX);
            break;
        case TKind::Memo:
            // No horizontal scrolling: the box wraps what does not fit.
            control = make(WS_EX_CLIENTEDGE, L"EDIT",
                           WS_TABSTOP | ES_MULTILINE | ES_AUTOVSCROLL |
                               ((row.Flags & dfReadOnly) ? ES_READONLY : 0) |
                               ((row.Flags & dfVScroll) ? WS_VSCROLL : 0));
            break;
        case TKind::GroupBox:
            control = make(WS_EX_CONTROLPARENT, L"BUTTON", BS_GROUPBOX);
            if (control) ExtendGroupBox(control);
            break;
        case TKind::CheckBox:
            control = make(0, L"BUTTON", BS_AUTOCHECKBOX | WS_TABSTOP);
            break;
        case TKind::Button:
            control = make(0, L"BUTTON", BS_PUSHBUTTON | WS_TABSTOP);
            break;
        case TKind::ProgressBar:
            control = make(0, PROGRESS_CLASSW, 0);
            break;
        }
        if (!control) throw Exception("Cannot create the control " + WideToAnsi(row.Name));
        FControls[static_cast<size_t>(row.Id)] = control;
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FontOf(row.Font)), FALSE);
        // Windowed controls stack in creation order, later ones on top (a page panel covers
        // what lies beneath it); labels and the picture lie under every windowed sibling.
        SetWindowPos(control, IsGraphic(row.Kind) ? HWND_BOTTOM : HWND_TOP, 0, 0, 0, 0,
                     SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        if (row.Flags & dfChecked) SendMessageW(control, BM_SETCHECK, BST_CHECKED, 0);
        if (row.Flags & dfDisabled) EnableWindow(control, FALSE);
        if (row.Kind == TKind::Label) MakeAutoSizeLabel(control);
    }
    SetWindowTextW(Control(TCtl::Memo1), LicenceText().c_str());
    SendMessageW(Control(TCtl::ProgressBar1), PBM_SETRANGE32, 0, 100);
    SendMessageW(Control(TCtl::ProgressBar1), PBM_SETPOS, 0, 0);
    SetPicture();
    SetIcons();
}

void TfrmSetupMain::SetPicture() {
    const RECT r = DockedDesignBounds(FDpi)[static_cast<size_t>(TCtl::Image1)];
    try {
        decltype(FPicture) picture(MakeBitmap(HeaderPicture(r.right - r.left, r.bottom - r.top)));
        SendMessageW(Control(TCtl::Image1), STM_SETIMAGE, IMAGE_BITMAP,
                     reinterpret_cast<LPARAM>(picture.get()));
        FPicture = std::move(picture); // the one shown before goes only once it is replaced
    } catch (const EJpegError&) {
        // The header stays without its picture; everything else of the window works.
    }
}

void TfrmSetupMain::SetIcons() {
    // The caption's and the task bar's icons at this DPI's sizes, instead of the class icon
    // stretched. A program without the icon resource (a test) keeps the class icon.
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    auto load = [&](int size) {
        return TIconHandle(static_cast<HICON>(LoadImageW(instance, L"MAINICON", IMAGE_ICON, size, size, 0)));
    };
    TIconHandle smallIcon = load(ScaleToDpi(16, FDpi)), bigIcon = load(ScaleToDpi(32, FDpi));
    if (!smallIcon || !bigIcon) return;
    SendMessageW(FHandle, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon.get()));
    SendMessageW(FHandle, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon.get()));
    FSmallIcon = std::move(smallIcon);
    FBigIcon = std::move(bigIcon);
}

void TfrmSetupMain::Rescale(int dpi, POINT topLeft) {
    FDpi = dpi;
    // The controls keep the old fonts until they have the new ones.
    const TFontHandle oldFonts[] = {std::move(FWindowFont), std::move(FFont12), std::move(FFont12Bold)};
    MakeFonts();
    SendMessageW(FHandle, WM_SETFONT, reinterpret_cast<WPARAM>(FWindowFont.get()), FALSE);
    const auto bounds = DockedDesignBounds(FDpi);
    for (const TControlDesign& row : kSetupMainDesign) {
        const HWND control = Control(row.Id);
        const RECT& r = bounds[static_cast<size_t>(row.Id)];
        SetWindowPos(control, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
        // A label sizes itself to its text in the new font.
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FontOf(row.Font)), FALSE);
    }
    SetPicture();
    SetIcons();
    SetClientArea(FHandle, topLeft, ScaleToDpi(kSetupMainClientWidth, FDpi),
                  ScaleToDpi(kSetupMainClientHeight, FDpi));
    RedrawWindow(FHandle, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

void TfrmSetupMain::SetCaption(TCtl id, const std::wstring& text) {
    SetWindowTextW(Control(id), text.c_str());
}

std::wstring TfrmSetupMain::Caption(TCtl id) const {
    const HWND control = Control(id);
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(static_cast<size_t>(GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
    return text;
}

void TfrmSetupMain::SetVisible(TCtl id, bool visible) {
    ShowWindow(Control(id), visible ? SW_SHOWNA : SW_HIDE);
    // A page change may hide or cover the focused control: the focus then moves on as Tab would.
    const HWND focus = GetFocus();
    if (focus && (focus == FHandle || IsChild(FHandle, focus)) && !IsShownOnTop(focus)) MoveFocus(false);
}

std::vector<TCtl> TfrmSetupMain::TabStops() const {
    std::vector<TCtl> stops;
    auto visit = [&](auto&& self, TCtl container) -> void {
        std::vector<const TControlDesign*> children;
        for (const TControlDesign& row : kSetupMainDesign)
            if (row.Parent == container && row.TabOrder >= 0) children.push_back(&row);
        std::stable_sort(children.begin(), children.end(),
                         [](auto* a, auto* b) { return a->TabOrder < b->TabOrder; });
        for (const TControlDesign* row : children) {
            if (IsTabStop(row->Kind)) stops.push_back(row->Id);
            if (IsContainer(row->Kind)) self(self, row->Id);
        }
    };
    visit(visit, TCtl::Window);
    return stops;
}

void TfrmSetupMain::MoveFocus(bool backwards) {
    std::vector<HWND> reachable;
    for (TCtl id : TabStops()) {
        const HWND control = Control(id);
        if (IsWindowEnabled(control) && IsShownOnTop(control)) reachable.push_back(control);
    }
    if (reachable.empty()) return;
    const HWND focus = GetFocus();
    const auto current = std::find(reachable.begin(), reachable.end(), focus);
    const size_t count = reachable.size();
    size_t next = 0;
    if (current != reachable.end()) {
        const size_t index = static_cast<size_t>(current - reachable.begin());
        next = backwards ? (index + count - 1) % count : (index + 1) % count;
    } else if (backwards) {
        next = count - 1;
    }
    SetFocus(reachable[next]);
    // As in a dialog, a text box entered by Tab has its whole text selected.
    if (SendMessageW(reachable[next], WM_GETDLGCODE, 0, 0) & DLGC_HASSETSEL)
        SendMessageW(reachable[next], EM_SETSEL, 0, -1);
}

bool TfrmSetupMain::DialogKey(MSG& msg) {
    if (msg.message == WM_KEYDOWN && (msg.wParam == VK_TAB || msg.wParam == VK_RETURN)) {
        const HWND focus = GetFocus();
        const LRESULT code =
            focus ? SendMessageW(focus, WM_GETDLGCODE, msg.wParam, reinterpret_cast<LPARAM>(&msg)) : 0;
        if (msg.wParam == VK_TAB && !(code & DLGC_WANTTAB)) {
            MoveFocus((GetKeyState(VK_SHIFT) & 0x8000) != 0);
            return true;
        }
        if (msg.wParam == VK_RETURN && (code & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON))) {
            // Enter presses the focused button.
            SendMessageW(focus, BM_CLICK, 0, 0);
            return true;
        }
    }
    return IsDialogMessageW(FHandle, &msg) != FALSE;
}

LRESULT CALLBACK TfrmSetupMain::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self = static_cast<TfrmSetupMain*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->FHandle = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<TfrmSetupMain*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) return DefWindowProcW(window, message, wParam, lParam);
    // No exception may travel through the system's frames: an error that escapes a handler
    // ends in the application's error box, and the message loop goes on.
    try {
        return self->HandleMessage(message, wParam, lParam);
    } catch (const std::exception& error) {
        Application().HandleException(error);
    } catch (...) {
        Application().HandleException(Exception("Unknown error"));
    }
    return 0;
}

LRESULT TfrmSetupMain::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        CreateControls();
        FormCreate();
        return 0;
    case WM_ACTIVATE:
        if (LOWORD(wParam) == WA_INACTIVE) {
            const HWND focus = GetFocus();
            if (focus && IsChild(FHandle, focus)) FLastFocus = focus;
            return 0;
        }
        FormActivate();
        if (FLastFocus && IsWindow(FLastFocus) && IsShownOnTop(FLastFocus))
            SetFocus(FLastFocus);
        else
            MoveFocus(false);
        return 0;
    case WM_COMMAND:
        if (HIWORD(wParam) == BN_CLICKED) Clicked(LOWORD(wParam));
        if (HIWORD(wParam) == EN_SETFOCUS && LOWORD(wParam) == ControlId(TCtl::Memo1)) MemoFocused();
        return 0;
    case WM_GETFONT:
        return reinterpret_cast<LRESULT>(FWindowFont.get());
    case kWmDpiChanged: {
        // The system suggests a place on the new monitor; the size follows from the layout.
        const RECT& suggested = *reinterpret_cast<const RECT*>(lParam);
        if (LOWORD(wParam) > 0) Rescale(LOWORD(wParam), {suggested.left, suggested.top});
        return 0;
    }
    case WM_CLOSE:
        Close();
        return 0;
    case WM_DESTROY:
        FormDestroy();
        return 0;
    case WM_NCDESTROY:
        SetWindowLongPtrW(FHandle, GWLP_USERDATA, 0);
        FHandle = nullptr;
        FControls.fill(nullptr);
        return 0;
    }
    return DefWindowProcW(FHandle, message, wParam, lParam);
}

void TfrmSetupMain::Clicked(int controlId) {
    const int index = controlId - kFirstControlId;
    if (index < 0 || index >= kControlCount) return; // Enter and Esc of the dialog keys
    switch (kSetupMainDesign[static_cast<size_t>(index)].Click) {
    case TClick::Button1Click:
        Button1Click();
        break;
    case TClick::Button2Click:
        Button2Click();
        break;
    case TClick::Button3Click:
        Button3Click();
        break;
    case TClick::Button5Click:
        Button5Click();
        break;
    case TClick::None:
        break;
    }
}

void TfrmSetupMain::MemoFocused() {
    // The memo asks for the Korean input method when it is installed; otherwise nothing changes.
    HKL layouts[32];
    const int count = GetKeyboardLayoutList(32, layouts);
    for (int i = 0; i < count; ++i) {
        wchar_t name[128] = {};
        if (ImmGetDescriptionW(layouts[i], name, 127) > 0 && lstrcmpW(name, kMemoImeName) == 0) {
            ActivateKeyboardLayout(layouts[i], 0);
            return;
        }
    }
}

void TfrmSetupMain::Close() {
    // One close per window: a second request (a double click on "완료") starts nothing again.
    if (FCloseRequested || !FHandle) return;
    FCloseRequested = true;
    // A close request during the run stops it and drops the download in progress.
    if (FInstalling) FRun->Cancel();
    FormClose();
    if (Application().MainWindow() == FHandle)
        Application().Terminate(); // the window goes with the application, after the current handler
    else
        DestroyWindow(FHandle);
}

void TfrmSetupMain::FormCreate() {
    const TInstallPlace place = DefaultInstallPlace();
    FBaseURL = place.BaseURL;
    FVendorDir = place.VendorDir;
    FProductDir = place.ProductDir;
    FMainExe = place.MainExe;
    SetVisible(TCtl::Panel4, false);
    SetVisible(TCtl::Panel5, false);
    SetVisible(TCtl::Panel6, false);
    SetVisible(TCtl::Panel7, false);
}

void TfrmSetupMain::FormActivate() {}

void TfrmSetupMain::FormClose() {
    if (Caption(TCtl::Button4) == L"완료") FLauncher(FHandle, FVendorDir + FProductDir + L"/" + FMainExe);
}

void TfrmSetupMain::FormDestroy() {
    if (frmSetupMain == this) frmSetupMain = nullptr;
}

void TfrmSetupMain::Button1Click() {
    try {
        FStopper(InstallDir() + L"\\" + FMainExe);
    } catch (...) {
        // Not being able to stop a running copy does not keep the user from going on.
    }
    SetCaption(TCtl::Label1, L"구성요소 선택");
    SetCaption(TCtl::Label2, L"설치하고자 하는 구성요소를 선택해주세요.");
    SetVisible(TCtl::Panel4, true);
    SetVisible(TCtl::Panel5, true);
}

void TfrmSetupMain::Button2Click() {
    Close();
}

void TfrmSetupMain::Button5Click() {
    SetVisible(TCtl::Panel4, false);
    SetVisible(TCtl::Panel5, false);
}

void TfrmSetupMain::Button3Click() {
    if (FInstalling) return;
    ShowInstallationPage();
    RunInstallation();
}

void TfrmSetupMain::ShowInstallationPage() {
    SetVisible(TCtl::Button5, false);
    SetVisible(TCtl::Button3, false);
    SetCaption(TCtl::Label1, L"설치중");
    SetCaption(TCtl::Label2, L"설치중 취소버튼을 누르면 설치가 취소됩니다.");
    SetVisible(TCtl::Panel6, true);
}

void TfrmSetupMain::RunInstallation() {
    if (FInstalling) return;
    FInstalling = true;
    if (FInstallation) {
        try {
            FInstallation();
        } catch (const std::exception&) {
            FInstalling = false;
            if (!FCloseRequested) throw;
            return;
        }
        FInstalling = false;
        return;
    }
    TInstallPlace place;
    place.BaseURL = FBaseURL;
    place.AppDataDir = LocalAppDataPath(); // asked afresh, as FormCreate did
    place.VendorDir = FVendorDir;
    place.ProductDir = FProductDir;
    place.MainExe = FMainExe;
    const TInstallOutcome outcome = FRun->Run(place);
    FOutcome = outcome;
    FInstalling = false;
    if (outcome == ioCompleted) ShowCompletionPage();
}

void TfrmSetupMain::ShowCompletionPage() {
    SetCaption(TCtl::Label1, L"설치완료");
    SetCaption(TCtl::Label2, L"설치가 완료되었습니다.");
    SetCaption(TCtl::Button4, L"완료");
    SetVisible(TCtl::Panel7, true);
}

void TfrmSetupMain::ShowStatus(const std::wstring& text) {
    SetCaption(TCtl::lblMsg, text);
}

void TfrmSetupMain::ProgressBegin(int32_t maximum) {
    if (!FHandle) return;
    const HWND bar = Control(TCtl::ProgressBar1);
    SendMessageW(bar, PBM_SETRANGE32, 0, maximum);
    SendMessageW(bar, PBM_SETPOS, 0, 0);
}

void TfrmSetupMain::ProgressAdvance(int32_t position) {
    if (!FHandle) return;
    SendMessageW(Control(TCtl::ProgressBar1), PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void TfrmSetupMain::ProgressEnd() {
    if (!FHandle) return;
    const HWND bar = Control(TCtl::ProgressBar1);
    const LRESULT maximum = SendMessageW(bar, PBM_GETRANGE, FALSE, 0);
    SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(maximum), 0);
}

void TfrmSetupMain::ProgressResume(int32_t maximum, int32_t position) {
    if (!FHandle) return;
    const HWND bar = Control(TCtl::ProgressBar1);
    SendMessageW(bar, PBM_SETRANGE32, 0, maximum);
    SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

bool TfrmSetupMain::ProcessMessages() {
    Application().ProcessMessages();
    return FCloseRequested;
}

void TfrmSetupMain::ReportError(const std::string& message) {
    // An unattended run reports through its log and its exit code only.
    if (!FUnattended) Application().HandleException(Exception(message));
}

bool TfrmSetupMain::AskProxyCredentials(const std::string& proxy, std::string& user, std::string& password) {
    if (FUnattended) return false;
    return AskProxyCredentialsDialog(FHandle, proxy, user, password);
}

void PrepareRun(TInstallRun& run, const TSetupCommandLine& commandLine) {
    run.SetLogPath(commandLine.LogPath);
    run.AddEarlierNote(CommandLineNote());
    run.SetProxyCredentials(WideToAnsi(commandLine.ProxyUser), WideToAnsi(commandLine.ProxyPassword));
}

std::unique_ptr<TfrmSetupMain> MakeSetupWindow(const TSetupCommandLine& commandLine) {
    auto form = std::make_unique<TfrmSetupMain>();
    TfrmSetupMain* window = form.get();
    PrepareRun(window->InstallRun(), commandLine);
    if (!commandLine.RunsProduct()) window->SetLauncher([](HWND, const std::wstring&) {});
    Application().SetMainWindow(window->Handle(), [window](MSG& msg) { return window->DialogKey(msg); });
    return form;
}
