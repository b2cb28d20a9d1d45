// End-to-end installation runs: the shipped Setup.exe against a distribution server in a
// private network (tests/e2e/run.sh sets up the server for each case and names it here).
// Each case states what the machine must look like before it: fresh (reset here) or
// holding the installation of an earlier full run.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>
#include <objidl.h>
#include <shlobj.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "e2e/E2EMachine.h"
#include "setup/Application.h"
#include "setup/InstallRun.h"
#include "setup/Migration.h"
#include "setup/Registration.h"
#include "setup/SetupMain.h"
#include "setup/UninstallEntry.h"
#include "setup/driver/SetupDriver.h"

using namespace e2e;

namespace {
constexpr DWORD kExitTime = 15000;
constexpr DWORD kRunTime = 90000;
constexpr DWORD kMessageTimeout = 3000;
// The files in the order the run fetches them, the version file before the main program.
const char* const kRequestOrder[] = {"uninstall.exe", "libmySQL50.dll", "libmysql.dll",
                                     "auto_up.exe",   "r_ver.txt",      "mrwgt.exe"};
// Every status text of a run, from the page's first text and the settings check on.
const wchar_t* const kStatusTexts[] = {L"설정중..",
                                       kMigrationCheckingText,
                                       L"데이터베이스 버전체크..",
                                       L"데이터베이스 엔진체크..",
                                       L"업데이트 엔진체크..",
                                       L"소프트웨어 버전체크..",
                                       L"소프트웨어 안정화작업중...",
                                       L"완료되었습니다."};

// The target of the desktop shortcut as the shell reads it.
std::wstring ShortcutTarget() {
    IShellLinkW* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                reinterpret_cast<void**>(&link))))
        return {};
    std::wstring target;
    IPersistFile* file = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file)))) {
        if (SUCCEEDED(file->Load(ShortcutFile().c_str(), STGM_READ))) {
            wchar_t path[MAX_PATH] = {};
            if (SUCCEEDED(link->GetPath(path, MAX_PATH, nullptr, 0))) target = path;
        }
        file->Release();
    }
    link->Release();
    return target;
}

std::wstring Slashed(std::wstring path) {
    for (wchar_t& c : path)
        if (c == L'/') c = L'\\';
    return CharLowerW(path.data()), path;
}

// The server's access log, one entry per request: its connection and its request line.
struct TLogEntry {
    std::string Connection;
    std::string RequestLine;
    int Status = 0;
    long long BodyBytes = 0;
    std::string Range, IfRange; // our server only
};

std::vector<TLogEntry> ServerLog() {
    std::vector<TLogEntry> entries;
    std::istringstream lines(ReadAll(fs::path(WindowsPath(Env("NX_E2E_LOG")))));
    for (std::string line; std::getline(lines, line);) {
        // <connection> "<request line>" <status> <body bytes>, and from our server
        // " range=<Range> if-range=<If-Range>".
        TLogEntry entry;
        const size_t quote = line.find('"');
        if (quote != std::string::npos) {
            const size_t close = line.find('"', quote + 1);
            entry.Connection = line.substr(0, line.find(' '));
            entry.RequestLine = line.substr(quote + 1, close - quote - 1);
            std::istringstream rest(line.substr(close + 1));
            rest >> entry.Status >> entry.BodyBytes;
            const size_t range = line.find(" range=", close), ifRange = line.find(" if-range=", close);
            if (range != std::string::npos && ifRange != std::string::npos) {
                entry.Range = line.substr(range + 7, ifRange - range - 7);
                entry.IfRange = line.substr(ifRange + 10);
            }
        } else {
            entry.RequestLine = line;
        }
        entries.push_back(entry);
    }
    return entries;
}

// The log's requests for one file, in order.
std::vector<TLogEntry> RequestsFor(const std::vector<TLogEntry>& log, const std::string& name) {
    std::vector<TLogEntry> requests;
    for (const TLogEntry& e : log)
        if (e.RequestLine == "GET //deri_vere/" + name + " HTTP/1.1") requests.push_back(e);
    return requests;
}

bool Requested(const std::vector<TLogEntry>& log, const std::string& name) {
    for (const TLogEntry& e : log)
        if (e.RequestLine.find("/deri_vere/" + name + " ") != std::string::npos) return true;
    return false;
}

