// End-to-end runs of the unattended installation: the shipped Setup.exe started with /SILENT or
// /VERYSILENT against the distribution server of the private network (tests/e2e/run.sh).
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "e2e/E2EMachine.h"
#include "http/NxManifest.h"
#include "setup/CommandLine.h"

using namespace e2e;

namespace {
constexpr DWORD kRunTime = 90000;
constexpr DWORD kPromptExit = 10000;

// Every top-level window of a process that was ever visible, sampled until Stop.
class TWindowWatch {
public:
    explicit TWindowWatch(DWORD processId) : FProcessId(processId), FThread([this] { Watch(); }) {}
    ~TWindowWatch() { Stop(); }
    void Stop() {
        FStop = true;
        if (FThread.joinable()) FThread.join();
    }
    std::vector<std::wstring> Seen() const {
        std::lock_guard<std::mutex> hold(FLock);
        return FSeen;
    }

private:
    static BOOL CALLBACK Visit(HWND window, LPARAM data) {
        auto* self = reinterpret_cast<TWindowWatch*>(data);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner != self->FProcessId || !IsWindowVisible(window)) return TRUE;
        wchar_t className[64] = {}, caption[128] = {};
        GetClassNameW(window, className, 64);
        GetWindowTextW(window, caption, 128);
        const std::wstring name = std::wstring(className) + L" \"" + caption + L"\"";
        std::lock_guard<std::mutex> hold(self->FLock);
        if (std::find(self->FSeen.begin(), self->FSeen.end(), name) == self->FSeen.end())
            self->FSeen.push_back(name);
        return TRUE;
    }
    void Watch() {
        while (!FStop) {
            EnumWindows(Visit, reinterpret_cast<LPARAM>(this));
            Sleep(2);
        }
    }

    DWORD FProcessId;
    mutable std::mutex FLock;
    std::vector<std::wstring> FSeen;
    std::atomic<bool> FStop{false};
    std::thread FThread;
};

std::string Joined(const std::vector<std::wstring>& names) {
    std::string all;
    for (const auto& name : names)
        all += WideToAnsi(name) + "; ";
    return all;
}

fs::path FreshLog(const char* name) {
    const fs::path log = fs::path("C:/") / name;
    std::error_code ignored;
    fs::remove(log, ignored);
    return log;
}

std::wstring LogSwitch(const fs::path& log) {
    return L"/LOG=\"" + log.wstring() + L"\"";
}

class Unattended : public testing::Test {
protected:
    void TearDown() override {
        std::error_code ignored;
        fs::remove(Installed("mrwgt.ran"), ignored);
    }
};
} // namespace

// nginx with the sample product, a fresh machine: everything installed, no window ever. Also
// run from a folder of planted libraries (NX_E2E_PLANTED), none of which may be loaded.
TEST_F(Unattended, VerySilentInstallsWithoutAnyWindow) {
    ResetMachine();
    TChildProcess setup(SetupExe(), L"/VERYSILENT");
    ASSERT_TRUE(setup.Started());
    TWindowWatch watch(setup.Id());
    EXPECT_EQ(setup.WaitForExit(kRunTime), DWORD(ecInstalled));
    watch.Stop();
    EXPECT_TRUE(watch.Seen().empty()) << Joined(watch.Seen());
    ExpectInstalledAsServed();
    // A start would be logged before Setup ended.
    const std::string log = NewestInstallLog();
    EXPECT_EQ(log.find("Started "), std::string::npos) << "/NORUN is the default";
    EXPECT_NE(log.find("/VERYSILENT"), std::string::npos);
    EXPECT_NE(log.find("the licence counts as accepted"), std::string::npos);
    EXPECT_NE(log.find("Outcome: completed"), std::string::npos) << log;
    if (!Env("NX_E2E_PLANTED").empty()) ExpectNoPlantedLibraryLoaded();
}

// A server without the product (every file 404, asked once; the wizard's case meets a server
// that is down): the run fails, and says so only in its log and its exit code.
TEST_F(Unattended, VerySilentAgainstAServerWithoutTheProductFails) {
    ResetMachine();
    const fs::path log = FreshLog("nx-e2e-verysilent-down.log");
    TChildProcess setup(SetupExe(), L"/verysilent " + LogSwitch(log));
    ASSERT_TRUE(setup.Started());
    TWindowWatch watch(setup.Id());
    EXPECT_EQ(setup.WaitForExit(kRunTime), DWORD(ecFailed));
    watch.Stop();
    EXPECT_TRUE(watch.Seen().empty()) << Joined(watch.Seen());
    EXPECT_FALSE(IsRegistered());
    EXPECT_FALSE(fs::exists(ShortcutFile()));
    EXPECT_FALSE(fs::exists(Installed("mrwgt.exe")));
    EXPECT_NE(ReadAll(log).find("Outcome: failed: " + WideToCodePage(kDownloadFailedText, CP_UTF8)),
              std::string::npos);
}

