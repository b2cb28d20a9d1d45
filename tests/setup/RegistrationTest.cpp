#include <gtest/gtest.h>

#include <windows.h>

#include <objidl.h>
#include <shlobj.h>

#include <string>
#include <thread>

#include "base/Format.h"
#include "base/SystemError.h"
#include "setup/Application.h"
#include "setup/Registration.h"
#include "setup/SystemStateLock.h"
#include "setup/UninstallEntry.h"

namespace {

struct TStoredValue {
    bool Found = false;
    DWORD Type = 0;
    std::string Data; // as stored, NUL included when counted
};

TStoredValue QueryUninstallValue(const char* name) {
    TStoredValue out;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return out;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &out.Type, nullptr, &size) == ERROR_SUCCESS) {
        out.Data.resize(size);
        out.Found = RegQueryValueExA(key, name, nullptr, &out.Type, reinterpret_cast<BYTE*>(out.Data.data()),
                                     &size) == ERROR_SUCCESS;
        out.Data.resize(size);
    }
    RegCloseKey(key);
    return out;
}

class RegistrationUninstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FLock.Owned()) << "another test kept the registry for a minute";
        ASSERT_EQ(GetACP(), 949u) << "run under the Korean locale (scripts/wine.sh)";
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUninstallKey);
    }
    TSystemStateLock FLock;
};

TEST_F(RegistrationUninstallTest, WritesBothValuesAsAnsiStringsWithTheirNul) {
    RegisterUninstall(L"C:\\users\\kim\\AppData\\Local\\Brindlewick\\Marrowgate");
    TStoredValue name = QueryUninstallValue("DisplayName");
    ASSERT_TRUE(name.Found);
    EXPECT_EQ(name.Type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(name.Data, std::string("\xB7\xE7\xB8\xE0\xC5\xB8\0", 7)) << "CP949 bytes and the NUL";
    EXPECT_EQ(QueryUninstallValueW(L"DisplayName"), L"루멘타");
    TStoredValue command = QueryUninstallValue("UninstallString");
    ASSERT_TRUE(command.Found);
    EXPECT_EQ(command.Type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(command.Data,
              std::string("C:\\users\\kim\\AppData\\Local\\Brindlewick\\Marrowgate/uninstall.exe") +
                  std::string(1, '\0'));
}

TEST_F(RegistrationUninstallTest, SecondRunOverwritesBothValuesAndKeepsOthers) {
    RegisterUninstall(L"C:\\first\\Marrowgate");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    RegSetValueExA(key, "DisplayName", 0, REG_SZ, reinterpret_cast<const BYTE*>("old"), 4);
    RegSetValueExA(key, "Publisher", 0, REG_SZ, reinterpret_cast<const BYTE*>("Brindlewick"), 12);
    RegCloseKey(key);

    RegisterUninstall(L"C:\\second\\Marrowgate");
    EXPECT_EQ(QueryUninstallValueW(L"DisplayName"), L"루멘타");
    EXPECT_EQ(QueryUninstallValueW(L"UninstallString"), L"C:\\second\\Marrowgate/uninstall.exe");
    EXPECT_EQ(QueryUninstallValueW(L"Publisher"), L"Brindlewick");
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD subkeys = 99, values = 99;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                     nullptr, nullptr);
    RegCloseKey(key);
    EXPECT_EQ(subkeys, 0u);
    EXPECT_EQ(values, 3u);
}

TEST_F(RegistrationUninstallTest, FolderWithABlankIsStoredQuoted) {
    RegisterUninstall(L"C:\\Users\\Kim Min\\AppData\\Local\\Brindlewick\\Marrowgate");
    EXPECT_EQ(QueryUninstallValueW(L"UninstallString"),
              L"\"C:\\Users\\Kim Min\\AppData\\Local\\Brindlewick\\Marrowgate/uninstall.exe\"");
}

// Points one of this process's root keys at an empty scratch key, so that missing or locked
// keys can be made without touching the real ones.
class TRegistrySandbox {
public:
    explicit TRegistrySandbox(HKEY root) : FPredefined(root) {
        RegCreateKeyExA(HKEY_CURRENT_USER, kPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &FRoot, nullptr);
        if (FRoot) FActive = RegOverridePredefKey(root, FRoot) == ERROR_SUCCESS;
    }
    ~TRegistrySandbox() {
        RegOverridePredefKey(FPredefined, nullptr);
        if (FRoot) {
            RegDeleteTreeA(FRoot, nullptr);
            RegCloseKey(FRoot);
        }
        RegDeleteKeyA(HKEY_CURRENT_USER, kPath);
    }
    bool Active() const { return FActive; }

private:
    static constexpr const char* kPath = "Software\\nx-setup-tests-sandbox";
    HKEY FPredefined;
    HKEY FRoot = nullptr;
    bool FActive = false;
};

// Gives a key an empty access list (nobody may open it) or takes the list away again.
bool SetKeyLocked(HKEY root, const char* path, bool locked) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, WRITE_DAC, &key) != ERROR_SUCCESS) return false;
    ACL empty;
    InitializeAcl(&empty, sizeof empty, ACL_REVISION);
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&sd, TRUE, locked ? &empty : nullptr, FALSE);
    LONG rc = RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &sd);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

