#include <gtest/gtest.h>

#include <windows.h>

#include "setup/Application.h"

TEST(SetupApplication, TitleIsTheFileNameCutAtItsFirstFullStopWithTheRestInLowerCase) {
    const struct {
        const wchar_t* Path;
        const wchar_t* Title;
    } cases[] = {
        {L"C:\\Program Files\\Setup.exe", L"Setup"},
        {L"C:\\x\\SETUP.EXE", L"Setup"},
        {L"Z:/build/setup.exe", L"setup"}, // the first letter is kept as it is
        {L"D:\\a.b\\MY.APP.EXE", L"My"},   // a full stop in a folder does not count
        {L"SeTuP", L"Setup"},
        {L"\\\\server\\share\\x.exe", L"x"},
        {L"C:\\d\\.hidden.exe", L""},
        {L"C:\\d\\ÄBC.exe", L"Äbc"}, // not only ASCII letters are lowered
    };
    for (const auto& c : cases)
        EXPECT_EQ(TApplication::TitleFromFileName(c.Path), c.Title) << c.Path;
}

TEST(SetupApplication, ErrorBoxTextEndsInExactlyOneFullStop) {
    EXPECT_EQ(TApplication::ErrorBoxText("Failed to create key X"), L"Failed to create key X.");
    EXPECT_EQ(TApplication::ErrorBoxText("Access is denied."), L"Access is denied.");
    EXPECT_EQ(TApplication::ErrorBoxText(""), L".");
    // The message is in the ANSI code page; the box shows it in UTF-16.
    const std::string korean = WideToAnsi(L"파일을 만들 수 없습니다");
    EXPECT_EQ(TApplication::ErrorBoxText(korean), L"파일을 만들 수 없습니다.");
}

TEST(SetupApplication, AnsiConversionRoundTripsKoreanText) {
    ASSERT_EQ(GetACP(), 949u) << "the tests run in the Korean locale";
    const std::wstring text = L"라이센스계약동의 \\Brindlewick\\";
    const std::string ansi = WideToAnsi(text);
    EXPECT_EQ(ansi.size(), 8u * 2 + 14);
    EXPECT_EQ(AnsiToWide(ansi), text);
}