// Watches the running wizard from another thread: every status text and every state of
// the progress bar it shows, in order. Samples wait for the window to pump its messages,
// which the run does in its work events and in every wait slice of a download.
class TWatcher {
public:
    explicit TWatcher(const TSetupDriver& driver) : FDriver(driver), FThread([this] { Watch(); }) {}
    ~TWatcher() { Stop(); }
    void Stop() {
        FStop = true;
        if (FThread.joinable()) FThread.join();
    }
    std::vector<std::wstring> Statuses() const {
        std::lock_guard<std::mutex> hold(FLock);
        return FStatuses;
    }
    std::vector<std::pair<int, int>> Progress() const {
        std::lock_guard<std::mutex> hold(FLock);
        return FProgress;
    }

private:
    void Watch() {
        const HWND bar = FDriver.Control(TCtl::ProgressBar1);
        const HWND status = FDriver.Control(TCtl::lblMsg);
        while (!FStop) {
            DWORD_PTR maximum = 0, position = 0;
            const bool answered =
                SendMessageTimeoutW(bar, PBM_GETRANGE, FALSE, 0, SMTO_ABORTIFHUNG, kMessageTimeout,
                                    &maximum) &&
                SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, kMessageTimeout, &position);
            const std::wstring text = FDriver.Text(status);
            if (!IsWindow(bar)) break;
            {
                std::lock_guard<std::mutex> hold(FLock);
                if (answered) {
                    const std::pair<int, int> state{static_cast<int>(maximum), static_cast<int>(position)};
                    if (FProgress.empty() || FProgress.back() != state) FProgress.push_back(state);
                }
                if (!text.empty() && (FStatuses.empty() || FStatuses.back() != text))
                    FStatuses.push_back(text);
            }
            Sleep(5);
        }
    }

    const TSetupDriver& FDriver;
    mutable std::mutex FLock;
    std::vector<std::wstring> FStatuses;
    std::vector<std::pair<int, int>> FProgress;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

// Waits until the run has ended: the completion page or a message box. The box, if any.
enum class TRunEnd { Completed, Box, StillRunning };

TRunEnd WaitForRunEnd(const TRunningSetup& setup, TBox* box) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRunTime);
    while (std::chrono::steady_clock::now() < until) {
        *box = FindMessageBox(setup.Process.Id());
        if (box->Window) return TRunEnd::Box;
        if (setup->Text(TCtl::Label1) == L"설치완료") return TRunEnd::Completed;
        Sleep(50);
    }
    return TRunEnd::StillRunning;
}

bool WaitForFile(const fs::path& path, DWORD milliseconds) {
    for (DWORD waited = 0;; waited += 50) {
        if (fs::exists(path)) return true;
        if (waited >= milliseconds) return false;
        Sleep(50);
    }
}

// The run's start: licence accepted, "설치" pressed.
void StartInstallation(const TRunningSetup& setup) {
    ASSERT_TRUE(setup.Driver) << "no Setup window";
    ASSERT_TRUE(setup->Click(TCtl::Button1));
    ASSERT_EQ(setup->Text(TCtl::Button3), L"설치");
    setup->Press(TCtl::Button3);
}

// The failure the run reports instead of the completion page, and what it leaves.
// The installation log a failure box names on its second line, or an empty path.
fs::path LogNamedIn(const std::wstring& boxText) {
    const size_t before = boxText.find(kLogNoteBefore);
    const size_t after = boxText.rfind(kLogNoteAfter);
    if (before == std::wstring::npos || after == std::wstring::npos || after < before) return {};
    const size_t start = before + std::wcslen(kLogNoteBefore);
    return fs::path(boxText.substr(start, after - start));
}

