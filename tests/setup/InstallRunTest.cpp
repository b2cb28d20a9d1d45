// The installation run without a window: driven through a recording view against the
// scripted server, into a folder of its own. Also the window's side of the run: the
// progress bar and the socket stack's life.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <sstream>

#include "setup/Application.h"
#include "setup/InstallRun.h"
#include "setup/Migration.h"
#include "setup/Registration.h"
#include "setup/SetupMain.h"
#include "setup/SetupVersion.h"
#include "setup/SystemStateLock.h"
#include "setup/TestFiles.h"
#include "support/ScriptedServer.h"
#include "transport/NxStack.h"

namespace fs = std::filesystem;

namespace {
constexpr int32_t kGuardTimeout = 10000;
// Waits between attempts in these runs: short, but each still a wait.
constexpr int32_t kTestFirstWait = 10;

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

bool IsRegistered() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

std::string Reply(const std::string& body, const std::string& extraHeaders = "") {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders +
           "\r\n" + body;
}

// What a run showed, and a rule for when its user asks to stop.
class TRecordingView : public TInstallView {
public:
    void ShowStatus(const std::wstring& text) override { Statuses.push_back(text); }
    void ProgressBegin(int32_t maximum) override { Progress.push_back("begin " + std::to_string(maximum)); }
    void ProgressAdvance(int32_t position) override { Progress.push_back("at " + std::to_string(position)); }
    void ProgressEnd() override { Progress.push_back("end"); }
    bool ProcessMessages() override {
        ++Pumps;
        return StopWhen && StopWhen(*this);
    }
    void ReportError(const std::string& message) override { Errors.push_back(message); }
    bool AskProxyCredentials(const std::string& proxy, std::string& user, std::string& password) override {
        AskedFor.push_back(proxy);
        if (ProxyUser.empty()) return false;
        user = ProxyUser;
        password = ProxyPassword;
        return true;
    }

    // The statuses after the settings check's own.
    std::vector<std::wstring> StepStatuses() const {
        std::vector<std::wstring> steps;
        for (const std::wstring& s : Statuses)
            if (s != kMigrationCheckingText) steps.push_back(s);
        return steps;
    }

    std::vector<std::wstring> Statuses;
    std::vector<std::string> Progress;
    std::vector<std::string> Errors;
    int Pumps = 0;
    std::function<bool(const TRecordingView&)> StopWhen;
    // What the user types into the proxy's box (nothing: the box is cancelled).
    std::string ProxyUser, ProxyPassword;
    std::vector<std::string> AskedFor;
};

// A run into a fresh folder of its own; the uninstall entry and the shortcut it may make
// are removed before and after.
class InstallRunTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FLock.Owned()) << "another test kept the registry for a minute";
        Application().Initialize();
        fs::create_directories(Root + "\\local");
        Place.AppDataDir = AnsiToWide(Root + "\\local");
        Place.VendorDir = Place.AppDataDir + L"\\Brindlewick\\";
        Place.ProductDir = L"Marrowgate";
        Place.MainExe = L"mrwgt.exe";
        LogFile = Root + "\\run.log";
        Run.SetLogPath(AnsiToWide(LogFile));
        // A script that goes wrong must not hold the test for the stored 30 s.
        Run.HTTP().ReadTimeout = kGuardTimeout;
        Run.RetryPolicy().FirstWaitMs = kTestFirstWait;
        // The runs of this suite are those of a build without manifest keys.
        Run.SetManifestKeys("", 1);
        ForgetRegistration();
    }
    void TearDown() override { ForgetRegistration(); }
    static void ForgetRegistration() {
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUninstallKey);
        const std::wstring shortcut = DesktopShortcutPath();
        if (!shortcut.empty()) DeleteFileW(shortcut.c_str());
    }
    void ServeFrom(const nxtest::ScriptedServer& server) {
        Place.BaseURL = "http://127.0.0.1:" + std::to_string(server.Port()) + "/";
    }
    std::string Installed(const std::string& name) const {
        return WideToAnsi(Place.InstallDir()) + "/" + name;
    }
    // Each run's log is a new file: a second run into LogFile writes the next free name.
    std::string LogNote() const { return "\n" + WideToAnsi(kLogNoteBefore + Run.LogPath() + kLogNoteAfter); }
    std::string Log() const { return ReadAll(Run.LogPath()); }

    TSystemStateLock FLock;
    TTestFolder FFolder{"nx-run-"};
    const std::string& Root = FFolder.Path();
    std::string LogFile;
    TInstallPlace Place;
    TRecordingView View;
    TInstallRun Run{View};
};

