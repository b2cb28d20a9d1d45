#include "setup/InstallRun.h"

#include <windows.h>

#include <shlobj.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstring>
#include <ctime>
#include <limits>

#include "base/Format.h"
#include "http/NxInstallerSettings.h"
#include "http/NxRetry.h"
#include "setup/CodePage.h"
#include "setup/Migration.h"
#include "setup/ProcessHardening.h"
#include "setup/Registration.h"
#include "setup/SetupBaseURL.h"
#include "setup/SetupManifestKeys.h"

std::wstring LocalAppDataPath() {
    constexpr int kLocalAppData = 28; // CSIDL_LOCAL_APPDATA
    wchar_t path[MAX_PATH + 1] = {};
    SHGetFolderPathW(nullptr, kLocalAppData, nullptr, 0, path);
    return std::wstring(path, wcsnlen(path, MAX_PATH));
}

TInstallPlace DefaultInstallPlace() {
    TInstallPlace place;
    place.BaseURL = kSetupBaseURL;
    place.AppDataDir = LocalAppDataPath();
    place.VendorDir = place.AppDataDir + L"\\" + kVendorFolder + L"\\";
    place.ProductDir = L"Marrowgate";
    place.MainExe = L"mrwgt.exe";
    return place;
}

namespace {
constexpr int32_t kProxyAuthRequired = 407;
} // namespace

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

int32_t Clamp32(int64_t value) {
    return static_cast<int32_t>(std::clamp<int64_t>(value, 0, std::numeric_limits<int32_t>::max()));
}

int64_t MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
        .count();
}
} // namespace

TInstallRun::TInstallRun(TInstallView& view)
    : FView(view), FHTTP(std::make_unique<TNxProxiedHTTP>()), FManifestKeys(kSetupManifestKeys),
      FMinSerial(kSetupManifestMinSerial) {
    TNxProxiedHTTP& http = *FHTTP;
    NxApplyInstallerSettings(http);
    // Whatever the work mode: each event first lets the window handle its messages.
    http.OnWorkBegin = [this](TNxComponent*, TWorkMode, int32_t maximum) {
        Pump();
        TransferBegins(maximum);
    };
    http.OnWork = [this](TNxComponent*, TWorkMode, int32_t count) {
        Pump();
        TransferAdvances(count);
    };
    http.OnWorkEnd = [this](TNxComponent*, TWorkMode) {
        Pump();
        TransferEnds();
    };
    // A proxy that cannot be reached gives way to the next route of the settings' answer.
    http.OnRouteFailed = [this](const TNxProxyRoute& route, const Exception& why) {
        Log(std::string("Proxy ") + route.Text() + " could not be reached: " + why.ClassName() + ": " +
            why.Message() + "; the next way follows");
        return !FCancelled;
    };
}

void TInstallRun::TransferBegins(int32_t maximum) {
    TProgress& p = FProgress;
    p.Maximum = maximum;
    p.Count = 0;
    // A body that resumes a download is written after the bytes kept from before.
    p.Offset = p.Buffer ? p.Buffer->Position() : 0;
    const int32_t status = FHTTP->ResponseCode();
    p.Ignored = (status < 200 || status > 299) && p.Shown > 0;
    if (p.Ignored) return; // an error body between attempts says nothing about the file
    if (p.Offset == 0 && p.Shown == 0) {
        FView.ProgressBegin(maximum);
        return;
    }
    const int64_t total = p.Offset + std::max<int32_t>(maximum, 0);
    p.Shown = std::max<int64_t>(p.Shown, p.Offset);
    FView.ProgressResume(Clamp32(total), Clamp32(p.Shown));
}

void TInstallRun::TransferAdvances(int32_t count) {
    TProgress& p = FProgress;
    p.Count = count;
    if (p.Ignored) return;
    // The bar never moves back: a resumed body may repeat the tail of the last one.
    p.Shown = std::max<int64_t>(p.Shown, p.Offset + count);
    FView.ProgressAdvance(Clamp32(p.Shown));
}

