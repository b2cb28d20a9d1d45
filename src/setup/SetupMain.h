#pragma once
// The wizard window: licence agreement, component choice, installation, completion.
#include <windows.h>

#include <array>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/NxHTTP.h"
#include "setup/Controls.h"
#include "setup/SetupMainDesign.h"
#include "transport/NxAntiFreeze.h"

class TfrmSetupMain {
public:
    // Creates the window and its controls from the design (hidden until Show).
    TfrmSetupMain();
    ~TfrmSetupMain();
    TfrmSetupMain(const TfrmSetupMain&) = delete;
    TfrmSetupMain& operator=(const TfrmSetupMain&) = delete;

    HWND Handle() const { return FHandle; }
    HWND Control(TCtl id) const { return FControls[static_cast<size_t>(id)]; }
    // Centres the window on the screen and shows it.
    void Show();
    // Asks the window to close: FormClose, then the window is released; when it is the
    // application's main window, releasing it ends the application instead.
    void Close();

    // The four fields, set once by FormCreate.
    const std::string& BaseURL() const { return FBaseURL; }
    const std::string& VendorDir() const { return FVendorDir; }
    const std::string& ProductDir() const { return FProductDir; }
    const std::string& MainExe() const { return FMainExe; }

    // How FormClose starts the installed program (ShellExecuteA "open"); tests put in their
    // own to see the call without starting anything.
    using TLauncher = std::function<void(HWND owner, const std::string& path)>;
    void SetLauncher(TLauncher launcher) { FLauncher = std::move(launcher); }
    // How Button1Click stops running copies of the product.
    using TStopper = std::function<void(const std::string& imageName)>;
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

    // Steps of the installation run, over the install folder FVendorDir + FProductDir.
    void MigrateLegacySettings();
    void RegisterUninstall();
    void CreateDesktopShortcut();
    std::string InstallDir() const { return FVendorDir + FProductDir; }

    // Sets a control's text; a label sizes itself to it.
    void SetCaption(TCtl id, const std::wstring& text);
    std::wstring Caption(TCtl id) const;
    void SetVisible(TCtl id, bool visible);

    // Keyboard navigation as a dialog has it; called by the message loop. True when handled.
    bool DialogKey(MSG& msg);
    // The controls Tab visits, in order (shown or not).
    std::vector<TCtl> TabStops() const;

    // The installation run's parts (InstallRun.cpp). A download's failure is false, never
    // an error; the work events move ProgressBar1 and pump the window's messages.
    bool DownloadToStream(const std::string& url, TMemoryStream& buffer);
    void FHTTPWorkBegin(TWorkMode mode, int32_t workCountMax);
    void FHTTPWork(TWorkMode mode, int32_t workCount);
    void FHTTPWorkEnd(TWorkMode mode);
    // A run is in progress (set by Button3Click until it returns).
    bool Installing() const { return FInstalling; }

    TNxAntiFreeze NxAntiFreeze1;
    // The TLS layer, for an https base URL only; declared before FHTTP, which borrows it.
    std::unique_ptr<TNxIOHandlerTLS> FTLSLayer;
    std::unique_ptr<TNxHTTP> FHTTP;

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void CreateControls();
    HWND CreateControl(const TControlDesign& row, HWND parent);
    HFONT FontOf(TFont font) const;
    void Clicked(int controlId);
    void MemoFocused();
    void MoveFocus(bool backwards);
    void CreateHTTP();
    void RunInstallation();
    // A close request during the run: stop it and drop the download in progress.
    void AbandonRun();
    void CheckCancelled() const;
    void PumpRun();

    struct TFontDeleter {
        void operator()(HFONT font) const { DeleteObject(font); }
    };
    using TFontHandle = std::unique_ptr<std::remove_pointer_t<HFONT>, TFontDeleter>;
    struct TBitmapDeleter {
        void operator()(HBITMAP bitmap) const { DeleteObject(bitmap); }
    };

    HWND FHandle = nullptr;
    std::array<HWND, kControlCount> FControls{};
    std::array<TPanelLook, kControlCount> FPanelLooks{};
    TFontHandle FWindowFont, FFont12, FFont12Bold;
    std::unique_ptr<std::remove_pointer_t<HBITMAP>, TBitmapDeleter> FPicture;
    HWND FLastFocus = nullptr;
    bool FCloseRequested = false;
    bool FInstalling = false;
    bool FCancelled = false;
    TLauncher FLauncher;
    TStopper FStopper;
    TInstallation FInstallation;

    std::string FBaseURL;
    std::string FVendorDir;
    std::string FProductDir;
    std::string FMainExe;
};

// The window while it exists (set when it is created, cleared by FormDestroy).
extern TfrmSetupMain* frmSetupMain;

// The local application-data folder, without a trailing backslash.
std::string LocalAppDataPath();