// The request head of the installer's client for one server path; the Cookie line comes
// last once the server has set one.
std::string RequestHead(uint16_t port, const std::string& name, const std::string& cookie = "") {
    return "GET //deri_vere/" + name +
           " HTTP/1.1\r\nContent-Type: text/html\r\nHost: 127.0.0.1:" + std::to_string(port) +
           "\r\nAccept: text/html, */*\r\nUser-Agent: Mozilla/3.0 (compatible; Nx Library)\r\n" +
           (cookie.empty() ? "" : "Cookie: " + cookie + "\r\n") + "\r\n";
}
} // namespace

TEST_F(InstallRunTest, AHealthyRunFetchesEveryFileOnOneConnectionSavesAndRegisters) {
    const std::string uninstall(3000, 'U'), database(1000, 'S'), program(5000, 'M');
    nxtest::ScriptedServer server;
    server.ExpectReceived("/uninstall.exe HTTP/1.1\r\n")
        .ExpectReceived("\r\n\r\n")
        .Send(Reply(uninstall, "Set-Cookie: session=S3cr3tCookieValue; path=/\r\n"))
        .ExpectReceived("/libmySQL50.dll")
        .Send(Reply(database))
        // An accepted empty body must not leave the earlier file's bytes in the shared buffer.
        .ExpectReceived("/libmysql.dll")
        .Send(Reply(""))
        .ExpectReceived("/auto_up.exe")
        .Send("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found")
        .ExpectReceived("/r_ver.txt")
        .Send(Reply("1.2\n3"))
        .ExpectReceived("/mrwgt.exe")
        .Send("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n")
        .SendPieces(program, {2000}, 10);
    server.Start();
    ServeFrom(server);

    ASSERT_EQ(Run.Run(Place), ioCompleted) << (View.Errors.empty() ? "" : View.Errors[0]);
    EXPECT_TRUE(server.WaitFinished(5000)) << server.Failure();
    EXPECT_TRUE(View.Errors.empty());

    const uint16_t port = server.Port();
    const std::string cookie = "session=S3cr3tCookieValue";
    EXPECT_EQ(server.Received(),
              RequestHead(port, "uninstall.exe") + RequestHead(port, "libmySQL50.dll", cookie) +
                  RequestHead(port, "libmysql.dll", cookie) + RequestHead(port, "auto_up.exe", cookie) +
                  RequestHead(port, "r_ver.txt", cookie) + RequestHead(port, "mrwgt.exe", cookie));
    EXPECT_EQ(server.Connections(), 1);

    EXPECT_EQ(ReadAll(Installed("uninstall.exe")), uninstall);
    EXPECT_EQ(ReadAll(Installed("libmySQL50.dll")), database);
    EXPECT_TRUE(fs::exists(Installed("libmysql.dll")));
    EXPECT_EQ(ReadAll(Installed("libmysql.dll")), "");
    EXPECT_FALSE(fs::exists(Installed("auto_up.exe")));
    EXPECT_EQ(ReadAll(Installed("r_ver.txt")), "1.2\r\n3\r\n");
    EXPECT_EQ(ReadAll(Installed("mrwgt.exe")), program);
    for (const auto& entry : fs::directory_iterator(Place.InstallDir()))
        EXPECT_NE(entry.path().extension(), ".part") << entry.path();

    EXPECT_EQ(View.StepStatuses(),
              (std::vector<std::wstring>{L"데이터베이스 버전체크..", L"데이터베이스 엔진체크..",
                                         L"업데이트 엔진체크..", L"소프트웨어 버전체크..",
                                         L"소프트웨어 안정화작업중...", L"완료되었습니다."}));
    // Every transfer that began also ended, and the bar stood at the whole file.
    for (const char* size : {"3000", "1000", "5000"}) {
        const auto begin =
            std::find(View.Progress.begin(), View.Progress.end(), std::string("begin ") + size);
        ASSERT_NE(begin, View.Progress.end()) << size;
        const auto end = std::find(begin, View.Progress.end(), "end");
        EXPECT_NE(end, View.Progress.end()) << size;
        EXPECT_EQ(std::find_if(begin + 1, end, [](const std::string& e) { return e.rfind("begin", 0) == 0; }),
                  end)
            << "a transfer of " << size << " never ended";
    }

    EXPECT_TRUE(IsRegistered());
    EXPECT_TRUE(IsExistingFile(DesktopShortcutPath()));

    // The log: UTF-8 with a byte-order mark, every line stamped with the local time.
    const std::string log = Log();
    ASSERT_EQ(log.substr(0, 3), "\xEF\xBB\xBF");
    std::istringstream lines(log.substr(3));
    const std::regex stamped(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \S.*\r$)");
    int lineCount = 0;
    for (std::string line; std::getline(lines, line); ++lineCount)
        EXPECT_TRUE(std::regex_match(line, stamped)) << line;
    EXPECT_GT(lineCount, 20);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "//deri_vere/";
    const std::vector<std::string> expectedLines = {
        std::string("Marrowgate Setup ") + NX_SETUP_VERSION_TEXT,
        std::string("ANSI code page 949"),
        "GET " + url + "uninstall.exe: attempt 1: HTTP/1.1 200 OK, 3000 bytes in ",
        "GET " + url + "libmysql.dll: attempt 1: HTTP/1.1 200 OK, 0 bytes in ",
        "GET " + url + "auto_up.exe: attempt 1 failed after ",
        "ENxHTTPProtocolException: HTTP/1.1 404 Not Found",
        "GET " + url + "mrwgt.exe: attempt 1: HTTP/1.1 200 OK, 5000 bytes in ",
        "Wrote " + Installed("uninstall.exe") + " (3000 bytes)",
        "Wrote " + Installed("r_ver.txt") + " (8 bytes)",
        std::string("Status: 데이터베이스 버전체크.."),
        std::string("DisplayName = 루멘타, UninstallString = ") + UninstallCommand(Place.InstallDir()),
        "Shortcut " + WideToCodePage(DesktopShortcutPath(), CP_UTF8) + ": saved",
        std::string("Outcome: completed\r\n"),
    };
    for (const std::string& expected : expectedLines)
        EXPECT_NE(log.find(expected), std::string::npos) << expected;
    EXPECT_EQ(log.find("S3cr3tCookieValue"), std::string::npos) << "a cookie value reached the log";
    EXPECT_EQ(WideToAnsi(Run.LogPath()), LogFile);
}

