#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>

#include "base/Format.h"
#include "base/SystemError.h"
#include "setup/Registration.h"

namespace {

// Tests in other processes use the same registry key: one at a time.
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

std::wstring QueryUninstallValueW(const wchar_t* name) {
    wchar_t buffer[512] = {};
    DWORD size = sizeof buffer - sizeof(wchar_t);
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return L"<no key>";
    LONG rc = RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? std::wstring(buffer) : L"<no value>";
}

class UninstallEntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FLock.Owned()) << "another test kept the registry for a minute";
        ASSERT_EQ(GetACP(), 949u) << "run under the Korean locale (scripts/wine.sh)";
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUninstallKey);
    }
    TSystemStateLock FLock;
};

TEST_F(UninstallEntryTest, WritesBothValuesAsAnsiStringsWithTheirNul) {
    RegisterUninstall("C:\\users\\kim\\AppData\\Local\\Brindlewick\\Marrowgate");
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

TEST_F(UninstallEntryTest, SecondRunOverwritesBothValuesAndKeepsOthers) {
    RegisterUninstall("C:\\first\\Marrowgate");
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    RegSetValueExA(key, "DisplayName", 0, REG_SZ, reinterpret_cast<const BYTE*>("old"), 4);
    RegSetValueExA(key, "Publisher", 0, REG_SZ, reinterpret_cast<const BYTE*>("Brindlewick"), 12);
    RegCloseKey(key);

    RegisterUninstall("C:\\second\\Marrowgate");
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

TEST_F(UninstallEntryTest, FolderWithABlankIsStoredQuoted) {
    RegisterUninstall("C:\\Users\\Kim Min\\AppData\\Local\\Brindlewick\\Marrowgate");
    EXPECT_EQ(QueryUninstallValueW(L"UninstallString"),
              L"\"C:\\Users\\Kim Min\\AppData\\Local\\Brindlewick\\Marrowgate/uninstall.exe\"");
}

// Points this process's HKEY_LOCAL_MACHINE at a scratch key, so that a key the installer may
// not open can be made without touching the machine's own.
class THklmSandbox {
public:
    THklmSandbox() {
        RegCreateKeyExA(HKEY_CURRENT_USER, kPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &FRoot, nullptr);
        if (FRoot) FActive = RegOverridePredefKey(HKEY_LOCAL_MACHINE, FRoot) == ERROR_SUCCESS;
    }
    ~THklmSandbox() {
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        if (FRoot) {
            RegDeleteTreeA(FRoot, nullptr);
            RegCloseKey(FRoot);
        }
        RegDeleteKeyA(HKEY_CURRENT_USER, kPath);
    }
    bool Active() const { return FActive; }

private:
    static constexpr const char* kPath = "Software\\nx-setup-tests-hklm";
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

TEST_F(UninstallEntryTest, KeyThatCannotBeCreatedRaisesTheKeyPath) {
    THklmSandbox sandbox;
    ASSERT_TRUE(sandbox.Active());
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    ASSERT_TRUE(SetKeyLocked(HKEY_LOCAL_MACHINE, kUninstallKey, true));
    std::string message = "<no error>";
    try {
        RegisterUninstall("C:\\Marrowgate");
    } catch (const ERegistrationError& e) {
        message = e.Message();
    }
    EXPECT_TRUE(SetKeyLocked(HKEY_LOCAL_MACHINE, kUninstallKey, false));
    EXPECT_EQ(message,
              "Failed to create key SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\mgatedesk");
    EXPECT_FALSE(QueryUninstallValue("DisplayName").Found);
}

TEST(UninstallCommand, QuotedOnlyWhenThePathHoldsABlank) {
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
        EXPECT_EQ(UninstallCommand(c.Dir), c.Command) << c.Dir;
}

TEST(ComErrorText, SystemMessageElseOleErrorInEightHexDigits) {
    EXPECT_EQ(ComErrorText(static_cast<long>(0x8BADF00Du)), "OLE error 8badf00d");
    EXPECT_EQ(ComErrorText(0x0000BEEF), "OLE error 0000beef");
    std::string denied = ComErrorText(E_ACCESSDENIED);
    EXPECT_FALSE(denied.empty());
    EXPECT_EQ(denied, SysErrorMessage(static_cast<uint32_t>(E_ACCESSDENIED)));
    EXPECT_EQ(denied.find("OLE error"), std::string::npos);
}

TEST(CreateDesktopShortcut, WithoutComRaisesTheComResult) {
    // A fresh thread has not joined any apartment.
    std::string message = "<no error>";
    std::thread worker([&] {
        try {
            CreateDesktopShortcut("C:\\nowhere\\Marrowgate", "mrwgt.exe");
        } catch (const EComError& e) {
            message = e.Message();
        } catch (const std::exception& e) {
            message = std::string("wrong class: ") + e.what();
        }
    });
    worker.join();
    EXPECT_EQ(message, ComErrorText(CO_E_NOTINITIALIZED));
}

} // namespace
