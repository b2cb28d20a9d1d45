#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "setup/Application.h"
#include "setup/InstallFiles.h"
#include "setup/Migration.h"
#include "setup/SystemStateLock.h"

namespace {

void WriteAll(const std::string& path, const std::string& data) {
    HANDLE h =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &written, nullptr);
    CloseHandle(h);
    ASSERT_EQ(written, data.size()) << path;
}

// The file's bytes, or "<absent>" when it cannot be opened (also a folder).
std::string ReadAll(const std::string& path) {
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return "<absent>";
    std::string out;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0)
        out.append(buffer, n);
    CloseHandle(h);
    return out;
}

bool IsFolder(const std::string& path) {
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

// Empties a folder of files and empty subfolders (left by any earlier run), then removes it.
void ClearFolder(const std::string& dir) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir + "*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::string path = dir + found.cFileName;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryA(path.c_str());
            else
                DeleteFileA(path.c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(dir.c_str());
}

const std::wstring kPump = L"<messages>";

// The status line's history for a run that copied exactly the files of `copied`.
std::vector<std::wstring> Passes(const std::set<int>& copied) {
    std::vector<std::wstring> out;
    for (int i = 0; i < 6; ++i) {
        out.push_back(kPump);
        out.push_back(L"시스템 설정 체크중..");
        if (copied.count(i)) out.push_back(L"설정 안정화.." + std::to_wstring(i));
    }
    return out;
}

class MigrationTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(FLock.Owned()) << "another test kept the legacy folder for a minute";
        char temp[MAX_PATH + 1] = {};
        GetTempPathA(sizeof temp, temp);
        FInstallDir = std::string(temp) + "nx-migration-" + std::to_string(GetCurrentProcessId());
        ClearAll();
        ASSERT_TRUE(CreateDirectoryA(FInstallDir.c_str(), nullptr)) << FInstallDir;
        FInstall = std::make_unique<TInstallFolder>(AnsiToWide(FInstallDir));
    }
    void TearDown() override {
        FInstall.reset();
        ClearAll();
    }

    void ClearAll() {
        ClearFolder(kLegacySettingsDir);
        RemoveDirectoryA("C:/Program Files/Brindlewick/");
        ClearFolder(FInstallDir + "\\");
    }
    static void MakeLegacyFolder() {
        CreateDirectoryA("C:/Program Files/Brindlewick/", nullptr);
        ASSERT_TRUE(CreateDirectoryA(kLegacySettingsDir, nullptr));
    }
    static std::string Legacy(const char* name) { return std::string(kLegacySettingsDir) + name; }
    std::string Installed(const char* name) const { return FInstallDir + "\\" + name; }

    std::vector<std::wstring> Run() {
        std::vector<std::wstring> history;
        MigrateLegacySettings(
            *FInstall, [&](const std::wstring& text) { history.push_back(text); },
            [&] { history.push_back(kPump); });
        return history;
    }

    TSystemStateLock FLock;
    std::string FInstallDir;
    std::unique_ptr<TInstallFolder> FInstall;
};

TEST_F(MigrationTest, WithoutLegacyFolderSixQuietPasses) {
    ASSERT_EQ(GetFileAttributesA(kLegacySettingsDir), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(Run(), Passes({}));
    for (const char* name : kLegacySettingsFiles)
        EXPECT_EQ(ReadAll(Installed(name)), "<absent>") << name;
}

TEST_F(MigrationTest, OnlyPppaddIsCopiedAndTheNextPassResetsTheStatus) {
    MakeLegacyFolder();
    WriteAll(Legacy("pppadd.txt"), "legacy pppadd\r\n");
    std::vector<std::wstring> history = Run();
    EXPECT_EQ(history, Passes({2}));
    EXPECT_EQ(history.back(), L"시스템 설정 체크중..");
    EXPECT_EQ(ReadAll(Installed("pppadd.txt")), "legacy pppadd\r\n");
    EXPECT_EQ(ReadAll(Installed("pppad.txt")), "<absent>");
}

TEST_F(MigrationTest, AllSixCopiedWithTheirOwnContent) {
    MakeLegacyFolder();
    for (const char* name : kLegacySettingsFiles)
        WriteAll(Legacy(name), std::string("content of ") + name);
    std::vector<std::wstring> history = Run();
    EXPECT_EQ(history, Passes({0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(history.back(), L"설정 안정화..5");
    for (const char* name : kLegacySettingsFiles)
        EXPECT_EQ(ReadAll(Installed(name)), std::string("content of ") + name);
}

TEST_F(MigrationTest, ExistingTargetsStayAndFoldersCountAsAbsent) {
    MakeLegacyFolder();
    // An installed file that differs from the legacy one is kept.
    WriteAll(Legacy("MINI_S_C_NAME.txt"), "legacy");
    WriteAll(Installed("MINI_S_C_NAME.txt"), "installed");
    // A legacy folder of a settings file's name is no source.
    ASSERT_TRUE(CreateDirectoryA(Legacy("pppad.txt").c_str(), nullptr));
    // An installed folder of that name is no target: the copy is tried, fails, and stays silent.
    WriteAll(Legacy("pppadd.txt"), "legacy pppadd");
    ASSERT_TRUE(CreateDirectoryA(Installed("pppadd.txt").c_str(), nullptr));
    WriteAll(Legacy("smsSendNum.txt"), "01012345678");

    EXPECT_EQ(Run(), Passes({2, 3}));
    EXPECT_EQ(ReadAll(Installed("MINI_S_C_NAME.txt")), "installed");
    EXPECT_FALSE(IsFolder(Installed("pppad.txt")));
    EXPECT_EQ(ReadAll(Installed("pppad.txt")), "<absent>");
    EXPECT_TRUE(IsFolder(Installed("pppadd.txt")));
    EXPECT_EQ(ReadAll(Installed("smsSendNum.txt")), "01012345678");
}

TEST_F(MigrationTest, SecondRunCopiesNothing) {
    MakeLegacyFolder();
    for (const char* name : kLegacySettingsFiles)
        WriteAll(Legacy(name), "first");
    EXPECT_EQ(Run(), Passes({0, 1, 2, 3, 4, 5}));
    for (const char* name : kLegacySettingsFiles)
        WriteAll(Legacy(name), "changed since");
    EXPECT_EQ(Run(), Passes({}));
    for (const char* name : kLegacySettingsFiles)
        EXPECT_EQ(ReadAll(Installed(name)), "first") << name;
}

TEST_F(MigrationTest, WorksWithoutCallbacks) {
    MakeLegacyFolder();
    WriteAll(Legacy("fsle_screen.ini"), "[screen]");
    MigrateLegacySettings(*FInstall, nullptr, nullptr);
    EXPECT_EQ(ReadAll(Installed("fsle_screen.ini")), "[screen]");
}

} // namespace
