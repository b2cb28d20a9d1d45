#pragma once
// The containers of the wizard window: panels (a window class of ours) and group boxes (the
// system's, extended), their docking, and the question which control is actually on top.
#include <windows.h>

#include <vector>

enum TAlign { alNone, alTop, alBottom, alClient };

// The window class of the panels. A panel paints its background and, when raised, a
// one-pixel raised bevel; it colours its labels like itself and passes its children's
// commands to the top-level window.
extern const wchar_t* const kPanelClassName;
void RegisterPanelClass();
// Settings a panel keeps for painting, owned by whoever creates the panel.
struct TPanelLook {
    bool RaisedBevel = false;
    HBRUSH Background = nullptr;
    COLORREF BackgroundColor = 0;
};
HWND CreatePanel(HWND parent, int id, const RECT& bounds, const TPanelLook* look);

// Makes a group box pass its children's commands up and colour its labels like its parent.
void ExtendGroupBox(HWND groupBox);

// Makes a static control a label that sizes itself to its text in its font, whenever the text
// or the font changes (also when another program sets the text).
void MakeAutoSizeLabel(HWND label);

// Docking inside a container: the inner rectangle (client area less the bevel) is handed out
// top-docked first, then bottom-docked, then the remainder to client-docked children, each in
// the given order. Children without alignment keep their bounds.
struct TDockedChild {
    TAlign Align;
    RECT Bounds;
};
void DockChildren(RECT inner, std::vector<TDockedChild>& children);

// The control is visible and, at its centre, not covered by a sibling higher in the z-order,
// and the same holds for each of its containers up to the top-level window.
bool IsShownOnTop(HWND control);