TEST_F(RegistrationUninstallTest, KeyThatCannotBeCreatedRaisesTheKeyPath) {
    TRegistrySandbox sandbox(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(sandbox.Active());
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_TRUE(SetKeyLocked(HKEY_LOCAL_MACHINE, kUninstallKey, true));
    std::string message = "<no error>";
    try {
        RegisterUninstall(L"C:\\Marrowgate");
    } catch (const ERegistrationError& e) {
        message = e.Message();
    }
    EXPECT_TRUE(SetKeyLocked(HKEY_LOCAL_MACHINE, kUninstallKey, false));
    EXPECT_EQ(message,
              "Failed to create key SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\mgatedesk");
    EXPECT_FALSE(QueryUninstallValue("DisplayName").Found);
}

TEST(RegistrationUninstallCommand, QuotedOnlyWhenThePathHoldsABlank) {
    struct {
        std::string Dir, Command;
    } cases[] = {
        {"C:\\users\\kim\\AppData\\Local\\Brindlewick\\Marrowgate",
         "C:\\users\\kim\\AppData\\Local\\Brindlewick\\Marrowgate/uninstall.exe"},
        {"C:\\Users\\Kim Min\\AppData\\Local\\Brindlewick\\Marrowgate",
         "\"C:\\Users\\Kim Min\\AppData\\Local\\Brindlewick\\Marrowgate/uninstall.exe\""},
        {"D:\\Program Files (x86)\\Marrowgate", "\"D:\\Program Files (x86)\\Marrowgate/uninstall.exe\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(UninstallCommand(AnsiToWide(c.Dir)), c.Command) << c.Dir;
}

TEST(RegistrationComErrorText, SystemMessageElseOleErrorInEightHexDigits) {
    EXPECT_EQ(ComErrorText(static_cast<long>(0x8BADF00Du)), "OLE error 8badf00d");
    EXPECT_EQ(ComErrorText(0x0000BEEF), "OLE error 0000beef");
    std::string denied = ComErrorText(E_ACCESSDENIED);
    EXPECT_FALSE(denied.empty());
    EXPECT_EQ(denied, SysErrorMessage(static_cast<uint32_t>(E_ACCESSDENIED)));
    EXPECT_EQ(denied.find("OLE error"), std::string::npos);
}

TEST(RegistrationShortcutWithoutCom, RaisesTheComResult) {
    // A fresh thread has not joined any apartment.
    std::string message = "<no error>";
    std::thread worker([&] {
        try {
            CreateDesktopShortcut(L"C:\\nowhere\\Marrowgate", L"mrwgt.exe");
        } catch (const EComError& e) {
            message = e.Message();
        } catch (const std::exception& e) {
            message = std::string("wrong class: ") + e.what();
        }
    });
    worker.join();
    EXPECT_EQ(message, ComErrorText(CO_E_NOTINITIALIZED));
}

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
class RegistrationShortcutTest : public ::testing::Test {
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

TEST_F(RegistrationShortcutTest, SavedOnTheRegisteredDesktopWithTargetAndWorkingDirectory) {
    MoveDesktop(FDesk);
    CreateDesktopShortcut(AnsiToWide(FInstall), L"mrwgt.exe");
    ASSERT_TRUE(LooksLikeLink(DeskLink())) << "the Korean file name reached the file system intact";
    TLinkContents link = LoadLink(DeskLink());
    ASSERT_TRUE(link.Loaded);
    // The shell link keeps its path in its own form; the separators are checked on the file.
    EXPECT_STRCASEEQ(Backslashed(link.Path).c_str(), (FInstall + "\\mrwgt.exe").c_str());
    EXPECT_EQ(link.WorkingDir, FInstall + "/");
}

TEST_F(RegistrationShortcutTest, AnExistingShortcutIsReplaced) {
    MoveDesktop(FDesk);
    HANDLE junk = CreateFileW(DeskLink().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(junk, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(junk, "not a link", 10, &written, nullptr);
    CloseHandle(junk);
    CreateDesktopShortcut(AnsiToWide(FInstall), L"mrwgt.exe");
    EXPECT_TRUE(LooksLikeLink(DeskLink()));
    TLinkContents link = LoadLink(DeskLink());
    ASSERT_TRUE(link.Loaded);
    EXPECT_EQ(link.WorkingDir, FInstall + "/");
}

TEST_F(RegistrationShortcutTest, DesktopFolderTakesTheStoredStringElseTheShellsDesktop) {
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
        EXPECT_EQ(WideToAnsi(DesktopFolder()), c.Expected) << c.Name;
    }
}

TEST_F(RegistrationShortcutTest, WithoutADesktopValueTheShortcutGoesToTheShellsDesktop) {
    const std::wstring rootLink = L"\\루멘타.lnk";
    DeleteFileW(rootLink.c_str());
    const std::wstring shellLink = Wide(ShellDesktop()) + L"\\루멘타.lnk";
    DeleteFileW(shellLink.c_str());
    FShellDesktop.Remove();
    CreateDesktopShortcut(AnsiToWide(FInstall), L"mrwgt.exe");
    EXPECT_FALSE(Exists(rootLink)) << "nothing lands in the root of the current drive";
    EXPECT_TRUE(LoadLink(shellLink).Loaded);
    DeleteFileW(shellLink.c_str());
}

TEST_F(RegistrationShortcutTest, WithoutAnyExplorerKeyTheShellsDesktopIsUsed) {
    const std::string shell = ShellDesktop();
    TRegistrySandbox sandbox(HKEY_CURRENT_USER);
    ASSERT_TRUE(sandbox.Active());
    EXPECT_EQ(WideToAnsi(DesktopFolder()), shell);
}

TEST_F(RegistrationShortcutTest, AnObjectWithoutTheLinkInterfacesIsRefused) {
    MoveDesktop(FDesk);
    IStream* stream = nullptr;
    ASSERT_TRUE(SUCCEEDED(CreateStreamOnHGlobal(nullptr, TRUE, &stream)));
    std::string message;
    try {
        SaveDesktopShortcut(stream, AnsiToWide(FInstall + "/mrwgt.exe"), AnsiToWide(FInstall + "/"));
    } catch (const EInterfaceNotSupported& e) {
        message = e.Message();
    }
    stream->Release();
    EXPECT_EQ(message, "Interface not supported");
    EXPECT_FALSE(Exists(DeskLink()));
}

// Leaves the uninstall entry and the shortcut of an installation in the default folders, for
// tests/setup/check-registration.sh to inspect with tools of its own.
TEST_F(RegistrationShortcutTest, InstallerRunLeavesEntryAndShortcutInPlace) {
    char local[MAX_PATH + 1] = {};
    SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, local);
    const std::string install = std::string(local) + "\\Brindlewick\\Marrowgate";
    RegisterUninstall(AnsiToWide(install));
    CreateDesktopShortcut(AnsiToWide(install), L"mrwgt.exe");
    TLinkContents link = LoadLink(DesktopFolder() + L"\\루멘타.lnk");
    ASSERT_TRUE(link.Loaded);
    EXPECT_EQ(link.WorkingDir, install + "/");
}

} // namespace
