// The installer's command line: what each line asks for, split by the system's rules.
#include <gtest/gtest.h>

#include "setup/Application.h"
#include "setup/CommandLine.h"

namespace {
constexpr auto W = TSetupMode::smWizard;
constexpr auto S = TSetupMode::smSilent;
constexpr auto V = TSetupMode::smVerySilent;
} // namespace

TEST(SetupCommandLine, EachLineAsksForItsModeRunAndLog) {
    const struct {
        const wchar_t* Line;
        TSetupMode Mode;
        bool RunsProduct;
        const wchar_t* Log;
        bool Help;
    } cases[] = {
        {L"Setup.exe", W, true, L"", false},
        {L"\"C:\\a b\\Setup.exe\"", W, true, L"", false},
        {L"Setup.exe /SILENT", S, false, L"", false},
        {L"Setup.exe /silent", S, false, L"", false},
        {L"Setup.exe -VerySilent", V, false, L"", false},
        // The quieter mode wins in either order.
        {L"Setup.exe /VERYSILENT /SILENT", V, false, L"", false},
        {L"Setup.exe /SILENT /VERYSILENT", V, false, L"", false},
        {L"Setup.exe /SILENT /SILENT", S, false, L"", false},
        {L"Setup.exe /SILENT /RUN", S, true, L"", false},
        {L"Setup.exe /VERYSILENT /RUN /NORUN", V, false, L"", false},
        {L"Setup.exe /NORUN", W, false, L"", false},
        {L"Setup.exe /NORUN /run", W, true, L"", false},
        // Quotes around the value, around the whole switch, or none where there is no blank.
        {L"Setup.exe /VERYSILENT /LOG=\"C:\\log dir\\setup.log\"", V, false, L"C:\\log dir\\setup.log",
         false},
        {L"Setup.exe \"/log=C:\\log dir\\x.log\" /SILENT", S, false, L"C:\\log dir\\x.log", false},
        {L"Setup.exe /LOG=C:\\x.log /LOG=D:\\y.log", W, true, L"D:\\y.log", false},
        {L"Setup.exe /LOG=\"C:\\설치 기록\\x.log\"", W, true, L"C:\\설치 기록\\x.log", false},
        {L"Setup.exe /?", W, true, L"", true},
        {L"Setup.exe -help /VERYSILENT", V, false, L"", true},
    };
    for (const auto& c : cases) {
        const TSetupCommandLine parsed = ParseSetupCommandLine(c.Line);
        SCOPED_TRACE(WideToAnsi(c.Line));
        EXPECT_TRUE(parsed.Valid()) << WideToAnsi(parsed.Error);
        EXPECT_EQ(parsed.Mode, c.Mode);
        EXPECT_EQ(parsed.RunsProduct(), c.RunsProduct);
        EXPECT_EQ(parsed.LogPath, c.Log);
        EXPECT_EQ(parsed.Help, c.Help);
    }
}

TEST(SetupCommandLine, ABadLineNamesItsFirstFaultAndKeepsTheMode) {
    const struct {
        const wchar_t* Line;
        const wchar_t* Error;
        TSetupMode Mode;
    } cases[] = {
        {L"Setup.exe /BOGUS", L"알 수 없는 옵션입니다: /BOGUS", W},
        {L"Setup.exe /VERYSILENT /BOGUS", L"알 수 없는 옵션입니다: /BOGUS", V},
        {L"Setup.exe /BOGUS /VERYSILENT", L"알 수 없는 옵션입니다: /BOGUS", V},
        {L"Setup.exe /SILENTLY", L"알 수 없는 옵션입니다: /SILENTLY", W},
        {L"Setup.exe SILENT", L"알 수 없는 옵션입니다: SILENT", W},
        {L"Setup.exe /", L"알 수 없는 옵션입니다: /", W},
        {L"Setup.exe /LOG", L"옵션에 값이 없습니다: /LOG", W},
        {L"Setup.exe /LOG= /SILENT", L"옵션에 값이 없습니다: /LOG=", S},
        {L"Setup.exe /LOG=\"\"", L"옵션에 값이 없습니다: /LOG=", W},
        {L"Setup.exe /SILENT=1", L"이 옵션은 값을 받지 않습니다: /SILENT=1", W},
        {L"Setup.exe /X /Y", L"알 수 없는 옵션입니다: /X", W},
        {L"Setup.exe /VERYSILENT /PROXYUSER= /PROXYPASSWORD=x", L"옵션에 값이 없습니다: /PROXYUSER=", V},
    };
    for (const auto& c : cases) {
        const TSetupCommandLine parsed = ParseSetupCommandLine(c.Line);
        SCOPED_TRACE(WideToAnsi(c.Line));
        EXPECT_FALSE(parsed.Valid());
        EXPECT_EQ(parsed.Error, c.Error);
        // /VERYSILENT stays in force for a bad line, so that nothing shows a box.
        EXPECT_EQ(parsed.Mode, c.Mode);
        EXPECT_EQ(SetupUsageBoxText(parsed).rfind(std::wstring(c.Error) + L"\r\n\r\n", 0), 0u);
    }
}

