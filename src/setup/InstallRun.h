#pragma once
// The installation run: folders, settings migration, the product files from the
// distribution server, the version file, the uninstall entry and the desktop shortcut. It
// owns the installer's HTTP client and reaches whoever shows it only through a TInstallView,
// so that the wizard, a run with the installation page alone and a run without any window
// drive the same steps.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "base/Stream.h"
#include "http/NxHTTP.h"
#include "http/NxManifest.h"
#include "http/NxProxyRoute.h"
#include "http/NxRetry.h"
#include "setup/InstallFiles.h"
#include "setup/InstallLog.h"
#include "setup/InstallView.h"
#include "setup/SystemProxy.h"
#include "transport/NxIOHandlerTLS.h"

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
// A folder or file of the installation leads elsewhere (a link or a junction that some program
// made): nothing more is written.
inline constexpr const wchar_t* kRedirectedText =
    L"설치 폴더가 다른 위치로 연결되어 있어 설치를 중단했습니다. 설치 폴더를 확인하신 후 다시 설치해 주세요.";
// The system does not tell where the local application-data folder is: nothing is written.
inline constexpr const wchar_t* kNoLocalAppDataText =
    L"사용자 프로그램 데이터 폴더를 찾을 수 없어 설치할 수 없습니다.";
// The line those boxes add, around the log file's path.
inline constexpr const wchar_t* kLogNoteBefore = L"설치 과정은 ";
inline constexpr const wchar_t* kLogNoteAfter = L" 파일에 기록되어 있습니다.";

// A build that holds the vendor's manifest keys installs only bytes the signed manifest
// vouches for; each refusal ends the run before anything unverified is written, with its own
// text (and the line naming the log). The status line while the manifest is fetched:
inline constexpr const wchar_t* kManifestStatus = L"설치 파일 확인중..";
inline constexpr const wchar_t* kManifestMissingText =
    L"설치 파일 목록을 내려받지 못했습니다. 네트워크 연결을 확인하신 후 다시 설치해 주세요.";
inline constexpr const wchar_t* kManifestFormatText = L"설치 파일 목록의 형식이 올바르지 않습니다.";
inline constexpr const wchar_t* kManifestSignatureText =
    L"설치 파일 목록의 서명이 올바르지 않습니다. 배포 서버의 파일이 변조되었을 수 있습니다.";
inline constexpr const wchar_t* kManifestExpiredText =
    L"설치 파일 목록의 유효 기간이 지났습니다. 컴퓨터의 날짜와 시간을 확인해 주세요.";
inline constexpr const wchar_t* kManifestSerialText =
    L"설치 파일 목록이 이미 설치된 것보다 오래되었습니다. 배포 서버의 파일이 변조되었을 수 있습니다.";
inline constexpr const wchar_t* kManifestKeysText = L"설치 프로그램의 서명 키를 사용할 수 없습니다.";
inline constexpr const wchar_t* kVerifyUnavailableText =
    L"이 컴퓨터에서는 설치 파일의 서명을 확인할 수 없습니다.";
// Followed by the file's name.
inline constexpr const wchar_t* kFileMismatchText = L"내려받은 파일이 설치 파일 목록과 다릅니다: ";
inline constexpr const wchar_t* kFileUnavailableText = L"설치 파일 목록에 있는 파일을 내려받지 못했습니다: ";

// A proxy asked for credentials that the run could not give, or refused those it gave (the
// log says which), or asked for a kind of authentication that Setup does not speak.
inline constexpr const wchar_t* kProxyAuthFailedText =
    L"프록시 서버가 인증을 요구합니다. 프록시 사용자 이름과 암호를 확인하신 후 다시 설치해 주세요.";

// The status line while the run waits before attempt N of M: before + N + "/" + M + after.
inline constexpr const wchar_t* kRetryStatusBefore = L"연결이 끊어져 다시 시도하는 중입니다.. (";
inline constexpr const wchar_t* kRetryStatusAfter = L")";