TEST_F(InstallRunTest, AStopRequestEndsTheRunWithoutABoxOrRegistration) {
    const std::wstring retrying = kRetryStatusBefore + std::wstring(L"2/4") + kRetryStatusAfter;
    const struct {
        const char* When;
        std::function<bool(const TRecordingView&)> StopWhen;
        bool Refusing; // the server refuses every connection: the run waits between attempts
        int Requests;
    } cases[] = {
        {"before any download", [](const TRecordingView&) { return true; }, false, 0},
        {"in the middle of the first file",
         [](const TRecordingView& v) {
             return std::any_of(v.Progress.begin(), v.Progress.end(),
                                [](const std::string& e) { return e.rfind("at ", 0) == 0 && e != "at 0"; });
         },
         false, 1},
        {"during the wait before the second attempt",
         [&](const TRecordingView& v) { return !v.Statuses.empty() && v.Statuses.back() == retrying; }, true,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.When);
        View = TRecordingView{};
        View.StopWhen = c.StopWhen;
        Run.RetryPolicy().FirstWaitMs = 1000;
        nxtest::ScriptedServer server;
        server.ExpectReceived("\r\n\r\n", 2000)
            .Send("HTTP/1.1 200 OK\r\nContent-Length: 50000\r\n\r\n")
            .SendPieces(std::string(50000, 'U'), {1000}, 30);
        server.Start();
        ServeFrom(server);
        nxtest::RefusingPort refusing;
        if (c.Refusing) Place.BaseURL = "http://127.0.0.1:" + std::to_string(refusing.Port()) + "/";
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Run.Run(Place), ioCancelled);
        // Well within the first wait of 1 s: a stop does not sit out a wait.
        if (c.Refusing) {
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
        }
        EXPECT_TRUE(View.Errors.empty());
        EXPECT_EQ(Count(server.Received(), "GET "), static_cast<size_t>(c.Requests));
        EXPECT_FALSE(fs::exists(Installed("uninstall.exe")));
        EXPECT_FALSE(IsRegistered());
        EXPECT_NE(Log().find("Outcome: cancelled"), std::string::npos);
    }
}

