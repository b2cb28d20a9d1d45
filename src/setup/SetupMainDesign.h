#pragma once
// The stored design of the wizard window: one row per control, in creation order.
#include <windows.h>

#include <array>

#include "setup/Controls.h"
#include "setup/DisplayScale.h"

// The controls, in the order of the design table (the value is the row's index).
// clang-format off
enum class TCtl {
    Panel1, Image1, Label1, Label2,
    Panel2, Label3, Memo1, Label4,
    Panel5, Label5, Label6, Label10, GroupBox1, Label7, Label8, Label9, GroupBox2, CheckBox2,
    Panel6, Label11, Label12, ProgressBar1, lblMsg,
    Panel7, Label13, Label14,
    Panel3, Button1, Button2, Panel4, Button3, Button4, Button5,
    Count,
    Window = -1, // the window itself, as a parent
};
// clang-format on
constexpr int kControlCount = static_cast<int>(TCtl::Count);

enum class TKind { Panel, Image, Label, Memo, GroupBox, CheckBox, Button, ProgressBar };
enum class TFont { Window, Regular12, Bold12 };
enum class TClick { None, Button1Click, Button2Click, Button3Click, Button5Click };

// Flags of a row.
enum : unsigned {
    dfRaised = 1u << 0,   // raised one-pixel bevel (panels)
    dfWhite = 1u << 1,    // white background instead of the button face (panels)
    dfChecked = 1u << 2,  // check box starts checked
    dfDisabled = 1u << 3, // starts disabled
    dfReadOnly = 1u << 4, // memo cannot be edited
    dfVScroll = 1u << 5,  // memo has a vertical scroll bar (and wraps its lines)
};

struct TControlDesign {
    TCtl Id;
    const wchar_t* Name;
    TKind Kind;
    TCtl Parent;
    int Left, Top, Width, Height;
    TAlign Align;
    const wchar_t* Caption; // nullptr for the memo: it holds the licence text
    TFont Font;
    int TabOrder; // within the parent; -1 for controls that are not windows of their own in the tab order
    unsigned Flags;
    TClick Click;
};

extern const std::array<TControlDesign, kControlCount> kSetupMainDesign;

// The window itself.
inline constexpr const wchar_t* kSetupMainClassName = L"TfrmSetupMain";
inline constexpr const wchar_t* kSetupMainCaption = L"Setup";
inline constexpr int kSetupMainClientWidth = 482;
inline constexpr int kSetupMainClientHeight = 260;
inline constexpr const wchar_t* kDesignFontFace = L"굴림체";
inline constexpr int kWindowFontHeight = -11;
inline constexpr int kControlFontHeight = -12;
// The input method the memo asks for when it gets the focus (when it is installed).
inline constexpr const wchar_t* kMemoImeName = L"한국어 입력 시스템 (IME 2000)";

// Control identifiers (what GetDlgCtrlID returns): clear of IDOK and IDCANCEL, which the
// dialog key handling sends for Enter and Esc.
inline constexpr int kFirstControlId = 100;
constexpr int ControlId(TCtl id) {
    return kFirstControlId + static_cast<int>(id);
}
inline const TControlDesign& Design(TCtl id) {
    return kSetupMainDesign[static_cast<size_t>(id)];
}

// Every control's bounds within its parent after docking, worked out from the design's sizes
// at the given DPI: docked panels take their place from their container's inner rectangle
// (less a raised bevel, one pixel at any DPI as the system draws it); the others have their
// edges scaled. At 96 DPI these are the design's own pixels.
std::array<RECT, kControlCount> DockedDesignBounds(int dpi = kDesignDpi);