// nginx, requests held back: the installation page alone, then the program ends by itself and
// (with /RUN) starts the product.
TEST_F(Unattended, SilentShowsOnlyTheInstallationPageAndEndsByItself) {
    ResetMachine();
    TRunningSetup setup(20000, L"/SILENT /RUN");
    ASSERT_TRUE(setup.Driver) << "no Setup window";
    TWindowWatch watch(setup.Process.Id());
    std::vector<std::wstring> headers, buttons;
    int samples = 0;
    while (!setup.Process.WaitForExit(0)) {
        if (IsWindowVisible(setup->Window())) {
            ++samples;
            const bool bar = setup->IsShown(TCtl::ProgressBar1);
            const std::wstring header = setup->Text(TCtl::Label1);
            // The completion page covers the bar for the moment the product takes to start.
            EXPECT_TRUE(bar || header == L"설치완료" || header.empty()) << "sample " << samples;
            if (!header.empty() && std::find(headers.begin(), headers.end(), header) == headers.end())
                headers.push_back(header);
            // A text read while the window goes away comes back empty.
            for (const std::wstring& button : setup->ShownButtons())
                if (!button.empty() && std::find(buttons.begin(), buttons.end(), button) == buttons.end())
                    buttons.push_back(button);
        }
        Sleep(10);
    }
    watch.Stop();
    EXPECT_EQ(setup.Process.WaitForExit(0), DWORD(ecInstalled));
    EXPECT_GT(samples, 0) << "the installation page was never seen";
    // "설치완료" may show for a moment before the window closes itself.
    for (const std::wstring& header : headers)
        EXPECT_TRUE(header == L"설치중" || header == L"설치완료") << WideToAnsi(header);
    for (const std::wstring& button : buttons)
        EXPECT_TRUE(button == L"취소" || button == L"완료") << WideToAnsi(button);
    EXPECT_EQ(watch.Seen(), std::vector<std::wstring>{std::wstring(kSetupMainClassName) + L" \"Setup\""});
    ExpectInstalledAsServed();
    ExpectStartedInTheInstallFolder(5000);
}

// Our server trickling every body: a second copy is turned away, then the user closes the window.
TEST_F(Unattended, SilentClosedDuringATrickledDownloadIsCancelled) {
    ResetMachine();
    const fs::path log = FreshLog("nx-e2e-silent-cancel.log");
    TRunningSetup setup(20000, L"/SILENT " + LogSwitch(log));
    ASSERT_TRUE(setup.Driver) << "no Setup window";
    bool downloading = false;
    for (int i = 0; i < 400 && !downloading; ++i) {
        downloading = setup->ProgressPosition() > 0;
        if (!downloading) Sleep(25);
    }
    ASSERT_TRUE(downloading) << "the first download never showed progress";

    // A second copy, unattended or the wizard, leaves the machine to the first.
    const fs::path secondLog = FreshLog("nx-e2e-second.log");
    TChildProcess quiet(SetupExe(), L"/VERYSILENT " + LogSwitch(secondLog));
    EXPECT_EQ(quiet.WaitForExit(kPromptExit), DWORD(ecAlreadyRunning));
    EXPECT_NE(ReadAll(secondLog).find("Another copy of Setup is running"), std::string::npos);
    TChildProcess wizard(SetupExe(), L"");
    EXPECT_EQ(wizard.WaitForExit(kPromptExit), DWORD(ecAlreadyRunning));
    EXPECT_FALSE(FindMessageBox(wizard.Id()).Window) << "the first copy's window is brought forward instead";

    setup->RequestClose();
    EXPECT_EQ(setup.Process.WaitForExit(kPromptExit), DWORD(ecCancelled));
    EXPECT_FALSE(FindMessageBox(setup.Process.Id()).Window);
    EXPECT_FALSE(IsRegistered());
    EXPECT_FALSE(fs::exists(ShortcutFile()));
    EXPECT_FALSE(fs::exists(Installed("mrwgt.exe")));
    EXPECT_NE(ReadAll(log).find("Outcome: cancelled"), std::string::npos) << ReadAll(log);
}