// The proxy's credentials reach the run; the log's copy of the line never holds the password.
TEST(SetupCommandLine, ProxyCredentialsAndTheLinesLogCopy) {
    const TSetupCommandLine parsed = ParseSetupCommandLine(
        L"Setup.exe /VERYSILENT /ProxyUser=\"KOREA\\홍길동\" -proxypassword=\"s3 cr=t\"");
    ASSERT_TRUE(parsed.Valid()) << WideToAnsi(parsed.Error);
    EXPECT_EQ(parsed.ProxyUser, L"KOREA\\홍길동");
    EXPECT_EQ(parsed.ProxyPassword, L"s3 cr=t");
    const struct {
        const wchar_t* Line;
        const wchar_t* Logged;
    } rows[] = {
        {L"Setup.exe /VERYSILENT /PROXYUSER=bob /PROXYPASSWORD=s3cret",
         L"Setup.exe /VERYSILENT /PROXYUSER=bob /PROXYPASSWORD=***"},
        {L"\"C:\\a b\\Setup.exe\" -ProxyPassword=\"s3 cret\" /LOG=\"C:\\x y.log\"",
         L"\"C:\\a b\\Setup.exe\" -ProxyPassword=*** \"/LOG=C:\\x y.log\""},
        {L"Setup.exe \"/PROXYPASSWORD=a b\"", L"Setup.exe /PROXYPASSWORD=***"},
        {L"Setup.exe /SILENT", L"Setup.exe /SILENT"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(CommandLineForLog(row.Line), row.Logged) << WideToAnsi(row.Line);
}

TEST(SetupCommandLine, TheUsageTextShowsEverySwitchOfTheTableAndEveryExitCode) {
    const std::wstring usage = SetupUsageText();
    EXPECT_NE(usage.find(L"/LOG=\"경로\""), std::wstring::npos);
    EXPECT_NE(usage.find(L"/?, /HELP"), std::wstring::npos);
    EXPECT_NE(usage.find(L"사용권 계약에 동의한 것으로 봅니다"), std::wstring::npos);
    for (const TSwitchDesign& row : kSetupSwitches) {
        EXPECT_NE(usage.find(std::wstring(L"/") + row.Names[0]), std::wstring::npos)
            << WideToAnsi(row.Names[0]);
        EXPECT_NE(usage.find(row.Text), std::wstring::npos);
        // Every name the table prints is one the parser takes.
        for (const wchar_t* name : row.Names) {
            if (!name) continue;
            const std::wstring argument = std::wstring(L"/") + name + (row.Value ? L"=x" : L"");
            EXPECT_TRUE(ParseSetupArguments({argument}).Valid()) << WideToAnsi(argument);
        }
    }
    for (const TExitCodeDesign& row : kSetupExitCodes)
        EXPECT_NE(usage.find(L"    " + std::to_wstring(row.Code) + L"  " + row.Text), std::wstring::npos);
    EXPECT_EQ(SetupUsageBoxText(ParseSetupCommandLine(L"Setup.exe /?")), usage);
}
