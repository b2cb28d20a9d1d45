// The installation run of the "설치" button: folders, settings migration, the product files
// from the distribution server, the uninstall entry, the shortcut and the completion page.
#include "setup/InstallRun.h"

#include <windows.h>

#include <commctrl.h>

#include <array>
#include <cstring>

#include "base/Stream.h"
#include "base/StringList.h"
#include "base/SystemError.h"
#include "setup/Application.h"
#include "setup/Migration.h"
#include "setup/Registration.h"
#include "setup/SetupBaseURL.h"
#include "setup/SetupMain.h"

std::string CreateFileErrorText(const std::string& path, uint32_t systemError) {
    return "Cannot create file \"" + path + "\". " + SysErrorMessage(systemError);
}

std::string VersionFileText(const std::string& downloaded) {
    TStringList lines;
    lines.SetText(downloaded.substr(0, downloaded.find('\0')));
    return lines.Text();
}

bool IsExistingFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

namespace {
struct THandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using THandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, THandleCloser>;

[[noreturn]] void FailCreate(const std::string& path, DWORD code, const std::string& partFile) {
    if (!partFile.empty()) DeleteFileA(partFile.c_str());
    throw EFCreateError(CreateFileErrorText(path, code));
}
} // namespace

void SaveFileReplacing(const std::string& path, const char* data, size_t size) {
    const std::string part = path + ".part";
    {
        THandle file(CreateFileA(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.get() == INVALID_HANDLE_VALUE) {
            (void)file.release();
            FailCreate(path, GetLastError(), {});
        }
        size_t done = 0;
        while (done < size) {
            const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 20));
            DWORD written = 0;
            if (!WriteFile(file.get(), data + done, chunk, &written, nullptr) || written == 0) {
                const DWORD code = GetLastError();
                file.reset();
                FailCreate(path, code, part);
            }
            done += written;
        }
        if (!FlushFileBuffers(file.get())) {
            const DWORD code = GetLastError();
            file.reset();
            FailCreate(path, code, part);
        }
    }
    // A program that is running keeps its file: the target must be writable before it is
    // replaced, or the replace could succeed where the system only renames the running image.
    if (IsExistingFile(path)) {
        THandle target(CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (target.get() == INVALID_HANDLE_VALUE) {
            (void)target.release();
            FailCreate(path, GetLastError(), part);
        }
    }
    if (!MoveFileExA(part.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        FailCreate(path, GetLastError(), part);
}

// --- the window's side of the run ----------------------------------------------------------

void TfrmSetupMain::CreateHTTP() {
    FHTTP = std::make_unique<TNxHTTP>();
    if (BaseURLIsHttps(kSetupBaseURL)) {
        FTLSLayer = std::make_unique<TNxIOHandlerTLS>();
        FHTTP->SetIOHandler(FTLSLayer.get());
    }
    FHTTP->ReadTimeout = 0;
    FHTTP->MaxLineAction = maException;
    FHTTP->AllowCookies = true;
    FHTTP->ProxyParams().SetProxyPort(0);
    FHTTP->ProxyParams().SetBasicAuthentication(false);
    auto& r = FHTTP->Request();
    r.SetContentLength(0);
    r.SetContentRangeStart(0);
    r.SetContentRangeEnd(0);
    r.SetContentType("text/html");
    r.SetAccept("text/html, */*");
    r.SetBasicAuthentication(false);
    r.SetUserAgent("Mozilla/3.0 (compatible; Nx Library)");
    FHTTP->HTTPOptions = TNxHTTPOptions{hoForceEncodeParams};
    FHTTP->OnWorkBegin = [this](TNxComponent*, TWorkMode m, int32_t max) { FHTTPWorkBegin(m, max); };
    FHTTP->OnWork = [this](TNxComponent*, TWorkMode m, int32_t n) { FHTTPWork(m, n); };
    FHTTP->OnWorkEnd = [this](TNxComponent*, TWorkMode m) { FHTTPWorkEnd(m); };
}

void TfrmSetupMain::FHTTPWorkBegin(TWorkMode, int32_t workCountMax) {
    Application().ProcessMessages();
    if (!FHandle) return;
    const HWND bar = Control(TCtl::ProgressBar1);
    SendMessageW(bar, PBM_SETRANGE32, 0, workCountMax);
    SendMessageW(bar, PBM_SETPOS, 0, 0);
}

void TfrmSetupMain::FHTTPWork(TWorkMode, int32_t workCount) {
    Application().ProcessMessages();
    if (!FHandle) return;
    SendMessageW(Control(TCtl::ProgressBar1), PBM_SETPOS, static_cast<WPARAM>(workCount), 0);
}

void TfrmSetupMain::FHTTPWorkEnd(TWorkMode) {
    Application().ProcessMessages();
    if (!FHandle) return;
    const HWND bar = Control(TCtl::ProgressBar1);
    const LRESULT maximum = SendMessageW(bar, PBM_GETRANGE, FALSE, 0);
    SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(maximum), 0);
}

bool TfrmSetupMain::DownloadToStream(const std::string& url, TMemoryStream& buffer) {
    bool ok = false;
    try {
        FHTTP->GetInto(url, &buffer);
        ok = true;
    } catch (...) {
        // Whatever went wrong, the file is skipped without a word.
    }
    buffer.SetPosition(0);
    return ok;
}

void TfrmSetupMain::AbandonRun() {
    FCancelled = true;
    // Closing the socket ends a read blocked in the transport: its next wait slice finds
    // no descriptor and fails, and the run sees the flag as soon as the download returns.
    if (FHTTP) FHTTP->DropSocket();
}

void TfrmSetupMain::CheckCancelled() const {
    if (FCancelled) throw EInstallCancelled("Installation cancelled");
}

void TfrmSetupMain::PumpRun() {
    Application().ProcessMessages();
    CheckCancelled();
}

void TfrmSetupMain::Button3Click() {
    if (FInstalling) return;
    SetVisible(TCtl::Button5, false);
    SetVisible(TCtl::Button3, false);
    SetCaption(TCtl::Label1, L"설치중");
    SetCaption(TCtl::Label2, L"설치중 취소버튼을 누르면 설치가 취소됩니다.");
    SetVisible(TCtl::Panel6, true);
    FInstalling = true;
    try {
        if (FInstallation)
            FInstallation();
        else
            RunInstallation();
    } catch (const std::exception&) {
        FInstalling = false;
        // After a close request the program is ending: no box, whatever stopped the run.
        if (!FCancelled) throw;
        return;
    }
    FInstalling = false;
}

void TfrmSetupMain::RunInstallation() {
    const std::string appData = LocalAppDataPath();
    // Without it every path would start at the root of the current drive.
    if (appData.empty()) throw Exception(WideToAnsi(kNoLocalAppDataText));
    CreateDirectoryA(appData.c_str(), nullptr);
    CreateDirectoryA((appData + "\\Brindlewick\\").c_str(), nullptr);
    CreateDirectoryA((appData + "\\Brindlewick\\" + FProductDir + "\\").c_str(), nullptr);
    PumpRun();

    const std::string installDir = FVendorDir + FProductDir;
    ::MigrateLegacySettings(
        installDir, [this](const std::wstring& text) { SetCaption(TCtl::lblMsg, text); },
        [this] { PumpRun(); });
    CheckCancelled();

    TMemoryStream shared;
    TMemoryStream version;
    TMemoryStream mainProgram;

    struct TFileStep {
        const wchar_t* Status;
        const char* Name;
    };
    static constexpr std::array<TFileStep, 4> kFiles = {{
        {nullptr, "uninstall.exe"},
        {L"데이터베이스 버전체크..", "libmySQL50.dll"},
        {L"데이터베이스 엔진체크..", "libmysql.dll"},
        {L"업데이트 엔진체크..", "auto_up.exe"},
    }};
    auto save = [](const std::string& path, TMemoryStream& buffer) {
        SaveFileReplacing(path, buffer.Memory(), static_cast<size_t>(buffer.Size()));
    };
    for (const TFileStep& step : kFiles) {
        if (step.Status) SetCaption(TCtl::lblMsg, step.Status);
        // An accepted empty body never reaches the buffer: it must not keep the last file.
        shared.SetSize(0);
        const bool ok = DownloadToStream(FBaseURL + "/deri_vere/" + step.Name, shared);
        CheckCancelled();
        if (ok) save(installDir + "/" + step.Name, shared);
    }

    SetCaption(TCtl::lblMsg, L"소프트웨어 버전체크..");
    const bool haveVersion = DownloadToStream(FBaseURL + "/deri_vere/r_ver.txt", version);
    CheckCancelled();
    if (haveVersion) {
        const std::string text = VersionFileText(version.ToString());
        SetCaption(TCtl::lblMsg, L"소프트웨어 안정화작업중...");
        const std::string versionPath = installDir + "/r_ver.txt";
        SaveFileReplacing(versionPath, text.data(), text.size());
        const bool haveMain = DownloadToStream(FBaseURL + "/deri_vere/" + FMainExe, mainProgram);
        CheckCancelled();
        if (haveMain) save(installDir + "/" + FMainExe, mainProgram);
        SaveFileReplacing(versionPath, text.data(), text.size());
    }
    SetCaption(TCtl::lblMsg, L"완료되었습니다.");

    // Registering a program that is not there would put a dead shortcut on the desktop.
    if (!IsExistingFile(installDir + "/" + FMainExe)) {
        SetCaption(TCtl::lblMsg, kInstallFailedStatus);
        throw Exception(WideToAnsi(kDownloadFailedText));
    }
    PumpRun();
    RegisterUninstall();
    CheckCancelled();
    CreateDesktopShortcut();
    CheckCancelled();

    SetCaption(TCtl::Label1, L"설치완료");
    SetCaption(TCtl::Label2, L"설치가 완료되었습니다.");
    SetCaption(TCtl::Button4, L"완료");
    SetVisible(TCtl::Panel7, true);
}