void ExpectDownloadFailureBox(TRunningSetup& setup, TBox box) {
    const size_t lineEnd = box.Text.find(L'\n');
    EXPECT_EQ(box.Text.substr(0, lineEnd), kDownloadFailedText);
    // A second line names the installation log, which tells why.
    ASSERT_NE(lineEnd, std::wstring::npos) << WideToAnsi(box.Text);
    EXPECT_EQ(box.Text.substr(lineEnd + 1).rfind(kLogNoteBefore, 0), 0u);
    const fs::path log = LogNamedIn(box.Text);
    EXPECT_NE(ReadAll(log).find("Outcome: failed: "), std::string::npos) << log;
    DismissBox(box);
    EXPECT_EQ(setup->Text(TCtl::Label1), L"설치중") << "the window stays on the installation page";
    EXPECT_EQ(setup->Text(TCtl::lblMsg), kInstallFailedStatus);
    EXPECT_EQ(setup->ShownButtons(), (std::vector<std::wstring>{L"취소"}));
    EXPECT_FALSE(IsRegistered());
    EXPECT_FALSE(fs::exists(ShortcutFile()));
    EXPECT_FALSE(fs::exists(Installed("mrwgt.exe")));
    setup->Click(TCtl::Button4);
    EXPECT_EQ(setup.Process.WaitForExit(kExitTime), 0u);
    EXPECT_FALSE(fs::exists(Installed("mrwgt.ran"))) << "nothing to start";
}

// The status line while the run waits before its next attempt.
std::wstring RetryStatus(int nextAttempt) {
    return L"연결이 끊어져 다시 시도하는 중입니다.. (" + std::to_wstring(nextAttempt) + L"/4)";
}

void CloseAfterCompletion(TRunningSetup& setup) {
    setup->RequestClose();
    EXPECT_EQ(setup.Process.WaitForExit(kExitTime), 0u);
    std::error_code ignored;
    fs::remove(Installed("mrwgt.ran"), ignored);
}

class Install : public testing::Test {
protected:
    void SetUp() override { CoInitialize(nullptr); }
    void TearDown() override { CoUninitialize(); }
};
} // namespace

// nginx, the sample product, requests held back so that every state stays a moment.
TEST_F(Install, FullRunFromAFreshMachine) {
    ResetMachine();
    TRunningSetup setup;
    ASSERT_TRUE(setup.Driver) << "no Setup window";
    TWatcher watch(*setup.Driver);
    StartInstallation(setup);
    TBox box;
    ASSERT_EQ(WaitForRunEnd(setup, &box), TRunEnd::Completed) << "box: " << WideToAnsi(box.Text);
    watch.Stop();

    for (const char* name : {"uninstall.exe", "libmySQL50.dll", "libmysql.dll", "auto_up.exe", "mrwgt.exe"}) {
        const std::string served = ReadAll(ServedFile(name));
        ASSERT_FALSE(served.empty()) << name;
        EXPECT_TRUE(ReadAll(Installed(name)) == served) << name << " differs from the server's copy";
    }
    // The shared buffer: a shorter file after a longer one keeps only its own bytes.
    ASSERT_LT(fs::file_size(ServedFile("libmySQL50.dll")), fs::file_size(ServedFile("uninstall.exe")));
    EXPECT_EQ(ReadAll(Installed("r_ver.txt")), VersionFileText(ReadAll(ServedFile("r_ver.txt"))));
    EXPECT_EQ(ReadAll(ServedFile("r_ver.txt")).find('\r'), std::string::npos) << "the sample has LF ends";
    EXPECT_NE(ReadAll(Installed("r_ver.txt")).find("\r\n"), std::string::npos);
    EXPECT_TRUE(PartFiles().empty());

    EXPECT_EQ(watch.Statuses(), std::vector<std::wstring>(std::begin(kStatusTexts), std::end(kStatusTexts)));
    const auto progress = watch.Progress();
    for (const char* name : kRequestOrder) {
        const int size = static_cast<int>(fs::file_size(ServedFile(name)));
        EXPECT_NE(std::find(progress.begin(), progress.end(), std::pair{size, size}), progress.end())
            << "the bar never stood full at " << name << "'s " << size << " bytes";
    }

    EXPECT_EQ(QueryUninstallValueW(L"DisplayName"), L"루멘타");
    EXPECT_EQ(Slashed(QueryUninstallValueW(L"UninstallString")),
              Slashed(Installed("uninstall.exe").wstring()));
    EXPECT_EQ(Slashed(ShortcutTarget()), Slashed(Installed("mrwgt.exe").wstring()));

    const auto log = ServerLog();
    ASSERT_EQ(log.size(), std::size(kRequestOrder));
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].RequestLine, std::string("GET //deri_vere/") + kRequestOrder[i] + " HTTP/1.1");
        EXPECT_EQ(log[i].Connection, log[0].Connection) << "one connection for every file";
    }

    EXPECT_EQ(setup->Text(TCtl::Label2), L"설치가 완료되었습니다.");
    EXPECT_EQ(setup->ShownButtons(), (std::vector<std::wstring>{L"완료"}));
    EXPECT_TRUE(setup->IsShown(TCtl::Panel7));
    EXPECT_FALSE(fs::exists(Installed("mrwgt.ran")));
    setup->Click(TCtl::Button4);
    EXPECT_EQ(setup.Process.WaitForExit(kExitTime), 0u);
    ExpectStartedInTheInstallFolder(kExitTime);
    std::error_code ignored;
    fs::remove(Installed("mrwgt.ran"), ignored);
}

