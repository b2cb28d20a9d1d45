#include "setup/InstallRun.h"

#include <windows.h>

#include <shlobj.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "base/Format.h"
#include "setup/Application.h"
#include "setup/Migration.h"
#include "setup/Registration.h"
#include "transport/NxException.h"

#ifndef NX_DISTRIBUTION_HOST
#error "NX_DISTRIBUTION_HOST names the distribution server; the build sets it"
#endif

std::string LocalAppDataPath() {
    constexpr int kLocalAppData = 28; // CSIDL_LOCAL_APPDATA
    char path[MAX_PATH + 1] = {};
    SHGetFolderPathA(nullptr, kLocalAppData, nullptr, 0, path);
    return std::string(path, strnlen(path, sizeof(path)));
}

TInstallPlace DefaultInstallPlace() {
    TInstallPlace place;
    place.BaseURL = std::string("http://") + NX_DISTRIBUTION_HOST + "/";
    place.AppDataDir = LocalAppDataPath();
    place.VendorDir = place.AppDataDir + "\\Brindlewick\\";
    place.ProductDir = "Marrowgate";
    place.MainExe = "mrwgt.exe";
    return place;
}

const char* OutcomeText(TInstallOutcome outcome) {
    switch (outcome) {
    case ioCompleted:
        return "completed";
    case ioFailed:
        return "failed";
    case ioCancelled:
        return "cancelled";
    }
    return "unknown";
}

namespace {
// The four product files before the version file, with the status text set before each
// (none for the first: the settings migration's last text stays).
struct TFileStep {
    const wchar_t* Status;
    const char* Name;
};
constexpr std::array<TFileStep, 4> kFileSteps = {{
    {nullptr, "uninstall.exe"},
    {L"데이터베이스 버전체크..", "libmySQL50.dll"},
    {L"데이터베이스 엔진체크..", "libmysql.dll"},
    {L"업데이트 엔진체크..", "auto_up.exe"},
}};

// The socket error code of a failure, 0 for none: ENxSocketError carries it, and a failed
// connect (whose thread hands over only the text) names it in its message.
int32_t SocketErrorCodeOf(const std::exception& error) {
    if (const auto* socket = dynamic_cast<const ENxSocketError*>(&error)) return socket->ErrorCode();
    if (!dynamic_cast<const ENxConnectException*>(&error)) return 0;
    static const std::string kMarker = "Socket Error # ";
    const std::string text = error.what();
    const size_t at = text.find(kMarker);
    return at == std::string::npos ? 0 : std::atoi(text.c_str() + at + kMarker.size());
}

int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}
} // namespace

TInstallRun::TInstallRun(TInstallView& view) : FView(view), FHTTP(std::make_unique<TNxHTTP>()) {
    TNxHTTP& http = *FHTTP;
    http.ReadTimeout = 0;
    http.MaxLineAction = maException;
    http.AllowCookies = true;
    http.ProxyParams().SetProxyPort(0);
    http.ProxyParams().SetBasicAuthentication(false);
    auto& r = http.Request();
    r.SetContentLength(0);
    r.SetContentRangeStart(0);
    r.SetContentRangeEnd(0);
    r.SetContentType("text/html");
    r.SetAccept("text/html, */*");
    r.SetBasicAuthentication(false);
    r.SetUserAgent("Mozilla/3.0 (compatible; Nx Library)");
    http.HTTPOptions = TNxHTTPOptions{hoForceEncodeParams};
    // Whatever the work mode: each event first lets the window handle its messages.
    http.OnWorkBegin = [this](TNxComponent*, TWorkMode, int32_t maximum) {
        Pump();
        FView.ProgressBegin(maximum);
    };
    http.OnWork = [this](TNxComponent*, TWorkMode, int32_t count) {
        Pump();
        FView.ProgressAdvance(count);
    };
    http.OnWorkEnd = [this](TNxComponent*, TWorkMode) {
        Pump();
        FView.ProgressEnd();
    };
}

TInstallRun::~TInstallRun() = default;

void TInstallRun::Log(const std::string& text) {
    if (FLog) FLog->Write(text);
}

void TInstallRun::Log(const std::wstring& text) {
    if (FLog) FLog->Write(text);
}