TEST_F(InstallRunTest, ACutBodyIsResumedWhileTheBarNeverGoesBackAndTheStatusComesBack) {
    const std::string body(3000, 'R');
    nxtest::ScriptedServer server;
    server.ExpectReceived("\r\n\r\n")
        .Send("HTTP/1.1 200 OK\r\nETag: \"v1\"\r\nContent-Length: 3000\r\n\r\n" + body.substr(0, 2000))
        .Close()
        .Accept()
        .ExpectReceived("\r\n\r\n")
        .Send("HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 2000-2999/3000\r\nContent-Length: "
              "1000\r\n\r\n" +
              body.substr(2000))
        .ExpectReceived("/next.txt HTTP/1.1\r\n")
        .ExpectReceived("\r\n\r\n")
        .Send(Reply("next"));
    server.Start();
    const std::string base = "http://127.0.0.1:" + std::to_string(server.Port()) + "/";
    TMemoryStream buffer;
    ASSERT_TRUE(Run.DownloadToStream(base + "/deri_vere/uninstall.exe", buffer));
    EXPECT_EQ(buffer.ToString(), body);
    TMemoryStream next;
    ASSERT_TRUE(Run.DownloadToStream(base + "/deri_vere/next.txt", next));
    EXPECT_TRUE(server.WaitFinished(5000)) << server.Failure();
    const auto heads = server.ReceivedPerConnection();
    ASSERT_EQ(heads.size(), 2u);
    EXPECT_NE(heads[1].find("\r\nRange: bytes=2000-\r\n"), std::string::npos) << heads[1];
    EXPECT_NE(heads[1].find("\r\nIf-Range: \"v1\"\r\n"), std::string::npos) << heads[1];
    // The next file's request is the plain one again.
    EXPECT_EQ(heads[1].substr(heads[1].find("GET //deri_vere/next.txt")),
              RequestHead(server.Port(), "next.txt"));

    EXPECT_EQ(View.Statuses,
              (std::vector<std::wstring>{kRetryStatusBefore + std::wstring(L"2/4") + kRetryStatusAfter, L""}))
        << "the wait's text, then the step's own (none here)";
    int last = -1;
    for (const std::string& event : View.Progress) {
        if (event == "end") break; // the next file follows
        if (event.rfind("at ", 0) != 0) continue;
        const int position = std::stoi(event.substr(3));
        EXPECT_GE(position, last) << testing::PrintToString(View.Progress);
        last = position;
    }
    EXPECT_EQ(last, 3000);
}

TEST_F(InstallRunTest, FailuresEndInOneReportThatNamesTheLogWhereThereIsOne) {
    const std::string missingLog = Root + "\\no such folder\\run.log";
    const struct {
        const char* Name;
        bool NoAppData;
        bool LogWritable;
        const wchar_t* Text;
    } cases[] = {
        {"server down", false, true, kDownloadFailedText},
        {"no application-data folder", true, true, kNoLocalAppDataText},
        {"server down, the log cannot be written", false, false, kDownloadFailedText},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        View = TRecordingView{};
        nxtest::RefusingPort refusing;
        Place.BaseURL = "http://127.0.0.1:" + std::to_string(refusing.Port()) + "/";
        const std::wstring appData = Place.AppDataDir;
        if (c.NoAppData) Place.AppDataDir.clear();
        Run.SetLogPath(AnsiToWide(c.LogWritable ? LogFile : missingLog));
        EXPECT_EQ(Run.Run(Place), ioFailed);
        Place.AppDataDir = appData;
        ASSERT_EQ(View.Errors.size(), 1u);
        EXPECT_EQ(View.Errors[0], WideToAnsi(c.Text) + (c.LogWritable ? LogNote() : ""));
        EXPECT_EQ(Run.ErrorText(), View.Errors[0]);
        EXPECT_EQ(Run.LogPath().empty(), !c.LogWritable);
        EXPECT_FALSE(IsRegistered());
        EXPECT_FALSE(fs::exists(missingLog));
        if (!c.LogWritable) continue;
        const std::string log = Log();
        EXPECT_NE(log.find("Outcome: failed: "), std::string::npos);
        // Five files asked for, each refused four times; no main program without a version file.
        EXPECT_EQ(Count(log, "(socket error 10061)"), c.NoAppData ? 0u : 20u) << log;
        EXPECT_EQ(Count(log, "mrwgt.exe: attempt"), 0u);
    }
}

