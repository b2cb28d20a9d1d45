#pragma once
// The installation run: folders, settings migration, the product files from the
// distribution server, the version file, the uninstall entry and the desktop shortcut. It
// owns the installer's HTTP client and reaches whoever shows it only through a TInstallView,
// so that the wizard, a run with the installation page alone and a run without any window
// drive the same steps.
#include <cstdint>
#include <memory>
#include <string>

#include "base/Exception.h"
#include "base/Stream.h"
#include "http/NxHTTP.h"
#include "setup/InstallFiles.h"
#include "setup/InstallLog.h"
#include "setup/InstallView.h"

// The user asked to stop during the run; nothing more is done.
NX_DECLARE_EXCEPTION(EInstallCancelled, Exception)
// The run cannot end well (no application-data folder, no main program); its error box
// names the installation log.
NX_DECLARE_EXCEPTION(EInstallError, Exception)

// Shown instead of the completion page when the main program is not in the install folder
// at the end of the run (every download failed: the server is down, the host is wrong).
inline constexpr const wchar_t* kDownloadFailedText =
    L"프로그램 파일을 내려받지 못했습니다. 네트워크 연결을 확인하신 후 다시 설치해 주세요.";
// The status line left with that message.
inline constexpr const wchar_t* kInstallFailedStatus = L"설치를 완료하지 못했습니다.";
// The system does not tell where the local application-data folder is: nothing is written.
inline constexpr const wchar_t* kNoLocalAppDataText =
    L"사용자 프로그램 데이터 폴더를 찾을 수 없어 설치할 수 없습니다.";
// The line those boxes add, around the log file's path.
inline constexpr const wchar_t* kLogNoteBefore = L"설치 과정은 ";
inline constexpr const wchar_t* kLogNoteAfter = L" 파일에 기록되어 있습니다.";

// The local application-data folder, without a trailing backslash.
std::string LocalAppDataPath();

// Where a run installs and where it fetches the files from.
struct TInstallPlace {
    // The distribution server, ending in "/"; every server path is appended to it.
    std::string BaseURL;
    // The local application-data folder (empty when the system does not tell).
    std::string AppDataDir;
    // AppDataDir + "\Brindlewick\", "Marrowgate" and "mrwgt.exe".
    std::string VendorDir;
    std::string ProductDir;
    std::string MainExe;
    std::string InstallDir() const { return VendorDir + ProductDir; }
};
// The place of this build: its distribution host and this user's application-data folder.
TInstallPlace DefaultInstallPlace();

// How a run ended. The values are the exit codes of a run without a window.
enum TInstallOutcome { ioCompleted = 0, ioFailed = 1, ioCancelled = 2 };
const char* OutcomeText(TInstallOutcome outcome);

class TInstallRun {
public:
    // Creates the HTTP client with the installer's stored settings (and with it, as the first
    // network component, the socket stack). The view is borrowed for the run's whole life.
    explicit TInstallRun(TInstallView& view);
    ~TInstallRun();
    TInstallRun(const TInstallRun&) = delete;
    TInstallRun& operator=(const TInstallRun&) = delete;

    TNxHTTP& HTTP() { return *FHTTP; }

    // The installation log's file; empty (the default) for a new one in %TEMP%.
    void SetLogPath(std::string path) { FLogPath = std::move(path); }

    // Runs every step. Never throws: a failure goes to the view's ReportError (unless the
    // user had asked to stop) and to the log, and the outcome tells how the run ended.
    TInstallOutcome Run(const TInstallPlace& place);
    // Stops the run as soon as it can: the download in progress is dropped at once. Safe to
    // call from inside the view's ProcessMessages; does nothing when no run is in progress.
    void Cancel();
    bool Running() const { return FRunning; }

    // The last run's failure as the error box shows it, and its log (empty when the log
    // could not be written).
    const std::string& ErrorText() const { return FErrorText; }
    const std::string& LogPath() const { return FLogFile; }

    // GET url into buffer: false for any failure, never an error; the buffer is rewound.
    bool DownloadToStream(const std::string& url, TMemoryStream& buffer);

private:
    void Steps(const TInstallPlace& place);
    void MakeFolder(const std::string& path);
    void Save(const std::string& path, const char* data, size_t size);
    void Register(const TInstallPlace& place);
    void ShowStatus(const std::wstring& text);
    // Pumps the view; a stop request there cancels the run.
    void Pump();
    void PumpAndCheck();
    void CheckCancelled() const;
    void Log(const std::string& text);
    void Log(const std::wstring& text);

    TInstallView& FView;
    std::unique_ptr<TNxHTTP> FHTTP;
    std::unique_ptr<TInstallLog> FLog;
    std::string FLogPath;
    std::string FLogFile;
    std::string FErrorText;
    std::wstring FLastStatus;
    bool FRunning = false;
    bool FCancelled = false;
};
