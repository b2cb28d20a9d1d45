#include "setup/DisplayScale.h"

#include <cstdint>

int ScaleToDpi(int value, int dpi) {
    const int64_t product = static_cast<int64_t>(value) * dpi;
    const int64_t half = kDesignDpi / 2;
    return static_cast<int>(product >= 0 ? (product + half) / kDesignDpi : (product - half) / kDesignDpi);
}

RECT ScaleToDpi(const RECT& bounds, int dpi) {
    return {ScaleToDpi(bounds.left, dpi), ScaleToDpi(bounds.top, dpi), ScaleToDpi(bounds.right, dpi),
            ScaleToDpi(bounds.bottom, dpi)};
}

int WindowDpi(HWND window) {
    using TGetDpiForWindow = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<TGetDpiForWindow>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
    if (getDpiForWindow) {
        const UINT dpi = getDpiForWindow(window);
        if (dpi > 0) return static_cast<int>(dpi);
    }
    const HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen) ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : kDesignDpi;
}

void SetClientArea(HWND window, POINT topLeft, int width, int height) {
    // A new size can change the frame once more (the system recomputes it on the move), so
    // the frame is measured again until the client area fits; twice settles it in practice.
    constexpr int kAttempts = 3;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        RECT frame, client;
        GetWindowRect(window, &frame);
        GetClientRect(window, &client);
        if (attempt > 0 && client.right == width && client.bottom == height) return;
        const int frameWidth = (frame.right - frame.left) - client.right;
        const int frameHeight = (frame.bottom - frame.top) - client.bottom;
        SetWindowPos(window, nullptr, topLeft.x, topLeft.y, width + frameWidth, height + frameHeight,
                     SWP_NOZORDER | SWP_NOACTIVATE);
    }
}
