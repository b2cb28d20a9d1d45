#pragma once
// The display scale: the window's design is laid out in pixels at 96 DPI, and the window
// shows it at the DPI of the monitor it is on (declared per-monitor aware in the manifest).
#include <windows.h>

inline constexpr int kDesignDpi = 96;
// Sent to a per-monitor aware window when its DPI changes (Windows 8.1 on); wParam holds
// the new DPI, lParam the suggested window rectangle. Not declared for our target version.
inline constexpr UINT kWmDpiChanged = 0x02E0;

// A length of the design at the given DPI, to the nearest pixel (halves away from zero).
int ScaleToDpi(int value, int dpi);
// A rectangle of the design with each edge scaled, so that controls that touch at 96 DPI
// still touch at any other.
RECT ScaleToDpi(const RECT& bounds, int dpi);

// The DPI a window is shown at: GetDpiForWindow where the system has it (Windows 10 1607 on,
// looked up by name so that older systems still start the program), else the screen's.
int WindowDpi(HWND window);

// Moves a top-level window to topLeft and sizes it so that its client area is exactly
// width x height. The frame is measured, not computed: after a DPI change the caption and
// borders may not yet have the size the new DPI's metrics give.
void SetClientArea(HWND window, POINT topLeft, int width, int height);