// A profile whose name the ANSI code page cannot spell (949 has no ŵ): every file and the log
// land in it, not in a folder of a name mangled on the way.
TEST_F(InstallRunTest, APathOutsideTheCodePageIsWrittenAsItIs) {
    const std::wstring profile = AnsiToWide(Root) + L"\\Dŵ";
    ASSERT_TRUE(CreateDirectoryW(profile.c_str(), nullptr));
    Place.AppDataDir = profile;
    Place.VendorDir = profile + L"\\Brindlewick\\";
    Run.SetLogPath(profile + L"\\run.log");
    const std::string missing = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
    nxtest::ScriptedServer server;
    server.ExpectReceived("\r\n\r\n").Send(Reply("uninstall"));
    for (int i = 0; i < 3; ++i)
        server.ExpectReceived("\r\n\r\n").Send(missing);
    server.ExpectReceived("\r\n\r\n").Send(Reply("1")).ExpectReceived("\r\n\r\n").Send(Reply("program"));
    server.Start();
    ServeFrom(server);
    ASSERT_EQ(Run.Run(Place), ioCompleted) << (View.Errors.empty() ? "" : View.Errors[0]);
    EXPECT_EQ(Run.LogPath(), profile + L"\\run.log");
    EXPECT_NE(ReadAll(fs::path(Run.LogPath())).find("Outcome: completed"), std::string::npos);
    for (const auto& [name, bytes] : {std::pair{L"uninstall.exe", "uninstall"}, {L"mrwgt.exe", "program"}})
        EXPECT_EQ(ReadAll(fs::path(Place.InstallDir()) / name), bytes);
}

TEST_F(InstallRunTest, AFileThatCannotBeCreatedKeepsTheSystemsTextAndStopsTheRun) {
    // A folder where the first product file goes: nothing can replace it.
    fs::create_directories(Installed("uninstall.exe"));
    nxtest::ScriptedServer server;
    server.ExpectReceived("\r\n\r\n").Send(Reply("program"));
    server.Start();
    ServeFrom(server);
    EXPECT_EQ(Run.Run(Place), ioFailed);
    ASSERT_EQ(View.Errors.size(), 1u);
    const std::string start = "Cannot create file \"" + Installed("uninstall.exe") + "\". ";
    EXPECT_EQ(View.Errors[0].rfind(start, 0), 0u) << View.Errors[0];
    EXPECT_EQ(View.Errors[0].find(LogFile), std::string::npos) << "the system's box stays as it was";
    EXPECT_EQ(Count(server.Received(), "GET "), 1u) << "no download after the failure";
    EXPECT_FALSE(IsRegistered());
    EXPECT_NE(Log().find("Outcome: failed: EFCreateError: " + start), std::string::npos);
}

TEST_F(InstallRunTest, AFailedDownloadIsFalseAndRewindsTheBuffer) {
    TMemoryStream buffer;
    buffer.WriteString("earlier bytes");
    // Port 1 on the loopback refuses at once.
    EXPECT_FALSE(Run.DownloadToStream("http://127.0.0.1:1//deri_vere/r_ver.txt", buffer));
    EXPECT_EQ(buffer.Position(), 0);
    EXPECT_FALSE(Run.DownloadToStream("http://", buffer));
    EXPECT_EQ(buffer.Position(), 0);
}

class InstallRunWindow : public ::testing::Test {
protected:
    void SetUp() override {
        Application().Initialize();
        Form = std::make_unique<TfrmSetupMain>();
    }
    LRESULT Position() const { return SendMessageW(Form->Control(TCtl::ProgressBar1), PBM_GETPOS, 0, 0); }
    LRESULT Maximum() const {
        return SendMessageW(Form->Control(TCtl::ProgressBar1), PBM_GETRANGE, FALSE, 0);
    }
    std::unique_ptr<TfrmSetupMain> Form;
};