void TInstallRun::ShowStatus(const std::wstring& text) {
    FView.ShowStatus(text);
    // The settings check repeats its text for every file: one line for a run of them.
    if (text != FLastStatus) Log(L"Status: " + text);
    FLastStatus = text;
}

void TInstallRun::Cancel() {
    if (!FRunning) return;
    if (!FCancelled) Log("Close requested: the run stops");
    FCancelled = true;
    // Closing the socket ends a read blocked in the transport: its next wait slice finds
    // no descriptor and fails, and the run sees the flag as soon as the download returns.
    FHTTP->DropSocket();
}

void TInstallRun::Pump() {
    if (FView.ProcessMessages()) Cancel();
}

void TInstallRun::CheckCancelled() const {
    if (FCancelled) throw EInstallCancelled("Installation cancelled");
}

void TInstallRun::PumpAndCheck() {
    Pump();
    CheckCancelled();
}

bool TInstallRun::DownloadToStream(const std::string& url, TMemoryStream& buffer) {
    const auto start = std::chrono::steady_clock::now();
    const int64_t before = buffer.Size();
    const std::string shown = WithoutCredentials(url);
    Log("GET " + shown + ": attempt 1");
    // The status line of this attempt only, not the previous download's.
    FHTTP->Response().StatusLine.clear();
    bool ok = false;
    try {
        FHTTP->GetInto(url, &buffer);
        ok = true;
        Log(Format("GET %s: attempt 1: %s, %lld bytes in %lld ms", shown.c_str(), FHTTP->StatusLine().c_str(),
                   static_cast<long long>(buffer.Size() - before),
                   static_cast<long long>(MillisecondsSince(start))));
    } catch (const std::exception& error) {
        // Whatever went wrong, the file is skipped without a word to the user.
        std::string text = Format("GET %s: attempt 1 failed after %lld ms, %lld bytes: ", shown.c_str(),
                                  static_cast<long long>(MillisecondsSince(start)),
                                  static_cast<long long>(buffer.Size() - before));
        const auto* ours = dynamic_cast<const Exception*>(&error);
        text += std::string(ours ? ours->ClassName() : "std::exception") + ": " + error.what();
        if (const int32_t code = SocketErrorCodeOf(error)) text += Format(" (socket error %d)", code);
        if (!FHTTP->StatusLine().empty()) text += " [status line: " + FHTTP->StatusLine() + "]";
        Log(text);
    }
    buffer.SetPosition(0);
    return ok;
}

void TInstallRun::MakeFolder(const std::string& path) {
    // Failures are ignored: an existing folder is the usual case, and a missing one shows
    // up as the first file that cannot be written.
    if (CreateDirectoryA(path.c_str(), nullptr))
        Log("Folder " + path + ": created");
    else
        Log(Format("Folder %s: not created (system error %lu)", path.c_str(), GetLastError()));
}

void TInstallRun::Save(const std::string& path, const char* data, size_t size) {
    SaveFileReplacing(path, data, size);
    Log(Format("Wrote %s (%llu bytes)", path.c_str(), static_cast<unsigned long long>(size)));
}

void TInstallRun::Register(const TInstallPlace& place) {
    const std::string installDir = place.InstallDir();
    Log("Registering the uninstall entry");
    RegisterUninstall(installDir);
    Log(std::string("Registry HKEY_LOCAL_MACHINE\\") + kUninstallKey + ": DisplayName = " +
        WideToAnsi(kUninstallDisplayName) + ", UninstallString = " + UninstallCommand(installDir));
    CheckCancelled();
    CreateDesktopShortcut(installDir, place.MainExe);
    const std::string shortcut = DesktopShortcutPath();
    Log("Shortcut " + (shortcut.empty() ? std::string("(no desktop folder)") : shortcut) + ": " +
        (!shortcut.empty() && IsExistingFile(shortcut) ? "saved" : "not saved") + ", target " + installDir +
        "/" + place.MainExe);
    CheckCancelled();
}