// The keyed installer (NX_E2E_SETUP) against the sample product signed with its key: every file
// checked against the manifest and installed, the manifest kept for the next run's serial.
// NX_E2E_EXPECT: a line the log must hold as well (a mismatch that the second attempt mended).
TEST_F(Unattended, KeyedInstallsOnlyWhatTheManifestVouchesFor) {
    ResetMachine();
    TChildProcess setup(SetupExe(), L"/VERYSILENT");
    ASSERT_TRUE(setup.Started());
    EXPECT_EQ(setup.WaitForExit(kRunTime), DWORD(ecInstalled));
    ExpectInstalledAsServed();
    EXPECT_TRUE(ReadAll(Installed(NxManifestFileName)) == ReadAll(ServedFile(NxManifestFileName)));
    const std::string log = NewestInstallLog();
    EXPECT_NE(log.find("Manifest: serial "), std::string::npos) << log;
    for (const char* name :
         {"uninstall.exe", "libmySQL50.dll", "libmysql.dll", "auto_up.exe", "r_ver.txt", "mrwgt.exe"})
        EXPECT_NE(log.find(std::string("Verified ") + name + ": "), std::string::npos) << name;
    EXPECT_NE(log.find(Env("NX_E2E_EXPECT")), std::string::npos) << log;
}

// The keyed installer against a product it must refuse; NX_E2E_REFUSAL is the log's line that
// says why, NX_E2E_PRISTINE the sample product as signed, NX_E2E_KEEP set when the machine
// holds an earlier installation. The run fails, starts nothing (even with /RUN) and leaves no
// byte in the install folder that the vendor did not sign.
TEST_F(Unattended, KeyedRefusesWhatTheManifestDoesNotVouchFor) {
    const bool earlier = !Env("NX_E2E_KEEP").empty();
    if (!earlier) ResetMachine();
    const fs::path log = FreshLog("nx-e2e-refused.log");
    TChildProcess setup(SetupExe(), L"/VERYSILENT /RUN " + LogSwitch(log));
    ASSERT_TRUE(setup.Started());
    EXPECT_EQ(setup.WaitForExit(kRunTime), DWORD(ecFailed));
    const std::string text = ReadAll(log);
    EXPECT_NE(text.find(Env("NX_E2E_REFUSAL")), std::string::npos) << text;
    EXPECT_NE(text.find("Outcome: failed: "), std::string::npos) << text;
    EXPECT_EQ(IsRegistered(), earlier);
    EXPECT_EQ(fs::exists(ShortcutFile()), earlier);
    const std::string pristine = Env("NX_E2E_PRISTINE");
    std::error_code none;
    for (const auto& entry : fs::directory_iterator(InstallDir(), none)) {
        const std::string name = entry.path().filename().string();
        const fs::path signedCopy = fs::path(WindowsPath(pristine + "/" + name));
        if (name == "r_ver.txt")
            EXPECT_EQ(ReadAll(entry.path()), VersionFileText(ReadAll(signedCopy)));
        else if (name == NxManifestFileName || name == "mrwgt.ran")
            EXPECT_TRUE(earlier) << name;
        else
            EXPECT_TRUE(fs::exists(signedCopy) && ReadAll(entry.path()) == ReadAll(signedCopy))
                << name << " is not the vendor's";
    }
    // A start would be logged before Setup ended.
    EXPECT_EQ(text.find("Started "), std::string::npos) << "the product was started";
}

// Behind a proxy (tests/e2e/run.sh, kind proxy: the distribution host reachable only through
// squid): the Internet Options of NX_E2E_PROXY in the registry, /VERYSILENT with
// NX_E2E_SETUP_ARGS. NX_E2E_EXIT is the exit code, NX_E2E_EXPECT a line of the log, NX_E2E_LOG
// squid's access log; the proxy's password (NX_E2E_PROXY_PASSWORD) never reaches the log.
TEST_F(Unattended, BehindTheProxyOfTheInternetOptions) {
    ResetMachine();
    const TInternetOptionsInRegistry options(Env("NX_E2E_PROXY"));
    const fs::path log = FreshLog("nx-e2e-proxy.log");
    TChildProcess setup(SetupExe(),
                        L"/VERYSILENT " + LogSwitch(log) + L" " + AnsiToWide(Env("NX_E2E_SETUP_ARGS")));
    ASSERT_TRUE(setup.Started());
    const DWORD expected = static_cast<DWORD>(std::stoi(Env("NX_E2E_EXIT")));
    EXPECT_EQ(setup.WaitForExit(kRunTime), expected);
    const std::string text = ReadAll(log);
    EXPECT_NE(text.find(Env("NX_E2E_EXPECT")), std::string::npos) << text;
    EXPECT_EQ(text.find(Env("NX_E2E_PROXY_PASSWORD")), std::string::npos) << "the password reached the log";
    const std::string proxied = ReadAll(fs::path(WindowsPath(Env("NX_E2E_LOG"))));
    if (expected == ecInstalled) {
        ExpectInstalledAsServed();
        for (const char* name : kProductFiles)
            EXPECT_NE(proxied.find(std::string("GET http://dist.brindlewick.co.kr//deri_vere/") + name + " "),
                      std::string::npos)
                << name << " did not come through the proxy: " << proxied;
    } else {
        EXPECT_NE(text.find("answered 407 Proxy Authentication Required"), std::string::npos) << text;
        EXPECT_FALSE(IsRegistered());
        EXPECT_FALSE(fs::exists(Installed("mrwgt.exe")));
    }
}