// The local application-data folder, without a trailing backslash.
std::wstring LocalAppDataPath();
// The vendor's folder in it, which holds the product's.
inline constexpr const wchar_t* kVendorFolder = L"Brindlewick";

// Where a run installs and where it fetches the files from.
struct TInstallPlace {
    // The distribution server, ending in "/"; every server path is appended to it.
    std::string BaseURL;
    // The local application-data folder (empty when the system does not tell).
    std::wstring AppDataDir;
    // AppDataDir + "\Brindlewick\", "Marrowgate" and "mrwgt.exe".
    std::wstring VendorDir;
    std::wstring ProductDir;
    std::wstring MainExe;
    std::wstring InstallDir() const { return VendorDir + ProductDir; }
    // A file of the product on the server: the base URL, then "/deri_vere/" and the name (so
    // two slashes follow the host).
    std::string FileURL(const std::string& name) const { return BaseURL + "/deri_vere/" + name; }
};
// The place of this build: its distribution host and this user's application-data folder.
TInstallPlace DefaultInstallPlace();

// How a run ended. The values are the exit codes of a run without a window.
enum TInstallOutcome { ioCompleted = 0, ioFailed = 1, ioCancelled = 2 };
const char* OutcomeText(TInstallOutcome outcome);

class TInstallRun {
public:
    // A wait between attempts pumps the window's messages at least this often.
    static constexpr int32_t kWaitSlice = 100;

    // Creates the HTTP client with the installer's stored settings (NxApplyInstallerSettings,
    // the 30 s stall limit among them) and with it, as the first network component, the socket
    // stack. The view is borrowed for the run's whole life.
    explicit TInstallRun(TInstallView& view);
    ~TInstallRun();
    TInstallRun(const TInstallRun&) = delete;
    TInstallRun& operator=(const TInstallRun&) = delete;

    TNxProxiedHTTP& HTTP() { return *FHTTP; }
    TNxRetryPolicy& RetryPolicy() { return FRetryPolicy; }

    // The vendor's manifest keys (PEM text) and the lowest serial accepted: the build's own
    // unless set. Without keys the run fetches no manifest.
    void SetManifestKeys(std::string pem, uint64_t minSerial) {
        FManifestKeys = std::move(pem);
        FMinSerial = minSerial;
    }

    // Where the proxy of each URL comes from: the system's settings unless set (the tests').
    void SetProxySource(std::unique_ptr<TSystemProxy> source) { FProxy = std::move(source); }
    // The proxy's user name and password of the command line (/PROXYUSER=, /PROXYPASSWORD=),
    // offered when a proxy asks for them; never logged or written anywhere.
    void SetProxyCredentials(std::string user, std::string password) {
        FProxyUser = std::move(user);
        FProxyPassword = std::move(password);
    }

    // The installation log's file; empty (the default) for a new one in %TEMP%.
    void SetLogPath(std::wstring path) { FLogPath = std::move(path); }
    // A line for the next run's log, right after its heading: what happened before the run
    // (how it was started, running copies that could not be stopped).
    void AddEarlierNote(std::string line) { FEarlierNotes.push_back(std::move(line)); }

    // Runs every step. Never throws: a failure goes to the view's ReportError (unless the
    // user had asked to stop) and to the log, and the outcome tells how the run ended. The log
    // stays open for LogAfterRun until the next run or the end of the object.
    TInstallOutcome Run(const TInstallPlace& place);
    // A line in the last run's log (how the installed program was started).
    void LogAfterRun(const std::string& line) { Log(line); }
    // Stops the run as soon as it can: the download in progress is dropped at once. Safe to
    // call from inside the view's ProcessMessages; does nothing when no run is in progress.
    void Cancel();
    bool Running() const { return FRunning; }

    // The last run's failure as the error box shows it, and its log (empty when the log
    // could not be written).
    const std::string& ErrorText() const { return FErrorText; }
    const std::wstring& LogPath() const { return FLogFile; }

