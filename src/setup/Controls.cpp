#include "setup/Controls.h"

#include <string>

const wchar_t* const kPanelClassName = L"TNxPanel";

namespace {
const TPanelLook* LookOf(HWND panel) {
    return reinterpret_cast<const TPanelLook*>(GetWindowLongPtrW(panel, GWLP_USERDATA));
}

// Labels (static controls) and check boxes ask their parent for colours; a read-only memo
// asks the same way but keeps the window colour.
LRESULT ColourChild(HWND child, HDC dc, HBRUSH background, COLORREF colour) {
    wchar_t className[16] = {};
    GetClassNameW(child, className, 16);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    if (lstrcmpiW(className, L"Edit") == 0) {
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    }
    SetBkColor(dc, colour);
    return reinterpret_cast<LRESULT>(background);
}

// The system's controls are subclassed the classic way, not through the common-controls
// library: Setup imports no library that is not a KnownDLL (a copy beside it would be loaded
// elevated before any of our code runs). The control's own procedure is kept in a property.
constexpr const wchar_t* kOwnProcedure = L"TNxOwnProcedure";

void Subclass(HWND control, WNDPROC procedure) {
    const auto own = reinterpret_cast<WNDPROC>(GetWindowLongPtrW(control, GWLP_WNDPROC));
    SetPropW(control, kOwnProcedure, reinterpret_cast<HANDLE>(own));
    SetWindowLongPtrW(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(procedure));
}

// The control's own procedure; at WM_NCDESTROY the control gets it back.
LRESULT CallOwn(HWND control, UINT message, WPARAM wParam, LPARAM lParam) {
    const auto own = reinterpret_cast<WNDPROC>(GetPropW(control, kOwnProcedure));
    if (message == WM_NCDESTROY && own) {
        SetWindowLongPtrW(control, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(own));
        RemovePropW(control, kOwnProcedure);
    }
    return own ? CallWindowProcW(own, control, message, wParam, lParam)
               : DefWindowProcW(control, message, wParam, lParam);
}

bool ForwardToTop(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    if (message != WM_COMMAND && message != WM_NOTIFY) return false;
    result = SendMessageW(GetAncestor(window, GA_ROOT), message, wParam, lParam);
    return true;
}

LRESULT CALLBACK PanelProc(HWND panel, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (ForwardToTop(panel, message, wParam, lParam, result)) return result;
    const TPanelLook* look = LookOf(panel);
    switch (message) {
    case WM_NCCREATE:
        SetWindowLongPtrW(
            panel, GWLP_USERDATA,
            reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams));
        break;
    case WM_ERASEBKGND: {
        if (!look) break;
        RECT client;
        GetClientRect(panel, &client);
        FillRect(reinterpret_cast<HDC>(wParam), &client, look->Background);
        return 1;
    }
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(panel, &paint);
        if (look && look->RaisedBevel) {
            RECT client;
            GetClientRect(panel, &client);
            DrawEdge(dc, &client, BDR_RAISEDINNER, BF_RECT);
        }
        EndPaint(panel, &paint);
        return 0;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
        if (look)
            return ColourChild(reinterpret_cast<HWND>(lParam), reinterpret_cast<HDC>(wParam),
                               look->Background, look->BackgroundColor);
        break;
    }
    return DefWindowProcW(panel, message, wParam, lParam);
}

LRESULT CALLBACK GroupBoxProc(HWND box, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (ForwardToTop(box, message, wParam, lParam, result)) return result;
    if (message == WM_CTLCOLORSTATIC || message == WM_CTLCOLORBTN) {
        // A group box has no colour of its own: its children look like its container.
        return SendMessageW(GetParent(box), message, wParam, lParam);
    }
    if (message == WM_ERASEBKGND) {
        // The system's group box leaves its inside unpainted, so a page beneath would show
        // through; it takes its container's colour instead.
        const auto dc = reinterpret_cast<HDC>(wParam);
        const auto brush = reinterpret_cast<HBRUSH>(
            SendMessageW(GetParent(box), WM_CTLCOLORSTATIC, wParam, reinterpret_cast<LPARAM>(box)));
        RECT client;
        GetClientRect(box, &client);
        FillRect(dc, &client, brush ? brush : GetSysColorBrush(COLOR_BTNFACE));
        return 1;
    }
    return CallOwn(box, message, wParam, lParam);
}
void FitLabelToText(HWND label) {
    const int length = GetWindowTextLengthW(label);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    GetWindowTextW(label, text.data(), length + 1);
    HDC dc = GetDC(label);
    const HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(label, WM_GETFONT, 0, 0)));
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    SIZE extent{0, 0};
    GetTextExtentPoint32W(dc, text.c_str(), length, &extent);
    SelectObject(dc, previous);
    ReleaseDC(label, dc);
    SetWindowPos(label, nullptr, 0, 0, extent.cx, metrics.tmHeight,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT CALLBACK LabelProc(HWND label, UINT message, WPARAM wParam, LPARAM lParam) {
    const LRESULT result = CallOwn(label, message, wParam, lParam);
    if (message == WM_SETTEXT || message == WM_SETFONT) FitLabelToText(label);
    return result;
}
} // namespace

void MakeAutoSizeLabel(HWND label) {
    Subclass(label, LabelProc);
    FitLabelToText(label);
}

void RegisterPanelClass() {
    WNDCLASSEXW windowClass{};
    if (GetClassInfoExW(GetModuleHandleW(nullptr), kPanelClassName, &windowClass)) return;
    windowClass.cbSize = sizeof(windowClass);
    windowClass.lpfnWndProc = PanelProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.lpszClassName = kPanelClassName;
    RegisterClassExW(&windowClass);
}

HWND CreatePanel(HWND parent, int id, const RECT& bounds, const TPanelLook* look) {
    RegisterPanelClass();
    return CreateWindowExW(WS_EX_CONTROLPARENT, kPanelClassName, L"",
                           WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, bounds.left, bounds.top,
                           bounds.right - bounds.left, bounds.bottom - bounds.top, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr),
                           const_cast<TPanelLook*>(look));
}

void ExtendGroupBox(HWND groupBox) {
    Subclass(groupBox, GroupBoxProc);
}

void DockChildren(RECT inner, std::vector<TDockedChild>& children) {
    auto place = [&](TAlign align) {
        for (TDockedChild& child : children) {
            if (child.Align != align) continue;
            const LONG height = child.Bounds.bottom - child.Bounds.top;
            switch (align) {
            case alTop:
                child.Bounds = {inner.left, inner.top, inner.right, inner.top + height};
                inner.top += height;
                break;
            case alBottom:
                child.Bounds = {inner.left, inner.bottom - height, inner.right, inner.bottom};
                inner.bottom -= height;
                break;
            case alClient:
                child.Bounds = inner;
                break;
            case alNone:
                break;
            }
        }
    };
    place(alTop);
    place(alBottom);
    place(alClient);
}

bool IsShownOnTop(HWND control) {
    if (!IsWindowVisible(control)) return false;
    for (HWND window = control, parent = GetParent(window);
         parent && (GetWindowLongW(window, GWL_STYLE) & WS_CHILD);
         window = parent, parent = GetParent(window)) {
        RECT bounds;
        GetWindowRect(window, &bounds);
        POINT centre{(bounds.left + bounds.right) / 2, (bounds.top + bounds.bottom) / 2};
        ScreenToClient(parent, &centre);
        if (ChildWindowFromPointEx(parent, centre, CWP_SKIPINVISIBLE) != window) return false;
    }
    return true;
}
