// The installation run's file rules: the version file's lines, whole-file writes that never
// leave a half-written target and the error text.
#include <gtest/gtest.h>

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "base/SystemError.h"
#include "setup/Application.h"
#include "setup/InstallFiles.h"

namespace fs = std::filesystem;

namespace {
std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// A folder of its own under the system's temporary folder, removed afterwards.
class InstallRunFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char temp[MAX_PATH + 1] = {};
        GetTempPathA(MAX_PATH, temp);
        Folder = std::string(temp) + "nx-install-run-" + std::to_string(GetCurrentProcessId());
        fs::create_directories(Folder);
    }
    void TearDown() override {
        std::error_code ignored;
        fs::remove_all(Folder, ignored);
    }
    std::string Folder;
};
} // namespace

TEST(InstallRunVersionFile, EveryLineEndBecomesCrLfAndALastLineGetsOne) {
    EXPECT_EQ(VersionFileText("a\nb"), "a\r\nb\r\n");
    EXPECT_EQ(VersionFileText("a\r\nb\r\n"), "a\r\nb\r\n");
    EXPECT_EQ(VersionFileText("a\rb\r\n\nc"), "a\r\nb\r\n\r\nc\r\n");
    // A lone CR followed by LF is one line end; LF then CR are two.
    EXPECT_EQ(VersionFileText("a\n\rb"), "a\r\n\r\nb\r\n");
    EXPECT_EQ(VersionFileText("\n"), "\r\n");
    EXPECT_EQ(VersionFileText(""), "");
}

TEST(InstallRunVersionFile, ANulEndsTheText) {
    EXPECT_EQ(VersionFileText(std::string("1.2\n3\0junk\n", 11)), "1.2\r\n3\r\n");
    EXPECT_EQ(VersionFileText(std::string("\0a", 2)), "");
}

TEST(InstallRunMessages, CreateFileErrorNamesThePathAndTheSystemText) {
    const std::string text = CreateFileErrorText("C:\\x\\Marrowgate/mrwgt.exe", ERROR_ACCESS_DENIED);
    EXPECT_EQ(text,
              "Cannot create file \"C:\\x\\Marrowgate/mrwgt.exe\". " + SysErrorMessage(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(SysErrorMessage(ERROR_ACCESS_DENIED).empty());
    // The error box ends it with exactly one full stop.
    const std::wstring box = TApplication::ErrorBoxText(text);
    EXPECT_EQ(box.back(), L'.');
    EXPECT_NE(box.substr(box.size() - 2), L"..");
}

TEST_F(InstallRunFiles, ReplacesTheWholeFileAndLeavesNoPartFile) {
    const std::string target = Folder + "/libmysql.dll";
    const std::string longer(100000, 'L');
    SaveFileReplacing(target, longer.data(), longer.size());
    EXPECT_EQ(ReadAll(target), longer);
    SaveFileReplacing(target, "short", 5);
    EXPECT_EQ(ReadAll(target), "short");
    SaveFileReplacing(target, "", 0);
    EXPECT_TRUE(fs::exists(target));
    EXPECT_EQ(fs::file_size(target), 0u);
    EXPECT_FALSE(fs::exists(target + ".part"));
}

TEST_F(InstallRunFiles, AMissingFolderRaisesTheCreateErrorAndWritesNothing) {
    const std::string target = Folder + "\\absent\\auto_up.exe";
    try {
        SaveFileReplacing(target, "data", 4);
        FAIL() << "no error";
    } catch (const EFCreateError& error) {
        EXPECT_EQ(error.Message(), CreateFileErrorText(target, ERROR_PATH_NOT_FOUND));
    }
    EXPECT_FALSE(fs::exists(Folder + "\\absent"));
}

TEST_F(InstallRunFiles, ATargetInUseStaysAsItWasAndThePartFileGoes) {
    const std::string target = Folder + "/mrwgt.exe";
    SaveFileReplacing(target, "old program", 11);
    // Held as a running program holds its file: nobody may write it.
    const HANDLE held =
        CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    try {
        SaveFileReplacing(target, "new program", 11);
        ADD_FAILURE() << "no error";
    } catch (const EFCreateError& error) {
        EXPECT_EQ(error.Message().rfind("Cannot create file \"" + target + "\". ", 0), 0u) << error.Message();
    }
    CloseHandle(held);
    EXPECT_EQ(ReadAll(target), "old program");
    EXPECT_FALSE(fs::exists(target + ".part"));
}