TEST_F(InstallRunWindow, TheRunsProgressDrivesTheBarAndItsStatusTheLabel) {
    Form->ProgressBegin(5000);
    EXPECT_EQ(Maximum(), 5000);
    EXPECT_EQ(Position(), 0);
    Form->ProgressAdvance(1200);
    EXPECT_EQ(Position(), 1200);
    Form->ProgressEnd();
    EXPECT_EQ(Position(), 5000);
    Form->ProgressBegin(300);
    EXPECT_EQ(Maximum(), 300);
    EXPECT_EQ(Position(), 0);
    Form->ProgressEnd();
    EXPECT_EQ(Position(), 300);
    // A resumed download keeps its place on a bar of the whole file.
    Form->ProgressResume(9000, 4000);
    EXPECT_EQ(Maximum(), 9000);
    EXPECT_EQ(Position(), 4000);
    Form->ShowStatus(L"업데이트 엔진체크..");
    EXPECT_EQ(Form->Caption(TCtl::lblMsg), L"업데이트 엔진체크..");
    EXPECT_FALSE(Form->ProcessMessages());
}

TEST_F(InstallRunWindow, TheSocketStackLivesAsLongAsTheWindow) {
    const int32_t users = NxStackUserCount();
    Form.reset();
    EXPECT_EQ(NxStackUserCount(), users - 1);
    if (users == 1) {
        EXPECT_EQ(NxStackInstance(), nullptr);
    }
    Form = std::make_unique<TfrmSetupMain>();
    EXPECT_EQ(NxStackUserCount(), users);
    EXPECT_NE(NxStackInstance(), nullptr);
}

// The installer behind a proxy (the settings given, a scripted proxy on loopback): the route and
// why in the log, absolute request targets, and a 407 answered once per run, from the command
// line or the user's box, never with the password in the log.
TEST_F(InstallRunTest, BehindAProxy) {
    const char* const files[] = {"uninstall.exe", "libmySQL50.dll", "libmysql.dll",
                                 "auto_up.exe",   "r_ver.txt",      "mrwgt.exe"};
    const std::string challenge = "HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 6\r\n";
    const std::string basicChallenge = challenge + "Proxy-Authenticate: Basic realm=\"office\"\r\n\r\ndenied";
    const std::string login = "Proxy-Authorization: Basic Ym9iOnMzY3JldA=="; // bob:s3cret
    enum TAsk { akNone, akCommandLine, akBox };
    const struct {
        const char* Name;
        TAsk Credentials;
        // The proxy's answers to the first file before it serves every file: a 407 each.
        std::vector<std::string> Challenges;
        bool Completes;
        std::vector<std::string> LogHas;
    } rows[] = {
        // clang-format off
        {"no proxy credentials needed", akNone, {}, true, {" (fixed)"}},
        {"the command line's credentials", akCommandLine, {basicChallenge}, true,
         {"answered 407 Proxy Authentication Required for http://dist.nxtest//deri_vere/uninstall.exe (Basic realm=\"office\")",
          "Proxy credentials of the command line for the user bob"}},
        {"the user's credentials", akBox, {basicChallenge}, true, {"Proxy credentials entered for the user bob"}},
        {"no credentials to give", akNone, {basicChallenge}, false,
         {"No proxy credentials: none were entered, nor given with /PROXYUSER= and /PROXYPASSWORD="}},
        {"credentials refused", akCommandLine, {basicChallenge, basicChallenge}, false, {"The proxy refused the user name and password"}},
        {"integrated Windows authentication", akCommandLine, {challenge + "Proxy-Authenticate: Negotiate\r\nProxy-Authenticate: NTLM\r\n\r\ndenied"}, false,
         {"(Negotiate, NTLM)", "The proxy asks for integrated Windows authentication"}},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        ForgetRegistration();
        fs::remove_all(Place.InstallDir());
        nxtest::ScriptedServer proxy;
        proxy.ExpectReceived("/uninstall.exe HTTP/1.1\r\n").ExpectReceived("\r\n\r\n");
        for (size_t i = 0; i < row.Challenges.size(); ++i) {
            proxy.Send(row.Challenges[i]);
            if (i + 1 < row.Challenges.size() || row.Completes) proxy.ExpectReceived(login);
        }
        if (row.Completes)
            for (const char* name : files) {
                proxy.ExpectReceived(std::string("/") + name + " HTTP/1.1\r\n").ExpectReceived("\r\n\r\n");
                proxy.Send(Reply(std::string(name) == "r_ver.txt" ? "1.0\n" : name));
            }
        proxy.Start();
        TRecordingView view;
        view.ProxyUser = row.Credentials == akBox ? "bob" : "";
        view.ProxyPassword = "s3cret";
        TInstallRun run(view);
        run.SetLogPath(AnsiToWide(LogFile));
        run.HTTP().ReadTimeout = kGuardTimeout;
        run.SetManifestKeys("", 1);
        if (row.Credentials == akCommandLine) run.SetProxyCredentials("bob", "s3cret");
        const auto none = [](auto&&...) { return false; };
        run.SetProxySource(std::make_unique<TSystemProxy>(
            TInternetOptions{false, "", "127.0.0.1:" + std::to_string(proxy.Port()), "<local>"}, none, none));
        TInstallPlace place = Place;
        place.BaseURL = "http://dist.nxtest/";

        EXPECT_EQ(run.Run(place), row.Completes ? ioCompleted : ioFailed);
        EXPECT_TRUE(proxy.WaitFinished(5000)) << proxy.Failure();
        const std::string log = ReadAll(run.LogPath());
        const std::string received = proxy.Received();
        if (row.Completes) {
            EXPECT_EQ(ReadAll(Installed("mrwgt.exe")), "mrwgt.exe");
            for (const char* name : files)
                EXPECT_NE(received.find(std::string("GET http://dist.nxtest:80//deri_vere/") + name +
                                        " HTTP/1.1\r\n"),
                          std::string::npos)
                    << name;
            EXPECT_NE(log.find("Proxy for http://dist.nxtest//deri_vere/mrwgt.exe: http://127.0.0.1:" +
                               std::to_string(proxy.Port()) + " (fixed)"),
                      std::string::npos);
            // Once given, the credentials go with every request.
            EXPECT_EQ(Count(received, login), row.Challenges.empty() ? 0u : row.Challenges.size() + 5);
        } else {
            ASSERT_EQ(view.Errors.size(), 1u);
            EXPECT_EQ(view.Errors[0], WideToAnsi(kProxyAuthFailedText) + "\n" +
                                          WideToAnsi(kLogNoteBefore + run.LogPath() + kLogNoteAfter));
            EXPECT_FALSE(fs::exists(Installed("uninstall.exe"))) << "the run ended at the first file";
        }
        for (const std::string& line : row.LogHas)
            EXPECT_NE(log.find(line), std::string::npos) << line;
        EXPECT_EQ(log.find("s3cret"), std::string::npos) << "the password reached the log";
        EXPECT_EQ(view.AskedFor.size(), row.Credentials == akNone && !row.Challenges.empty() ? 1u
                                        : row.Credentials == akBox                           ? 1u
                                                                                             : 0u);
    }
}