void TInstallRun::TransferEnds() {
    TProgress& p = FProgress;
    if (p.Ignored) return;
    // A body cut short is retried from where it stopped; filling the bar now would make it
    // jump back at the next attempt.
    if (p.Maximum > 0 && p.Count < p.Maximum) return;
    FView.ProgressEnd();
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

bool TInstallRun::DownloadToStream(const std::string& url, TStream& buffer) {
    FProgress = TProgress{};
    FProgress.Buffer = &buffer;
    const std::string shown = WithoutCredentials(url);
    TNxRetryHooks hooks;
    hooks.BeforeAttempt = [&](const TNxAttemptStart& attempt) {
        std::string text =
            Format("GET %s: attempt %d of %d", shown.c_str(), attempt.Attempt, attempt.Attempts);
        if (attempt.ResumeOffset > 0)
            text += Format(", the rest from byte %lld", static_cast<long long>(attempt.ResumeOffset));
        Log(text);
    };
    hooks.AfterAttempt = [&](const TNxAttemptReport& report) { LogAttempt(shown, report); };
    hooks.Wait = [this](int32_t ms, int32_t next, int32_t attempts) {
        return WaitBefore(ms, next, attempts);
    };
    bool ok = false;
    for (bool again = true; again;) {
        again = false;
        FHTTP->SetRoutes(RoutesFor(url, shown));
        try {
            NxGetWithRetry(*FHTTP, url, buffer, FRetryPolicy, hooks);
            ok = true;
        } catch (const ENxHTTPProtocolException& error) {
            // A proxy that wants credentials answers every file alike: they are asked for
            // once, or the run ends.
            if (error.ReplyCode() == kProxyAuthRequired && FHTTP->CurrentRoute().Type == ptHTTP)
                again = AnswerProxyChallenge(shown);
        } catch (...) {
            // Whatever else went wrong, the file is skipped without a word to the user.
        }
    }
    FProgress.Buffer = nullptr;
    buffer.SetPosition(0);
    return ok;
}

std::vector<TNxProxyRoute> TInstallRun::RoutesFor(const std::string& url, const std::string& shown) {
    if (!FProxy) FProxy = std::make_unique<TSystemProxy>();
    TProxyDecision decision = FProxy->For(url, [this](const std::string& note) { Log(note); });
    Log("Proxy for " + shown + ": " + ProxyDecisionText(decision));
    if (FProxyCredentialsInUse)
        for (TNxProxyRoute& route : decision.Routes)
            if (route.Type == ptHTTP) route.Username = FProxyUser, route.Password = FProxyPassword;
    return decision.Routes;
}

bool TInstallRun::AnswerProxyChallenge(const std::string& shown) {
    const std::string proxy = FHTTP->CurrentRoute().Text();
    std::string challenges;
    bool basic = false, integrated = false;
    for (const std::string& challenge : FHTTP->Response().ProxyAuthenticate().Lines()) {
        std::string scheme = challenge.substr(0, challenge.find(' '));
        for (char& ch : scheme)
            ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
        basic = basic || scheme == "basic";
        integrated = integrated || scheme == "negotiate" || scheme == "ntlm" || scheme == "kerberos";
        challenges += (challenges.empty() ? "" : ", ") + challenge;
    }
    Log("Proxy " + proxy + " answered 407 Proxy Authentication Required for " + shown + " (" +
        (challenges.empty() ? std::string("no challenge") : challenges) + ")");
    const auto fail = [this](const std::string& why) {
        Log(why);
        throw EInstallError(WideToAnsi(kProxyAuthFailedText));
    };
    if (!basic)
        fail(integrated
                 ? "The proxy asks for integrated Windows authentication, which this Setup does not offer"
                 : "The proxy asks for no kind of authentication this Setup offers");
    if (FProxyCredentialsInUse) fail("The proxy refused the user name and password");
    if (FProxyUser.empty()) {
        std::string user, password;
        if (FProxyCredentialsAsked || !FView.AskProxyCredentials(proxy, user, password) || user.empty())
            fail("No proxy credentials: none were entered, nor given with /PROXYUSER= and /PROXYPASSWORD=");
        FProxyUser = std::move(user);
        FProxyPassword = std::move(password);
        Log("Proxy credentials entered for the user " + FProxyUser);
    } else {
        Log("Proxy credentials of the command line for the user " + FProxyUser);
    }
    FProxyCredentialsAsked = true;
    FProxyCredentialsInUse = true;
    return true;
}

void TInstallRun::LogAttempt(const std::string& url, const TNxAttemptReport& report) {
    const long long bytes = report.BodyBytes, ms = report.DurationMs;
    if (!report.Failed) {
        Log(Format("GET %s: attempt %d: %s, %lld bytes in %lld ms", url.c_str(), report.Attempt,
                   report.StatusLine.c_str(), bytes, ms));
        return;
    }
    std::string text =
        Format("GET %s: attempt %d failed after %lld ms, %lld bytes: %s: %s", url.c_str(), report.Attempt, ms,
               bytes, report.ExceptionClass.c_str(), report.Message.c_str());
    if (report.SocketErrorCode) text += Format(" (socket error %d)", report.SocketErrorCode);
    if (!report.StatusLine.empty()) text += " [status line: " + report.StatusLine + "]";
    if (report.WillRetry) {
        text += Format("; attempt %d in %d ms", report.Attempt + 1, report.WaitMs);
        if (report.NextResumeOffset > 0)
            text += Format(", resuming at byte %lld", static_cast<long long>(report.NextResumeOffset));
    } else {
        text += report.Transient ? "; no attempt left" : "; not worth another attempt";
    }
    Log(text);
}

bool TInstallRun::WaitBefore(int32_t ms, int32_t next, int32_t attempts) {
    if (FCancelled) return false;
    FView.ShowStatus(kRetryStatusBefore + std::to_wstring(next) + L"/" + std::to_wstring(attempts) +
                     kRetryStatusAfter);
    // In short slices, each pumping the window's messages: a close request ends the wait
    // at once, and the window stays live.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        Pump();
        if (FCancelled) return false;
        const int64_t left = -MillisecondsSince(until);
        if (left <= 0) break;
        Sleep(static_cast<DWORD>(std::min<int64_t>(left, kWaitSlice)));
    }
    // The step's own text comes back with the next attempt.
    FView.ShowStatus(FLastStatus);
    return true;
}

