#pragma once
// The wizard window: licence agreement, component choice, installation, completion.
#include <windows.h>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "setup/CommandLine.h"
#include "setup/Controls.h"
#include "setup/InstallRun.h"
#include "setup/InstallView.h"
#include "setup/SetupMainDesign.h"
#include "transport/NxAntiFreeze.h"

// The window shows the installation run on its installation page: it is the run's view.
class TfrmSetupMain : public TInstallView {
public:
    // Creates the window and its controls from the design (hidden until Show).
    TfrmSetupMain();
    ~TfrmSetupMain() override;
    TfrmSetupMain(const TfrmSetupMain&) = delete;
    TfrmSetupMain& operator=(const TfrmSetupMain&) = delete;

    HWND Handle() const { return FHandle; }
    HWND Control(TCtl id) const { return FControls[static_cast<size_t>(id)]; }
    // The DPI the window is laid out for: the monitor's at creation, then each WM_DPICHANGED's.
    int Dpi() const { return FDpi; }
    // Centres the window on the screen and shows it.
    void Show();
    // Asks the window to close: FormClose, then the window is released; when it is the
    // application's main window, releasing it ends the application instead.
    void Close();

    // The four fields, set once by FormCreate.
    const std::string& BaseURL() const { return FBaseURL; }
    const std::wstring& VendorDir() const { return FVendorDir; }
    const std::wstring& ProductDir() const { return FProductDir; }
    const std::wstring& MainExe() const { return FMainExe; }

    // How FormClose starts the installed program (StartInstalledProgram, noted in the run's
    // log); tests put in their own to see the call without starting anything.
    using TLauncher = std::function<void(HWND owner, const std::wstring& path)>;
    void SetLauncher(TLauncher launcher) { FLauncher = std::move(launcher); }
    // How Button1Click stops running copies of the installed program (given its path).
    using TStopper = std::function<void(const std::wstring& program)>;
    void SetStopper(TStopper stopper) { FStopper = std::move(stopper); }
    // What Button3Click runs once the installation page shows (the run by default); tests of
    // the pages put in their own so that nothing is downloaded or registered.
    using TInstallation = std::function<void()>;
    void SetInstallation(TInstallation run) { FInstallation = std::move(run); }

    // Handlers of the window and its buttons.
    void FormCreate();
    void FormActivate();
    void FormClose();
    void FormDestroy();
    void Button1Click();
    void Button2Click();
    void Button3Click();
    void Button5Click();
    // The two halves of Button3Click: the installation page, then the run on it.
    void ShowInstallationPage();
    void RunInstallation();

    std::wstring InstallDir() const { return FVendorDir + FProductDir; }

    // Sets a control's text; a label sizes itself to it.
    void SetCaption(TCtl id, const std::wstring& text);
    std::wstring Caption(TCtl id) const;
    void SetVisible(TCtl id, bool visible);

    // Keyboard navigation as a dialog has it; called by the message loop. True when handled.
    bool DialogKey(MSG& msg);
    // The controls Tab visits, in order (shown or not).
    std::vector<TCtl> TabStops() const;

    // The run's view: the status line lblMsg, ProgressBar1 (range 0 to the transfer's total),
    // the application's message pump (true once the window was asked to close) and the
    // application's standard error box.
    void ShowStatus(const std::wstring& text) override;
    void ProgressBegin(int32_t maximum) override;
    void ProgressAdvance(int32_t position) override;
    void ProgressEnd() override;
    void ProgressResume(int32_t maximum, int32_t position) override;
    bool ProcessMessages() override;
    void ReportError(const std::string& message) override;
    // The proxy's credentials box over the window; an unattended run asks nothing.
    bool AskProxyCredentials(const std::string& proxy, std::string& user, std::string& password) override;

    // A run is in progress (set by Button3Click until it returns).
    bool Installing() const { return FInstalling; }
    // How the last run ended; unset before the first (and for a test's own installation).
    std::optional<TInstallOutcome> Outcome() const { return FOutcome; }
    // Unattended: a failure shows no box (the log and the exit code tell it).
    void SetUnattended(bool unattended) { FUnattended = unattended; }
    // The installation run "설치" starts; its HTTP client lives as long as the window.
    TInstallRun& InstallRun() { return *FRun; }

    // Keeps the window live while the run's transport waits on the network.
    TNxAntiFreeze NxAntiFreeze1;

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void CreateControls();
    HWND CreateControl(const TControlDesign& row, HWND parent);
    HFONT FontOf(TFont font) const;
    // Fonts, picture and icons for FDpi; Rescale also moves every control and sizes the window.
    void MakeFonts();
    void SetPicture();
    void SetIcons();
    void Rescale(int dpi, POINT topLeft);
    void Clicked(int controlId);
    void MemoFocused();
    void MoveFocus(bool backwards);
    void ShowCompletionPage();

    struct TFontDeleter {
        void operator()(HFONT font) const { DeleteObject(font); }
    };
    using TFontHandle = std::unique_ptr<std::remove_pointer_t<HFONT>, TFontDeleter>;
    struct TBitmapDeleter {
        void operator()(HBITMAP bitmap) const { DeleteObject(bitmap); }
    };
    struct TIconDeleter {
        void operator()(HICON icon) const { DestroyIcon(icon); }
    };
    using TIconHandle = std::unique_ptr<std::remove_pointer_t<HICON>, TIconDeleter>;

    HWND FHandle = nullptr;
    std::array<HWND, kControlCount> FControls{};
    std::array<TPanelLook, kControlCount> FPanelLooks{};
    TFontHandle FWindowFont, FFont12, FFont12Bold;
    std::unique_ptr<std::remove_pointer_t<HBITMAP>, TBitmapDeleter> FPicture;
    TIconHandle FSmallIcon, FBigIcon;
    int FDpi = kDesignDpi;
    HWND FLastFocus = nullptr;
    bool FCloseRequested = false;
    bool FInstalling = false;
    bool FUnattended = false;
    std::optional<TInstallOutcome> FOutcome;
    // Created first: its HTTP client, the first network component, creates the socket stack.
    std::unique_ptr<TInstallRun> FRun;
    TLauncher FLauncher;
    TStopper FStopper;
    TInstallation FInstallation;

    std::string FBaseURL;
    std::wstring FVendorDir;
    std::wstring FProductDir;
    std::wstring FMainExe;
};

// The window while it exists (set when it is created, cleared by FormDestroy).
extern TfrmSetupMain* frmSetupMain;

// What every run takes from its command line: the log's file, the note of how the program
// was started, and the proxy's credentials.
void PrepareRun(TInstallRun& run, const TSetupCommandLine& commandLine);
// The window as the wizard and /SILENT both start it: its run prepared, the product not
// started at the end without /RUN where the mode needs it, made the application's main
// window. Raises what making the window raises.
std::unique_ptr<TfrmSetupMain> MakeSetupWindow(const TSetupCommandLine& commandLine);