// An answer of several proxies: one that refuses gives way to the next, and the log says so.
TEST_F(InstallRunTest, ARefusingProxyGivesWayToTheNext) {
    nxtest::RefusingPort refusing;
    nxtest::ScriptedServer proxy;
    for (const char* name :
         {"uninstall.exe", "libmySQL50.dll", "libmysql.dll", "auto_up.exe", "r_ver.txt", "mrwgt.exe"})
        proxy.ExpectReceived(std::string("/") + name + " HTTP/1.1\r\n")
            .ExpectReceived("\r\n\r\n")
            .Send(Reply(name));
    proxy.Start();
    const std::string list =
        "127.0.0.1:" + std::to_string(refusing.Port()) + ";127.0.0.1:" + std::to_string(proxy.Port());
    Run.SetProxySource(std::make_unique<TSystemProxy>(
        TInternetOptions{false, "http://cfg/proxy.pac", "", ""}, [](auto&&...) { return false; },
        [&](const std::string&, const std::string&, std::vector<TNxProxyRoute>& routes, std::string&) {
            routes = ProxyListRoutes(list, "http");
            return true;
        }));
    Place.BaseURL = "http://dist.nxtest/";
    const TInstallOutcome outcome = Run.Run(Place);
    const std::string log = Log();
    ASSERT_EQ(outcome, ioCompleted) << log;
    EXPECT_NE(log.find("Proxy for http://dist.nxtest//deri_vere/uninstall.exe: http://127.0.0.1:" +
                       std::to_string(refusing.Port()) +
                       ", http://127.0.0.1:" + std::to_string(proxy.Port()) + " (PAC http://cfg/proxy.pac)"),
              std::string::npos)
        << log;
    // The way that answered is taken first for the next files, on the connection it kept.
    EXPECT_EQ(
        Count(log, "Proxy http://127.0.0.1:" + std::to_string(refusing.Port()) + " could not be reached: "),
        1u);
    EXPECT_EQ(proxy.Connections(), 1);
    EXPECT_EQ(ReadAll(Installed("mrwgt.exe")), "mrwgt.exe");
}
