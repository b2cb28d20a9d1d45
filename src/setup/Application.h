#pragma once
// The application object: its title and icon, COM for the GUI thread, the message loop, the
// message pump used inside long operations, and the standard error box.
#include <windows.h>

#include <exception>
#include <functional>
#include <string>

#include "setup/CodePage.h"

class TApplication {
public:
    TApplication();
    ~TApplication();
    TApplication(const TApplication&) = delete;
    TApplication& operator=(const TApplication&) = delete;

    // COM as a single-threaded apartment, the title and the icon.
    void Initialize();
    // The common controls' classes (the progress bar), for the first window that has any:
    // a run without a window never loads them (comctl32 and the theme library it brings
    // cost a very silent run about 20 ms under Wine).
    void LoadCommonControls();

    // The program file's name without folder, cut at its first full stop, every letter after
    // the first in lower case; it captions every message box of the program.
    const std::wstring& Title() const { return FTitle; }
    HICON Icon() const { return FIcon; }

    // The window whose closing ends the application. Keyboard messages for it (and its
    // controls) go through the filter first; a true result means "handled, do not dispatch".
    using TMessageFilter = std::function<bool(MSG&)>;
    void SetMainWindow(HWND window, TMessageFilter filter);
    HWND MainWindow() const { return FMainWindow; }

    // Runs the message loop until the application is asked to end.
    void Run();
    // Handles every pending message; a quit message marks the application as ending.
    void ProcessMessages();
    // Asks the application to end once the current handler has returned.
    void Terminate();
    bool Terminated() const;

    // The standard error box for an error that escaped a handler.
    void HandleException(const std::exception& error) noexcept;

    static std::wstring TitleFromFileName(const std::wstring& path);
    // The error text in UTF-16 (the message is in the ANSI code page) with a full stop added
    // when it does not end in one.
    static std::wstring ErrorBoxText(const std::string& message);

private:
    // Dispatches one message; false when it was the quit message.
    bool HandleMessage(MSG& msg);
    // The main window's filter for its own messages, then translate and dispatch. The
    // anti-freeze hands the messages it pumps inside a blocking call here too, so that Tab
    // and Enter work during a download as they do between them.
    void DispatchOne(MSG& msg);

    std::wstring FTitle;
    HICON FIcon = nullptr;
    HWND FMainWindow = nullptr;
    TMessageFilter FFilter;
    bool FInitialized = false;
    bool FComInitialized = false;
    bool FCommonControls = false;
};

// The process-wide application object.
TApplication& Application();