TInstallOutcome TInstallRun::Run(const TInstallPlace& place) {
    FLog = FLogPath.empty() ? TInstallLog::CreateInTemp() : std::make_unique<TInstallLog>(FLogPath);
    FLogFile = FLog->IsOpen() ? FLog->Path() : std::string();
    FErrorText.clear();
    FLastStatus.clear();
    FCancelled = false;
    FRunning = true;
    Log("Installation run: server " + WithoutCredentials(place.BaseURL) + ", install folder " +
        place.InstallDir());
    TInstallOutcome outcome = ioCompleted;
    std::string why;
    try {
        Steps(place);
    } catch (const EInstallError& error) {
        outcome = FCancelled ? ioCancelled : ioFailed;
        why = error.Message();
        FErrorText = why;
        // The box names where the run wrote down what happened.
        if (!FLogFile.empty())
            FErrorText += "\n" + WideToAnsi(kLogNoteBefore) + FLogFile + WideToAnsi(kLogNoteAfter);
    } catch (const std::exception& error) {
        outcome = FCancelled ? ioCancelled : ioFailed;
        const auto* ours = dynamic_cast<const Exception*>(&error);
        why = std::string(ours ? ours->ClassName() : "std::exception") + ": " + error.what();
        FErrorText = error.what();
    } catch (...) {
        outcome = FCancelled ? ioCancelled : ioFailed;
        why = FErrorText = "Unknown error";
    }
    FRunning = false;
    if (outcome == ioFailed)
        Log("Outcome: failed: " + why);
    else
        Log(std::string("Outcome: ") + OutcomeText(outcome));
    FLog.reset();
    // After a close request the program is ending: no box, whatever stopped the run.
    if (outcome == ioFailed) FView.ReportError(FErrorText);
    return outcome;
}

void TInstallRun::Steps(const TInstallPlace& place) {
    const std::string& appData = place.AppDataDir;
    // Without it every path would start at the root of the current drive.
    if (appData.empty()) throw EInstallError(WideToAnsi(kNoLocalAppDataText));
    MakeFolder(appData);
    MakeFolder(appData + "\\Brindlewick\\");
    MakeFolder(appData + "\\Brindlewick\\" + place.ProductDir + "\\");
    PumpAndCheck();

    const std::string installDir = place.InstallDir();
    Log("Migrating the settings of " + std::string(kLegacySettingsDir));
    ::MigrateLegacySettings(
        installDir, [this](const std::wstring& text) { ShowStatus(text); }, [this] { PumpAndCheck(); });
    CheckCancelled();

    TMemoryStream shared;
    TMemoryStream version;
    TMemoryStream mainProgram;
    for (const TFileStep& step : kFileSteps) {
        if (step.Status) ShowStatus(step.Status);
        // An accepted empty body never reaches the buffer: it must not keep the last file.
        shared.SetSize(0);
        const bool ok = DownloadToStream(place.BaseURL + "/deri_vere/" + step.Name, shared);
        CheckCancelled();
        if (ok) Save(installDir + "/" + step.Name, shared.Memory(), static_cast<size_t>(shared.Size()));
    }

    ShowStatus(L"소프트웨어 버전체크..");
    const bool haveVersion = DownloadToStream(place.BaseURL + "/deri_vere/r_ver.txt", version);
    CheckCancelled();
    if (haveVersion) {
        const std::string text = VersionFileText(version.ToString());
        ShowStatus(L"소프트웨어 안정화작업중...");
        const std::string versionPath = installDir + "/r_ver.txt";
        Save(versionPath, text.data(), text.size());
        const bool haveMain = DownloadToStream(place.BaseURL + "/deri_vere/" + place.MainExe, mainProgram);
        CheckCancelled();
        if (haveMain)
            Save(installDir + "/" + place.MainExe, mainProgram.Memory(),
                 static_cast<size_t>(mainProgram.Size()));
        Save(versionPath, text.data(), text.size());
    } else {
        Log("No version file: the main program is not fetched");
    }
    ShowStatus(L"완료되었습니다.");

    // Registering a program that is not there would put a dead shortcut on the desktop.
    if (!IsExistingFile(installDir + "/" + place.MainExe)) {
        ShowStatus(kInstallFailedStatus);
        throw EInstallError(WideToAnsi(kDownloadFailedText));
    }
    PumpAndCheck();
    Register(place);
}