    // GET url into buffer under the retry policy: a transient failure is tried again (at most
    // four attempts, 1, 2 and 4 s apart, or as a 429 or 503 asks), a cut body resumed where
    // the server allows it. False for any final failure, never an error; the buffer is
    // rewound. A stop request ends a wait at once.
    bool DownloadToStream(const std::string& url, TStream& buffer);

private:
    void Steps(const TInstallPlace& place);
    // The folders, the settings migration and the product files.
    void WriteFiles(const TInstallPlace& place);
    // The signed manifest, fetched and checked before anything is written.
    void LoadManifest(const TInstallPlace& place);
    // The serial below which no manifest is taken: the build's, or the one an earlier run
    // accepted.
    uint64_t SerialFloor(const std::vector<TNxP256PublicKey>& keys, const std::wstring& installDir);
    // One product file into buffer: as it is served, or with a manifest only when listed, and
    // then only bytes that match the listing. False when it is to be skipped.
    bool FetchFile(const TInstallPlace& place, const std::string& name, TMemoryStream& buffer);
    void Save(const TInstallFolder& folder, const std::string& name, const char* data, size_t size);
    void Register(const TInstallPlace& place);
    void ShowStatus(const std::wstring& text);
    // The routes for url as the proxy settings give them (the credentials added once the proxy
    // has asked for them), logged with the reason.
    std::vector<TNxProxyRoute> RoutesFor(const std::string& url, const std::string& shown);
    // A 407 for url: true when there are credentials to try (once per run: the command line's,
    // or the user's answer); otherwise the run ends with kProxyAuthFailedText.
    bool AnswerProxyChallenge(const std::string& shown);
    void LogAttempt(const std::string& url, const TNxAttemptReport& report);
    // The retry policy's wait: false when the run was stopped meanwhile.
    bool WaitBefore(int32_t ms, int32_t next, int32_t attempts);
    // Pumps the view; a stop request there cancels the run.
    void Pump();
    void PumpAndCheck();
    void CheckCancelled() const;
    void Log(const std::string& text);
    void Log(const std::wstring& text);
    // The HTTP client's work events, mapped onto the view's progress.
    void TransferBegins(int32_t maximum);
    void TransferAdvances(int32_t count);
    void TransferEnds();

    // The download the work events belong to and how far its bar has gone.
    struct TProgress {
        TStream* Buffer = nullptr;
        int64_t Offset = 0; // bytes kept from earlier attempts when this transfer began
        int64_t Shown = 0;  // the furthest position shown for this download
        int32_t Maximum = 0;
        int32_t Count = 0;
        bool Ignored = false;
    };

    TInstallView& FView;
    TProgress FProgress;
    // The policy's defaults: four attempts, waits of 1, 2 and 4 s, a Retry-After up to 30 s.
    TNxRetryPolicy FRetryPolicy;
    // The TLS layer, made for an https server only; declared before FHTTP, which borrows it.
    std::unique_ptr<TNxIOHandlerTLS> FTLSLayer;
    std::unique_ptr<TNxProxiedHTTP> FHTTP;
    std::unique_ptr<TSystemProxy> FProxy;
    std::string FProxyUser;
    std::string FProxyPassword;
    // The credentials go with every request to an HTTP proxy from the first 407 on; a 407
    // after that is a refusal.
    bool FProxyCredentialsInUse = false;
    bool FProxyCredentialsAsked = false;
    std::unique_ptr<TInstallLog> FLog;
    std::string FManifestKeys;
    uint64_t FMinSerial = 0;
    // The manifest of this run, and its text as it was served; empty without keys.
    std::unique_ptr<TNxManifest> FManifest;
    std::string FManifestText;
    std::wstring FLogPath;
    std::vector<std::string> FEarlierNotes;
    std::wstring FLogFile;
    std::string FErrorText;
    std::wstring FLastStatus;
    bool FRunning = false;
    bool FCancelled = false;
};