// nginx without r_ver.txt, on the machine of the full run.
TEST_F(Install, WithoutTheVersionFileTheEarlierProgramStays) {
    ASSERT_TRUE(fs::exists(Installed("mrwgt.exe"))) << "needs the full run's installation";
    const std::string program = ReadAll(Installed("mrwgt.exe"));
    const std::string version = ReadAll(Installed("r_ver.txt"));
    const auto versionTime = fs::last_write_time(Installed("r_ver.txt"));
    TRunningSetup setup;
    StartInstallation(setup);
    TBox box;
    ASSERT_EQ(WaitForRunEnd(setup, &box), TRunEnd::Completed) << "box: " << WideToAnsi(box.Text);
    EXPECT_TRUE(ReadAll(Installed("mrwgt.exe")) == program);
    EXPECT_EQ(ReadAll(Installed("r_ver.txt")), version);
    EXPECT_EQ(fs::last_write_time(Installed("r_ver.txt")), versionTime) << "the version file was written";
    const auto log = ServerLog();
    EXPECT_TRUE(Requested(log, "r_ver.txt"));
    EXPECT_FALSE(Requested(log, "mrwgt.exe")) << "the main program comes only after the version file";
    EXPECT_TRUE(Requested(log, "auto_up.exe"));
    setup->Click(TCtl::Button4);
    EXPECT_EQ(setup.Process.WaitForExit(kExitTime), 0u);
    EXPECT_TRUE(WaitForFile(Installed("mrwgt.ran"), kExitTime));
    std::error_code ignored;
    fs::remove(Installed("mrwgt.ran"), ignored);
}

// nginx without r_ver.txt, a fresh machine: no main program, so no completion.
TEST_F(Install, WithoutTheVersionFileAFreshMachineGetsTheFailureBox) {
    ResetMachine();
    TRunningSetup setup;
    StartInstallation(setup);
    TBox box;
    ASSERT_EQ(WaitForRunEnd(setup, &box), TRunEnd::Box);
    EXPECT_TRUE(fs::exists(Installed("uninstall.exe"))) << "the files that came stay";
    ExpectDownloadFailureBox(setup, box);
}

// Our server: libmysql.dll missing (404), auto_up.exe cut off in the middle of its body.
TEST_F(Install, AMissingAndACutFileAreSkippedAndTheRunCompletes) {
    ResetMachine();
    TRunningSetup setup;
    StartInstallation(setup);
    TBox box;
    ASSERT_EQ(WaitForRunEnd(setup, &box), TRunEnd::Completed) << "box: " << WideToAnsi(box.Text);
    EXPECT_FALSE(fs::exists(Installed("libmysql.dll")));
    EXPECT_FALSE(fs::exists(Installed("auto_up.exe"))) << "a cut body is no file";
    EXPECT_TRUE(PartFiles().empty()) << "nothing half-written";
    for (const char* name : {"uninstall.exe", "libmySQL50.dll", "mrwgt.exe"})
        EXPECT_TRUE(ReadAll(Installed(name)) == ReadAll(ServedFile(name))) << name;
    EXPECT_TRUE(Requested(ServerLog(), "auto_up.exe"));
    EXPECT_TRUE(IsRegistered());
    setup->RequestClose();
    EXPECT_EQ(setup.Process.WaitForExit(kExitTime), 0u);
    std::error_code ignored;
    fs::remove(Installed("mrwgt.ran"), ignored);
}