void TInstallRun::Save(const TInstallFolder& folder, const std::string& name, const char* data, size_t size) {
    folder.SaveFile(AnsiToWide(name), data, size);
    Log(L"Wrote " + folder.Path() + L"/" + AnsiToWide(name) +
        AnsiToWide(Format(" (%llu bytes)", static_cast<unsigned long long>(size))));
}

void TInstallRun::Register(const TInstallPlace& place) {
    const std::wstring installDir = place.InstallDir();
    Log("Registering the uninstall entry");
    RegisterUninstall(installDir);
    Log(std::string("Registry HKEY_LOCAL_MACHINE\\") + kUninstallKey + ": DisplayName = " +
        WideToAnsi(kUninstallDisplayName) + ", UninstallString = " + UninstallCommand(installDir));
    CheckCancelled();
    CreateDesktopShortcut(installDir, place.MainExe);
    const std::wstring shortcut = DesktopShortcutPath();
    Log(L"Shortcut " + (shortcut.empty() ? std::wstring(L"(no desktop folder)") : shortcut) + L": " +
        (!shortcut.empty() && IsExistingFile(shortcut) ? L"saved" : L"not saved") + L", target " +
        installDir + L"/" + place.MainExe);
    CheckCancelled();
}

TInstallOutcome TInstallRun::Run(const TInstallPlace& place) {
    FLog.reset();
    FLog = TInstallLog::Create(FLogPath);
    FLogFile = FLog->IsOpen() ? FLog->Path() : std::wstring();
    FErrorText.clear();
    FLastStatus.clear();
    FCancelled = false;
    FRunning = true;
    // An https server needs the TLS layer; the default build's plain http never makes one.
    if (BaseURLIsHttps(place.BaseURL.c_str()) && !FTLSLayer) {
        FTLSLayer = std::make_unique<TNxIOHandlerTLS>();
        FHTTP->SetIOHandler(FTLSLayer.get());
    }
    Log(L"Installation run: server " + AnsiToWide(WithoutCredentials(place.BaseURL)) + L", install folder " +
        place.InstallDir());
    for (const std::string& note : HardeningNotes())
        Log(note);
    for (const std::string& note : FEarlierNotes)
        Log(note);
    FEarlierNotes.clear();
    TInstallOutcome outcome = ioCompleted;
    std::string why;
    try {
        Steps(place);
    } catch (const EInstallError& error) {
        outcome = FCancelled ? ioCancelled : ioFailed;
        why = error.Message();
        FErrorText = why;
        // The box names where the run wrote down what happened.
        if (!FLogFile.empty()) FErrorText += "\n" + WideToAnsi(kLogNoteBefore + FLogFile + kLogNoteAfter);
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
    // After a close request the program is ending: no box, whatever stopped the run.
    if (outcome == ioFailed) FView.ReportError(FErrorText);
    return outcome;
}

void TInstallRun::Steps(const TInstallPlace& place) {
    const std::wstring& appData = place.AppDataDir;
    // Without it every path would start at the root of the current drive.
    if (appData.empty()) throw EInstallError(WideToAnsi(kNoLocalAppDataText));
    FManifest.reset();
    FManifestText.clear();
    if (!FManifestKeys.empty()) LoadManifest(place);
    try {
        WriteFiles(place);
        PumpAndCheck();
        Register(place);
    } catch (const ERedirectedPath& error) {
        Log("Refused: " + error.Message());
        ShowStatus(kInstallFailedStatus);
        throw EInstallError(WideToAnsi(kRedirectedText));
    }
}

void TInstallRun::WriteFiles(const TInstallPlace& place) {
    // The folders are opened from the application-data folder down and held until the last
    // file is in place: none of them can be swapped for a link meanwhile.
    const auto folderNote = [this](const std::wstring& path, bool created) {
        Log(L"Folder " + path + (created ? L": created" : L": already there"));
    };
    const bool appDataMade = CreateDirectoryW(place.AppDataDir.c_str(), nullptr) != FALSE;
    const TInstallFolder appData(place.AppDataDir);
    folderNote(appData.Path(), appDataMade);
    bool made = false;
    const TInstallFolder vendor(appData, kVendorFolder, &made);
    folderNote(vendor.Path() + L"\\", made);
    const TInstallFolder product(vendor, place.ProductDir, &made);
    folderNote(product.Path() + L"\\", made);
    PumpAndCheck();

    Log("Migrating the settings of " + std::string(kLegacySettingsDir));
    ::MigrateLegacySettings(
        product, [this](const std::wstring& text) { ShowStatus(text); }, [this] { PumpAndCheck(); });
    CheckCancelled();

    const std::string mainExe = WideToAnsi(place.MainExe);
    TMemoryStream shared;
    TMemoryStream version;
    TMemoryStream mainProgram;
    for (const TFileStep& step : kFileSteps) {
        if (step.Status) ShowStatus(step.Status);
        // An accepted empty body never reaches the buffer: it must not keep the last file.
        shared.SetSize(0);
        if (FetchFile(place, step.Name, shared))
            Save(product, step.Name, shared.Memory(), static_cast<size_t>(shared.Size()));
    }

    ShowStatus(L"소프트웨어 버전체크..");
    if (FetchFile(place, "r_ver.txt", version)) {
        const std::string text = VersionFileText(version.ToString());
        ShowStatus(L"소프트웨어 안정화작업중...");
        Save(product, "r_ver.txt", text.data(), text.size());
        if (FetchFile(place, mainExe, mainProgram))
            Save(product, mainExe, mainProgram.Memory(), static_cast<size_t>(mainProgram.Size()));
        Save(product, "r_ver.txt", text.data(), text.size());
    } else {
        Log("No version file: the main program is not fetched");
    }
    // The next run takes no manifest older than this one.
    if (FManifest) Save(product, NxManifestFileName, FManifestText.data(), FManifestText.size());
    ShowStatus(L"완료되었습니다.");

    // Registering a program that is not there would put a dead shortcut on the desktop.
    if (!product.HasFile(place.MainExe)) {
        ShowStatus(kInstallFailedStatus);
        throw EInstallError(WideToAnsi(kDownloadFailedText));
    }
}

namespace {
const wchar_t* ManifestFaultText(TNxManifestFault fault) {
    switch (fault) {
    case mfFormat:
        return kManifestFormatText;
    case mfSignature:
        return kManifestSignatureText;
    case mfExpired:
        return kManifestExpiredText;
    case mfSerial:
        return kManifestSerialText;
    case mfKeys:
        break;
    }
    return kManifestKeysText;
}

} // namespace

uint64_t TInstallRun::SerialFloor(const std::vector<TNxP256PublicKey>& keys, const std::wstring& installDir) {
    const std::wstring kept = installDir + L"/" + AnsiToWide(NxManifestFileName);
    if (!IsExistingFile(kept)) return FMinSerial;
    try {
        // Its signature is checked, not its age: it is expected to have expired by now (and
        // only bytes under our key count, wherever a link might lead the read).
        const auto text = ReadSmallFile(kept, NxManifestMaxBytes);
        if (!text)
            throw Exception("cannot be read, or over " + std::to_string(NxManifestMaxBytes) + " bytes");
        const TNxManifest earlier = NxVerifyManifest(*text, keys, std::numeric_limits<int64_t>::min(), 0);
        Log(Format("Manifest of the earlier installation: serial %llu",
                   static_cast<unsigned long long>(earlier.Serial)));
        return std::max(FMinSerial, earlier.Serial);
    } catch (const std::exception& error) {
        Log(L"Manifest of the earlier installation " + kept + L" ignored: " + AnsiToWide(error.what()));
        return FMinSerial;
    }
}

void TInstallRun::LoadManifest(const TInstallPlace& place) {
    ShowStatus(kManifestStatus);
    const auto refuse = [this](const wchar_t* text, const std::string& why) {
        Log("Manifest refused: " + why);
        throw EInstallError(WideToAnsi(text));
    };
    std::vector<TNxP256PublicKey> keys;
    try {
        keys = NxParsePublicKeys(FManifestKeys);
    } catch (const ENxManifestError& error) {
        refuse(kManifestKeysText, error.Message());
    }
    const uint64_t floor = SerialFloor(keys, place.InstallDir());
    const std::string url = place.FileURL(NxManifestFileName);
    TMemoryStream text;
    TLimitedStream limited(text, NxManifestMaxBytes);
    if (!DownloadToStream(url, limited)) {
        CheckCancelled();
        refuse(kManifestMissingText, limited.Exceeded()
                                         ? "larger than " + std::to_string(NxManifestMaxBytes) + " bytes"
                                         : "not fetched");
    }
    CheckCancelled();
    FManifestText = text.ToString();
    try {
        FManifest = std::make_unique<TNxManifest>(
            NxVerifyManifest(FManifestText, keys, static_cast<int64_t>(std::time(nullptr)), floor));
    } catch (const ENxManifestError& error) {
        refuse(ManifestFaultText(error.Fault()), error.Message());
    } catch (const ENxCryptoError& error) {
        refuse(kVerifyUnavailableText, error.Message());
    }
    Log(Format("Manifest: serial %llu, expires %s, %d files, signed by a key of this Setup",
               static_cast<unsigned long long>(FManifest->Serial),
               NxFormatManifestTime(FManifest->Expires).c_str(), static_cast<int>(FManifest->Files.size())));
}

bool TInstallRun::FetchFile(const TInstallPlace& place, const std::string& name, TMemoryStream& buffer) {
    const std::string url = place.FileURL(name);
    if (!FManifest) {
        const bool ok = DownloadToStream(url, buffer);
        CheckCancelled();
        return ok;
    }
    const TNxManifestEntry* listed = FManifest->Find(name);
    if (!listed) {
        Log("Manifest: " + name + " is not listed: not fetched");
        return false;
    }
    const auto fail = [&](const wchar_t* text) { throw EInstallError(WideToAnsi(text) + name); };
    // A mismatch may be a transfer gone wrong or a server in the middle of an update: one
    // more attempt from the start, then the run ends.
    constexpr int kAttempts = 2;
    for (int attempt = 1;; ++attempt) {
        buffer.SetSize(0);
        // Not one byte more than the manifest lists: a longer body ends the transfer (and its
        // connection) at once.
        TLimitedStream limited(buffer, listed->Size);
        const bool ok = DownloadToStream(url, limited);
        CheckCancelled();
        std::string verdict;
        if (!ok && !limited.Exceeded()) {
            Log("Manifest: " + name + " could not be fetched");
            fail(kFileUnavailableText);
        }
        if (limited.Exceeded()) {
            verdict = Format("longer than the listed %lld bytes", static_cast<long long>(listed->Size));
        } else {
            const TNxSHA256Digest digest = NxSHA256(buffer.Memory(), static_cast<size_t>(buffer.Size()));
            if (buffer.Size() == listed->Size && digest == listed->SHA256) {
                Log(Format("Verified %s: %lld bytes, SHA-256 %s", name.c_str(),
                           static_cast<long long>(buffer.Size()), NxHexDigest(digest).c_str()));
                return true;
            }
            verdict = Format("%lld bytes, SHA-256 %s, where the manifest lists %lld bytes, SHA-256 %s",
                             static_cast<long long>(buffer.Size()), NxHexDigest(digest).c_str(),
                             static_cast<long long>(listed->Size), NxHexDigest(listed->SHA256).c_str());
        }
        buffer.SetSize(0);
        Log("Mismatch " + name + ": " + verdict +
            (attempt < kAttempts ? "; fetched again from the start" : ""));
        if (attempt == kAttempts) fail(kFileMismatchText);
    }
}
