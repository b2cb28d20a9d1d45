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
#include "setup/TestFiles.h"

namespace fs = std::filesystem;

namespace {
class InstallRunFiles : public ::testing::Test {
protected:
    TTestFolder FFolder{"nx-install-run-"};
    const std::string& Folder = FFolder.Path();
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

TEST_F(InstallRunFiles, ReplacesOrKeepsTheWholeFileAndLeavesNoPartFile) {
    const TInstallFolder folder(AnsiToWide(Folder));
    const std::string target = Folder + "/libmysql.dll";
    const std::string longer(100000, 'L');
    EXPECT_TRUE(folder.SaveFile(L"libmysql.dll", longer.data(), longer.size()));
    EXPECT_EQ(ReadAll(target), longer);
    EXPECT_TRUE(folder.SaveFile(L"libmysql.dll", "short", 5));
    EXPECT_EQ(ReadAll(target), "short");
    EXPECT_FALSE(folder.SaveFile(L"libmysql.dll", "other", 5, true)) << "kept";
    EXPECT_EQ(ReadAll(target), "short");
    EXPECT_TRUE(folder.SaveFile(L"libmysql.dll", "", 0));
    EXPECT_EQ(fs::file_size(target), 0u);
    EXPECT_EQ(std::distance(fs::directory_iterator(Folder), fs::directory_iterator()), 1)
        << "a part file stayed";
}

TEST_F(InstallRunFiles, ATargetInUseStaysAsItWasAndThePartFileGoes) {
    const TInstallFolder folder(AnsiToWide(Folder));
    const std::string target = Folder + "/mrwgt.exe";
    folder.SaveFile(L"mrwgt.exe", "old program", 11);
    // Held as a running program holds its file: nobody may write it.
    const HANDLE held =
        CreateFileA(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    try {
        folder.SaveFile(L"mrwgt.exe", "new program", 11);
        ADD_FAILURE() << "no error";
    } catch (const EFCreateError& error) {
        EXPECT_EQ(error.Message().rfind("Cannot create file \"" + target + "\". ", 0), 0u) << error.Message();
    }
    CloseHandle(held);
    EXPECT_EQ(ReadAll(target), "old program");
    EXPECT_EQ(std::distance(fs::directory_iterator(Folder), fs::directory_iterator()), 1)
        << "a part file stayed";
}

// A folder of the installation is held from its check to the end: it cannot be renamed away
// and replaced by a link meanwhile. A file where it should be is no folder.
TEST_F(InstallRunFiles, AHeldFolderCannotBeMovedAndAFileIsNoFolder) {
    const TInstallFolder base(AnsiToWide(Folder));
    bool created = false;
    {
        const TInstallFolder vendor(base, L"Brindlewick", &created);
        EXPECT_TRUE(created);
        EXPECT_FALSE(MoveFileA((Folder + "\\Brindlewick").c_str(), (Folder + "\\moved").c_str()));
    }
    const TInstallFolder again(base, L"Brindlewick", &created);
    EXPECT_FALSE(created);
    std::ofstream(Folder + "\\Marrowgate") << "a file";
    EXPECT_THROW(TInstallFolder(base, L"Marrowgate"), EFCreateError);
}

TEST_F(InstallRunFiles, ANewFileElsewhereOrWithASecondLinkIsRefused) {
    const TInstallFolder folder(AnsiToWide(Folder));
    const std::wstring here = folder.FinalPath() + L"\\new.part";
    const struct {
        const char* Name;
        const wchar_t* Expected; // null: where it is
        bool SecondLink;
        bool Refused;
    } cases[] = {
        {"where it was made, one link", nullptr, false, false},
        {"somewhere else than expected", L"\\other\\new.part", false, true},
        {"a second link", nullptr, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const std::string path = Folder + "\\new.part";
        const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE | DELETE,
                                        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        if (c.SecondLink) {
            ASSERT_TRUE(CreateHardLinkA((Folder + "\\linked").c_str(), path.c_str(), nullptr));
        }
        bool refused = false;
        try {
            CheckNewFile(file, c.Expected ? folder.FinalPath() + c.Expected : here);
        } catch (const ERedirectedPath&) {
            refused = true;
        }
        EXPECT_EQ(refused, c.Refused);
        CloseHandle(file);
        DeleteFileA(path.c_str());
        DeleteFileA((Folder + "\\linked").c_str());
    }
}