// No server at all: the host refuses every connection.
TEST_F(Install, AServerThatIsDownEndsInTheFailureBox) {
    ResetMachine();
    TRunningSetup setup;
    StartInstallation(setup);
    TBox box;
    ASSERT_EQ(WaitForRunEnd(setup, &box), TRunEnd::Box);
    for (const char* name : kFilesBeforeTheVersionFile)
        EXPECT_FALSE(fs::exists(Installed(name))) << name;
    ExpectDownloadFailureBox(setup, box);
}

// nginx with a newer r_ver.txt, on the machine of the full run, its program running.
TEST_F(Install, ARunningProgramCannotBeReplaced) {
    ASSERT_TRUE(fs::exists(Installed("mrwgt.exe"))) << "needs the full run's installation";
    const fs::path stay = Installed("mrwgt.stay");
    std::ofstream(stay).put('1');
    TRunningSetup setup;
    ASSERT_TRUE(setup.Driver) << "no Setup window";
    ASSERT_TRUE(setup->Click(TCtl::Button1));
    // Started after "동의함", so that the wizard's own stopping of running copies misses it.
    TChildProcess product(Installed("mrwgt.exe").wstring(), L"");
    ASSERT_TRUE(product.Started());
    ASSERT_FALSE(product.WaitForExit(500)) << "the stand-in did not stay";
    HANDLE held =
        CreateFileW(Installed("mrwgt.exe").c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    const DWORD code = held == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
    ASSERT_NE(code, 0u) << "this system lets a running program's file be written";

    setup->Press(TCtl::Button3);
    TBox box;
    ASSERT_EQ(WaitForRunEnd(setup, &box), TRunEnd::Box);
    const std::string path = WideToAnsi(InstallDir().wstring()) + "/mrwgt.exe";
    EXPECT_EQ(box.Text, TApplication::ErrorBoxText(CreateFileErrorText(path, code)));
    EXPECT_EQ(ReadAll(Installed("r_ver.txt")), VersionFileText(ReadAll(ServedFile("r_ver.txt"))))
        << "the newer version file was written before the program";
    EXPECT_TRUE(PartFiles().empty());
    DismissBox(box);
    EXPECT_EQ(setup->Text(TCtl::Label1), L"설치중");
    EXPECT_EQ(setup->ShownButtons(), (std::vector<std::wstring>{L"취소"}));
    fs::remove(stay);
    EXPECT_TRUE(product.WaitForExit(kExitTime));
    setup->Click(TCtl::Button4);
    EXPECT_EQ(setup.Process.WaitForExit(kExitTime), 0u);
    std::error_code ignored;
    fs::remove(Installed("mrwgt.ran"), ignored);
}

// Tab until 취소 has the focus; false when it never got there.
bool TabToButton(const TRunningSetup& setup, TCtl button) {
    const HWND target = setup->Control(button);
    for (int tabs = 0; tabs < 8; ++tabs) {
        const HWND before = setup->Focused();
        if (before == target) return true;
        setup->PressKey(VK_TAB);
        // The keys wait in the queue until the download's next pump.
        for (int i = 0; i < 100 && setup->Focused() == before; ++i)
            Sleep(20);
    }
    return setup->Focused() == target;
}

// Our server trickling every body: the user gives up during the first download, by the
// close box, by a click on 취소, or from the keyboard: Tab to 취소, then Enter.
TEST_F(Install, CancelDuringASlowDownloadStopsTheRun) {
    enum class TWay { CloseBox, Click, Keyboard };
    for (TWay way : {TWay::CloseBox, TWay::Click, TWay::Keyboard}) {
        SCOPED_TRACE(way == TWay::CloseBox ? "close box" : way == TWay::Click ? "취소 button" : "Tab, Enter");
        ResetMachine();
        TRunningSetup setup;
        StartInstallation(setup);
        bool downloading = false;
        for (int i = 0; i < 400 && !downloading; ++i) {
            downloading = setup->ProgressPosition() > 0;
            if (!downloading) Sleep(25);
        }
        ASSERT_TRUE(downloading) << "the first download never showed progress";
        if (way == TWay::CloseBox) {
            setup->RequestClose();
        } else if (way == TWay::Click) {
            setup->Press(TCtl::Button4);
        } else {
            ASSERT_TRUE(TabToButton(setup, TCtl::Button4)) << "Tab did not reach 취소 during the download";
            setup->PressKey(VK_RETURN);
        }
        EXPECT_EQ(setup.Process.WaitForExit(kExitTime), 0u) << "the program did not end";
        EXPECT_FALSE(FindMessageBox(setup.Process.Id()).Window);
        for (const char* name : {"uninstall.exe", "mrwgt.exe", "r_ver.txt"})
            EXPECT_FALSE(fs::exists(Installed(name))) << name;
        EXPECT_TRUE(PartFiles().empty());
        EXPECT_FALSE(IsRegistered());
        EXPECT_FALSE(fs::exists(ShortcutFile()));
        EXPECT_FALSE(WaitForFile(Installed("mrwgt.ran"), 500));
    }
}

// Our server with validators; the first answer for every file stops in the middle of its body.
TEST_F(Install, EveryFileCutOnceIsResumedAndTheLogNamesEachAttempt) {
    ResetMachine();
    TRunningSetup setup;
    ASSERT_TRUE(setup.Driver) << "no Setup window";
    TWatcher watch(*setup.Driver);
    StartInstallation(setup);
    TBox box;
    ASSERT_EQ(WaitForRunEnd(setup, &box), TRunEnd::Completed) << "box: " << WideToAnsi(box.Text);
    watch.Stop();
    ExpectInstalledAsServed();
    EXPECT_TRUE(setup->IsShown(TCtl::Panel7));

    const auto log = ServerLog();
    for (const char* name : kRequestOrder) {
        SCOPED_TRACE(name);
        const auto requests = RequestsFor(log, name);
        ASSERT_EQ(requests.size(), 2u) << "the cut answer and one more";
        const long long size = static_cast<long long>(fs::file_size(ServedFile(name)));
        EXPECT_EQ(requests[0].Range, "") << "a first request asks for the whole file";
        EXPECT_LT(requests[0].BodyBytes, size);
        long long from = 0;
        if (!requests[1].Range.empty()) {
            EXPECT_EQ(requests[1].Status, 206);
            ASSERT_EQ(requests[1].Range.rfind("bytes=", 0), 0u) << requests[1].Range;
            from = std::stoll(requests[1].Range.substr(6));
            EXPECT_GT(from, 0);
            EXPECT_FALSE(requests[1].IfRange.empty()) << "resumed without the validator";
        }
        EXPECT_EQ(from + requests[1].BodyBytes, size) << "the rest of the file, once";
        EXPECT_LE(from, requests[0].BodyBytes);
        EXPECT_LE(requests[0].BodyBytes - from, 64 * 1024) << "body sent twice";
    }
    // The bar spans whole files only, and never went back while the main program, the one
    // file of its size, was resumed.
    std::vector<int> sizes{100}; // the bar's range before the first download
    for (const char* name : kRequestOrder)
        sizes.push_back(static_cast<int>(fs::file_size(ServedFile(name))));
    const int mainSize = static_cast<int>(fs::file_size(ServedFile("mrwgt.exe")));
    int mainPosition = 0;
    for (const auto& [maximum, position] : watch.Progress()) {
        EXPECT_NE(std::find(sizes.begin(), sizes.end(), maximum), sizes.end()) << "a bar of " << maximum;
        if (maximum != mainSize) continue;
        EXPECT_GE(position, mainPosition) << "the bar went back";
        mainPosition = position;
    }
    EXPECT_EQ(mainPosition, mainSize);

    const std::string installLog = NewestInstallLog();
    for (const char* name : kRequestOrder) {
        const std::string url = std::string("//deri_vere/") + name + ": attempt ";
        EXPECT_NE(installLog.find(url + "1 failed"), std::string::npos) << name;
        EXPECT_NE(installLog.find(url + "2: HTTP/1.1 20"), std::string::npos) << name;
    }
    EXPECT_NE(installLog.find("Outcome: completed"), std::string::npos);
    CloseAfterCompletion(setup);
}

// Our server refuses every connection for its first 3 s, then serves.
TEST_F(Install, AServerThatRefusesAtFirstIsWaitedFor) {
    ResetMachine();
    TRunningSetup setup;
    StartInstallation(setup);
    TBox box;
    ASSERT_EQ(WaitForRunEnd(setup, &box), TRunEnd::Completed) << "box: " << WideToAnsi(box.Text);
    ExpectInstalledAsServed();
    const std::string installLog = NewestInstallLog();
    EXPECT_NE(installLog.find("uninstall.exe: attempt 1 failed"), std::string::npos);
    EXPECT_NE(installLog.find("(socket error 10061)"), std::string::npos);
    for (const char* name : kRequestOrder)
        EXPECT_EQ(RequestsFor(ServerLog(), name).size(), 1u) << name;
    CloseAfterCompletion(setup);
}

// Our server stops sending in the middle of the main program and keeps the connection open.
TEST_F(Install, AStalledMainProgramIsFetchedAgainAfterTheStallLimit) {
    ResetMachine();
    TRunningSetup setup;
    StartInstallation(setup);
    const auto start = std::chrono::steady_clock::now();
    TBox box;
    ASSERT_EQ(WaitForRunEnd(setup, &box), TRunEnd::Completed) << "box: " << WideToAnsi(box.Text);
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 29) << "the stall did not hold the read";
    EXPECT_LE(seconds, 45);
    ExpectInstalledAsServed();
    const auto requests = RequestsFor(ServerLog(), "mrwgt.exe");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[1].Status, 206);
    CloseAfterCompletion(setup);
}

