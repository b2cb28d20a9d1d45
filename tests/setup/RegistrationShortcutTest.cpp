#include <gtest/gtest.h>

#include <windows.h>

#include <objidl.h>
#include <shlobj.h>

#include <string>

#include "setup/Registration.h"

namespace {

// Tests in other processes use the same desktop and registry values: one at a time.
class TSystemStateLock {
public:
    TSystemStateLock() : FMutex(CreateMutexW(nullptr, FALSE, L"nx-setup-tests-system-state")) {
        DWORD rc = FMutex ? WaitForSingleObject(FMutex, 60000) : WAIT_FAILED;
        FOwned = rc == WAIT_OBJECT_0 || rc == WAIT_ABANDONED;
    }
    ~TSystemStateLock() {
        if (FOwned) ReleaseMutex(FMutex);
        if (FMutex) CloseHandle(FMutex);
    }
    bool Owned() const { return FOwned; }

private:
    HANDLE FMutex;
    bool FOwned = false;
};

std::wstring Wide(const std::string& ansi) {
    wchar_t buffer[1024] = {};
    int n = MultiByteToWideChar(CP_ACP, 0, ansi.c_str(), -1, buffer, 1023);
    return n > 0 ? std::wstring(buffer) : std::wstring();
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ShellDesktop() {
    char path[MAX_PATH + 1] = {};
    SHGetFolderPathA(nullptr, CSIDL_DESKTOPDIRECTORY, nullptr, SHGFP_TYPE_CURRENT, path);
    return path;
}

struct TLinkContents {
    bool Loaded = false;
    std::string Path, WorkingDir;
};

// Reads a saved shortcut back through the shell link object.
TLinkContents LoadLink(const std::wstring& file) {
    TLinkContents out;
    IShellLinkA* link = nullptr;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                reinterpret_cast<void**>(&link))))
        return out;
    IPersistFile* persist = nullptr;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&persist)))) {
        if (SUCCEEDED(persist->Load(file.c_str(), STGM_READ))) {
            char buffer[MAX_PATH + 1] = {};
            out.Loaded = true;
            if (link->GetPath(buffer, MAX_PATH, nullptr, SLGP_RAWPATH) == S_OK) out.Path = buffer;
            buffer[0] = '\0';
            if (SUCCEEDED(link->GetWorkingDirectory(buffer, MAX_PATH))) out.WorkingDir = buffer;
        }
        persist->Release();
    }
    link->Release();
    return out;
}

std::string Backslashed(std::string path) {
    for (char& c : path)
        if (c == '/') c = '\\';
    return path;
}

// Puts one registry value back as it was.
class TRegValueGuard {
public:
    TRegValueGuard(const char* key, const char* name) : FName(name) {
        if (RegOpenKeyExA(HKEY_CURRENT_USER, key, 0, KEY_ALL_ACCESS, &FKey) != ERROR_SUCCESS) FKey = nullptr;
        char buffer[1024] = {};
        DWORD size = sizeof buffer;
        FFound = FKey && RegQueryValueExA(FKey, name, nullptr, &FType, reinterpret_cast<BYTE*>(buffer),
                                          &size) == ERROR_SUCCESS;
        if (FFound) FData.assign(buffer, size);
    }
    ~TRegValueGuard() {
        if (!FKey) return;
        if (FFound)
            RegSetValueExA(FKey, FName, 0, FType, reinterpret_cast<const BYTE*>(FData.data()),
                           static_cast<DWORD>(FData.size()));
        else
            RegDeleteValueA(FKey, FName);
        RegCloseKey(FKey);
    }
    HKEY Key() const { return FKey; }
    bool Found() const { return FFound; }
    void Set(DWORD type, const std::string& text) {
        ASSERT_EQ(RegSetValueExA(FKey, FName, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                                 static_cast<DWORD>(text.size() + 1)),
                  ERROR_SUCCESS);
    }
    void Remove() { RegDeleteValueA(FKey, FName); }

private:
    const char* FName;
    HKEY FKey = nullptr;
    bool FFound = false;
    DWORD FType = 0;
    std::string FData;
};

const char* const kShellFolders = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";
const char* const kUserShellFolders =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

// True when the file starts like a shell link (header size 0x4C).
bool LooksLikeLink(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    char head[4] = {};
    DWORD n = 0;
    ReadFile(h, head, 4, &n, nullptr);
    CloseHandle(h);
    return n == 4 && std::string(head, 4) == std::string("L\0\0\0", 4);
}