// Links that run.sh made where the installation writes (NX_E2E_VICTIM: where they lead, a
// folder or a file). A linked folder ends the run (NX_E2E_REFUSED) with nothing written there;
// a linked file name is replaced by the product's file and what it led to stays as it was.
TEST_F(Unattended, LinksCannotTurnTheWritesElsewhere) {
    const fs::path victim(WindowsPath(Env("NX_E2E_VICTIM")));
    const bool folder = fs::is_directory(victim);
    const std::string before = folder ? std::string() : ReadAll(victim);
    const bool refused = !Env("NX_E2E_REFUSED").empty();
    const fs::path log = FreshLog("nx-e2e-linked.log");
    TChildProcess setup(SetupExe(), L"/VERYSILENT " + LogSwitch(log));
    ASSERT_TRUE(setup.Started());
    EXPECT_EQ(setup.WaitForExit(kRunTime), DWORD(refused ? ecFailed : ecInstalled));
    const std::string text = ReadAll(log);
    if (refused) {
        EXPECT_NE(text.find("Refused: Folder "), std::string::npos) << text;
        EXPECT_NE(text.find("Outcome: failed: " + WideToCodePage(kRedirectedText, CP_UTF8)),
                  std::string::npos);
    } else {
        // As ExpectInstalledAsServed, but for the links to part files, which stay as made.
        for (const char* name : kProductFiles)
            EXPECT_TRUE(ReadAll(Installed(name)) == ReadAll(ServedFile(name))) << name;
        EXPECT_TRUE(IsRegistered());
        EXPECT_TRUE(fs::exists(ShortcutFile()));
    }
    if (folder)
        EXPECT_TRUE(fs::is_empty(victim)) << "something was written through the link";
    else
        EXPECT_EQ(ReadAll(victim), before) << "the file behind the link was written";
}

// No server needed: a switch the program does not know.
TEST_F(Unattended, ABadCommandLineExitsWithThree) {
    const fs::path log = FreshLog("nx-e2e-bogus.log");
    {
        TChildProcess quiet(SetupExe(), L"/VERYSILENT /BOGUS " + LogSwitch(log));
        ASSERT_TRUE(quiet.Started());
        TWindowWatch watch(quiet.Id());
        EXPECT_EQ(quiet.WaitForExit(kPromptExit), DWORD(ecBadCommandLine));
        watch.Stop();
        EXPECT_TRUE(watch.Seen().empty()) << Joined(watch.Seen());
        const std::string text = ReadAll(log);
        EXPECT_NE(text.find(WideToCodePage(L"알 수 없는 옵션입니다: /BOGUS", CP_UTF8)), std::string::npos)
            << text;
        EXPECT_NE(text.find("/VERYSILENT"), std::string::npos) << "the usage is in the log";
    }
    // Without /VERYSILENT the usage box says it.
    TChildProcess shown(SetupExe(), L"/BOGUS");
    TBox box;
    for (int i = 0; i < 200 && !box.Window; ++i) {
        box = FindMessageBox(shown.Id());
        if (!box.Window) Sleep(50);
    }
    ASSERT_TRUE(box.Window) << "no usage box";
    EXPECT_EQ(box.Text.rfind(L"알 수 없는 옵션입니다: /BOGUS", 0), 0u) << WideToAnsi(box.Text);
    EXPECT_NE(box.Text.find(L"/VERYSILENT"), std::wstring::npos);
    DismissBox(box);
    EXPECT_EQ(shown.WaitForExit(kPromptExit), DWORD(ecBadCommandLine));
}