// Our server refuses connections all along: the run waits between attempts, and the user
// closes the window during the longest wait.
TEST_F(Install, ACloseDuringARetryWaitEndsTheProgramAtOnce) {
    ResetMachine();
    TRunningSetup setup;
    StartInstallation(setup);
    bool waiting = false;
    for (int i = 0; i < 600 && !waiting; ++i) {
        waiting = setup->Text(TCtl::lblMsg) == RetryStatus(4);
        if (!waiting) Sleep(20);
    }
    ASSERT_TRUE(waiting) << "never waited before the last attempt: " << WideToAnsi(setup->Text(TCtl::lblMsg));
    const auto closed = std::chrono::steady_clock::now();
    setup->RequestClose();
    EXPECT_EQ(setup.Process.WaitForExit(kExitTime), 0u) << "the program did not end";
    const auto milliseconds =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - closed)
            .count();
    EXPECT_LT(milliseconds, 1500) << "the 4 s wait was not cut short";
    std::printf("closed during the wait, ended %lld ms later\n", static_cast<long long>(milliseconds));
    EXPECT_FALSE(FindMessageBox(setup.Process.Id()).Window);
    EXPECT_FALSE(IsRegistered());
    EXPECT_FALSE(fs::exists(ShortcutFile()));
    EXPECT_NE(NewestInstallLog().find("Outcome: cancelled"), std::string::npos);
}

// The installer built with the https base URL, against nginx serving the sample product
// over TLS only (port 443) with a certificate of a root the namespace trusts.
TEST_F(Install, FullRunOverHttps) {
    ResetMachine();
    TRunningSetup setup;
    ASSERT_TRUE(setup.Driver) << "no Setup window";
    StartInstallation(setup);
    TBox box;
    ASSERT_EQ(WaitForRunEnd(setup, &box), TRunEnd::Completed) << "box: " << WideToAnsi(box.Text);
    ExpectInstalledAsServed();
    const auto log = ServerLog();
    ASSERT_EQ(log.size(), std::size(kRequestOrder));
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].RequestLine, std::string("GET //deri_vere/") + kRequestOrder[i] + " HTTP/1.1");
        EXPECT_EQ(log[i].Connection, log[0].Connection) << "one TLS connection for every file";
    }
    setup->Click(TCtl::Button4);
    EXPECT_EQ(setup.Process.WaitForExit(kExitTime), 0u);
    ExpectStartedInTheInstallFolder(kExitTime);
    std::error_code ignored;
    fs::remove(Installed("mrwgt.ran"), ignored);
}