// Keeps COM, the "Desktop" value and the test folders as they were before each test.
class DesktopShortcutTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FLock.Owned()) << "another test kept the desktop for a minute";
        ASSERT_EQ(GetACP(), 949u) << "run under the Korean locale (scripts/wine.sh)";
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
        FComReady = true;
        ASSERT_TRUE(FShellDesktop.Key() && FUserDesktop.Key());
        char temp[MAX_PATH + 1] = {};
        GetTempPathA(sizeof temp, temp);
        const std::string tag = std::to_string(GetCurrentProcessId());
        FDesk = std::string(temp) + "nx-desk-" + tag;
        FRoot = std::string(temp) + "nx link " + tag; // a blank, as in "C:\Users\Kim Min"
        FInstall = FRoot + "\\Brindlewick\\Marrowgate";
        CreateDirectoryA(FDesk.c_str(), nullptr);
        CreateDirectoryA(FRoot.c_str(), nullptr);
        CreateDirectoryA((FRoot + "\\Brindlewick").c_str(), nullptr);
        CreateDirectoryA(FInstall.c_str(), nullptr);
        HANDLE exe = CreateFileA((FInstall + "/mrwgt.exe").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 0, nullptr);
        ASSERT_NE(exe, INVALID_HANDLE_VALUE);
        CloseHandle(exe);
    }
    void TearDown() override {
        DeleteFileW(DeskLink().c_str());
        RemoveDirectoryA(FDesk.c_str());
        DeleteFileA((FInstall + "/mrwgt.exe").c_str());
        RemoveDirectoryA(FInstall.c_str());
        RemoveDirectoryA((FRoot + "\\Brindlewick").c_str());
        RemoveDirectoryA(FRoot.c_str());
        if (FComReady) CoUninitialize();
    }

    // The shell rewrites "Shell Folders" from "User Shell Folders" whenever it resolves a
    // folder (setting a link's path does), so a desktop that has to survive that goes into both.
    void MoveDesktop(const std::string& folder) {
        FUserDesktop.Set(REG_SZ, folder);
        FShellDesktop.Set(REG_SZ, folder);
    }
    std::wstring DeskLink() const { return Wide(FDesk) + L"\\루멘타.lnk"; }

    TSystemStateLock FLock;
    TRegValueGuard FShellDesktop{kShellFolders, "Desktop"};
    TRegValueGuard FUserDesktop{kUserShellFolders, "Desktop"};
    bool FComReady = false;
    std::string FDesk, FRoot, FInstall;
};

TEST_F(DesktopShortcutTest, SavedOnTheRegisteredDesktopWithTargetAndWorkingDirectory) {
    MoveDesktop(FDesk);
    CreateDesktopShortcut(FInstall, "mrwgt.exe");
    ASSERT_TRUE(LooksLikeLink(DeskLink())) << "the Korean file name reached the file system intact";
    TLinkContents link = LoadLink(DeskLink());
    ASSERT_TRUE(link.Loaded);
    // The shell link keeps its path in its own form; the separators are checked on the file.
    EXPECT_STRCASEEQ(Backslashed(link.Path).c_str(), (FInstall + "\\mrwgt.exe").c_str());
    EXPECT_EQ(link.WorkingDir, FInstall + "/");
}

TEST_F(DesktopShortcutTest, AnExistingShortcutIsReplaced) {
    MoveDesktop(FDesk);
    HANDLE junk = CreateFileW(DeskLink().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(junk, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(junk, "not a link", 10, &written, nullptr);
    CloseHandle(junk);
    CreateDesktopShortcut(FInstall, "mrwgt.exe");
    EXPECT_TRUE(LooksLikeLink(DeskLink()));
    TLinkContents link = LoadLink(DeskLink());
    ASSERT_TRUE(link.Loaded);
    EXPECT_EQ(link.WorkingDir, FInstall + "/");
}

TEST_F(DesktopShortcutTest, DesktopFolderTakesTheStoredStringElseTheShellsDesktop) {
    const std::string shell = ShellDesktop();
    ASSERT_FALSE(shell.empty());
    struct {
        const char* Name;
        DWORD Type; // 0: value removed
        std::string Stored, Expected;
    } cases[] = {
        {"string", REG_SZ, "D:\\Desk Top", "D:\\Desk Top"},
        {"expandable, not expanded", REG_EXPAND_SZ, "%SystemDrive%\\Desk", "%SystemDrive%\\Desk"},
        {"missing", 0, "", shell},
        {"empty", REG_SZ, "", shell},
        {"not a string", REG_BINARY, "C:\\bin", shell},
    };
    for (const auto& c : cases) {
        if (c.Type)
            FShellDesktop.Set(c.Type, c.Stored);
        else
            FShellDesktop.Remove();
        EXPECT_EQ(DesktopFolder(), c.Expected) << c.Name;
    }
}

TEST_F(DesktopShortcutTest, WithoutADesktopValueTheShortcutGoesToTheShellsDesktop) {
    const std::wstring rootLink = L"\\루멘타.lnk";
    DeleteFileW(rootLink.c_str());
    const std::wstring shellLink = Wide(ShellDesktop()) + L"\\루멘타.lnk";
    DeleteFileW(shellLink.c_str());
    FShellDesktop.Remove();
    CreateDesktopShortcut(FInstall, "mrwgt.exe");
    EXPECT_FALSE(Exists(rootLink)) << "nothing lands in the root of the current drive";
    EXPECT_TRUE(LoadLink(shellLink).Loaded);
    DeleteFileW(shellLink.c_str());
}

TEST_F(DesktopShortcutTest, AnObjectWithoutTheLinkInterfacesIsRefused) {
    MoveDesktop(FDesk);
    IStream* stream = nullptr;
    ASSERT_TRUE(SUCCEEDED(CreateStreamOnHGlobal(nullptr, TRUE, &stream)));
    std::string message;
    try {
        SaveDesktopShortcut(stream, FInstall + "/mrwgt.exe", FInstall + "/");
    } catch (const EInterfaceNotSupported& e) {
        message = e.Message();
    }
    stream->Release();
    EXPECT_EQ(message, "Interface not supported");
    EXPECT_FALSE(Exists(DeskLink()));
}

// Leaves the uninstall entry and the shortcut of an installation in the default folders, for
// tests/setup/check-registration.sh to inspect with tools of its own.
TEST_F(DesktopShortcutTest, InstallerRunLeavesEntryAndShortcutInPlace) {
    char local[MAX_PATH + 1] = {};
    SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, local);
    const std::string install = std::string(local) + "\\Brindlewick\\Marrowgate";
    RegisterUninstall(install);
    CreateDesktopShortcut(install, "mrwgt.exe");
    TLinkContents link = LoadLink(Wide(DesktopFolder()) + L"\\루멘타.lnk");
    ASSERT_TRUE(link.Loaded);
    EXPECT_EQ(link.WorkingDir, install + "/");
}

} // namespace
