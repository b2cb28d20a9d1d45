#include <gtest/gtest.h>

#include <windows.h>

#include <utility>
#include <vector>

#include "setup/Application.h"
#include "transport/NxAntiFreeze.h"

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

// Messages the anti-freeze pumps inside a blocking call go through the main window's
// filter as in the main loop: Tab and Enter reach the wizard's own handling during a
// download. A message for another window is dispatched without it.
TEST(SetupApplication, TheAntiFreezePumpsThroughTheMainWindowsFilter) {
    const HWND main = CreateWindowExW(0, L"STATIC", L"main", WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr,
                                      nullptr, nullptr);
    const HWND button =
        CreateWindowExW(0, L"BUTTON", L"취소", WS_CHILD, 0, 0, 50, 20, main, nullptr, nullptr, nullptr);
    const HWND other = CreateWindowExW(0, L"STATIC", L"other", WS_OVERLAPPED, 0, 0, 100, 100, nullptr,
                                       nullptr, nullptr, nullptr);
    ASSERT_TRUE(main && button && other);
    std::vector<std::pair<HWND, WPARAM>> filtered;
    Application().SetMainWindow(main, [&](MSG& msg) {
        if (msg.message != WM_KEYDOWN) return false;
        filtered.emplace_back(msg.hwnd, msg.wParam);
        return true;
    });
    TNxAntiFreeze af;
    for (bool priority : {true, false}) {
        SCOPED_TRACE(priority ? "everything pending" : "one message");
        af.SetApplicationHasPriority(priority);
        filtered.clear();
        PostMessageW(button, WM_KEYDOWN, VK_RETURN, 0);
        PostMessageW(other, WM_KEYDOWN, VK_TAB, 0);
        PostMessageW(main, WM_KEYDOWN, VK_TAB, 0);
        for (int i = 0; i < 3; ++i)
            af.PumpMessages();
        EXPECT_EQ(filtered, (std::vector<std::pair<HWND, WPARAM>>{{button, VK_RETURN}, {main, VK_TAB}}));
    }
    Application().SetMainWindow(nullptr, nullptr);
    DestroyWindow(other);
    DestroyWindow(main);
}
