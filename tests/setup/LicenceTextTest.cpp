#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "setup/LicenceText.h"

namespace {
std::string Cp949(const wchar_t* text) {
    const int length = WideCharToMultiByte(949, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(length > 0 ? length - 1 : 0), '\0');
    WideCharToMultiByte(949, 0, text, -1, bytes.data(), length, nullptr, nullptr);
    return bytes;
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.rfind(prefix, 0) == 0;
}

size_t IndexOf(const std::wstring& line) {
    for (size_t i = 0; i < kLicenceLines.size(); ++i)
        if (kLicenceLines[i] == line) return i;
    return kLicenceLines.size();
}
} // namespace

TEST(LicenceText, Has236LinesOfAtMost69BytesInTheKoreanCodePageTheLastOneEmpty) {
    ASSERT_EQ(kLicenceLines.size(), 236u);
    for (size_t i = 0; i < kLicenceLines.size(); ++i) {
        const std::string bytes = Cp949(kLicenceLines[i]);
        EXPECT_LE(bytes.size(), 69u) << "line " << i + 1;
        // Every character has a code page 949 form (no '?' from a failed conversion).
        EXPECT_EQ(bytes.find('?'), std::string::npos) << "line " << i + 1;
    }
    EXPECT_STREQ(kLicenceLines.back(), L"");
}

TEST(LicenceText, ArticlesCarryTheirHeadingsInOrderEachAfterAnEmptyLine) {
    const std::vector<std::wstring> headings = {
        L"제 1조 사용권 허용",
        L"제 2조 용도 제한",
        L"제 3조 약관의 효력과 개정",
        L"제 4조 이용신청 및 약관의 동의",
        L"제 5조 서비스의 이용 ",
        L"제 6조 이용 제한 및 해제 ",
        L"제 7조 정보변경",
        L"제 8조 개인정보의 보유기간",
        L"제 9조 주식회사 브린들윅의 의무",
        L"제 10조 회원의 의무",
        L"제 11조 서비스 중지",
        L"제 12조 천재지변",
        L"제 13조 손해배상 및 책임",
        L"제 14조 저작권",
        L"제 15조 개인정보 및 인터넷 사용정보 수집과 그 활용",
        L"제 16조 기타 보증의 배제",
        L"제 17조 분쟁해결 ",
        L"제 18조 관할법원",
    };
    size_t previous = 0;
    for (const std::wstring& heading : headings) {
        const size_t at = IndexOf(heading);
        ASSERT_LT(at, kLicenceLines.size()) << "missing heading";
        EXPECT_GT(at, previous);
        EXPECT_STREQ(kLicenceLines[at - 1], L"");
        previous = at;
    }
    size_t articleLines = 0;
    for (const wchar_t* line : kLicenceLines)
        if (StartsWith(line, L"제 ") && std::wstring(line).find(L"조 ") != std::wstring::npos) ++articleLines;
    EXPECT_EQ(articleLines, headings.size()) << "a wrapped line must not look like a heading";
}

TEST(LicenceText, PreambleAndClosingFollowTheOutline) {
    const size_t firstArticle = IndexOf(L"제 1조 사용권 허용");
    std::vector<std::wstring> numbered, starred;
    for (size_t i = 0; i < firstArticle; ++i) {
        const std::wstring line = kLicenceLines[i];
        if (line.size() > 1 && line[0] >= L'1' && line[0] <= L'9' && line[1] == L'.')
            numbered.push_back(line.substr(0, 2));
        if (StartsWith(line, L"*.")) starred.push_back(line);
    }
    EXPECT_EQ(numbered, (std::vector<std::wstring>{L"1.", L"2.", L"3.", L"4.", L"5."}));
    EXPECT_EQ(starred.size(), 4u);
    const size_t removal = IndexOf(L"삭제방법");
    ASSERT_LT(removal, firstArticle);
    EXPECT_TRUE(StartsWith(kLicenceLines[removal + 1], L"  -> "));
    EXPECT_TRUE(StartsWith(kLicenceLines[removal + 2], L"  -> "));
    size_t arrows = 0;
    for (const wchar_t* line : kLicenceLines)
        arrows += StartsWith(line, L"  -> ");
    EXPECT_EQ(arrows, 2u);

    const size_t n = kLicenceLines.size();
    EXPECT_STREQ(kLicenceLines[n - 3], L"부칙");
    EXPECT_STREQ(kLicenceLines[n - 2], L"(시행일) 본 사용약관은 2007년 6월 1일부터 시행됩니다.");
}

TEST(LicenceText, BoxTextHasOneLinePerEntry) {
    const std::wstring text = LicenceText();
    size_t breaks = 0;
    for (size_t at = text.find(L"\r\n"); at != std::wstring::npos; at = text.find(L"\r\n", at + 2))
        ++breaks;
    EXPECT_EQ(breaks, kLicenceLines.size() - 1);
    EXPECT_EQ(text.find(L'\n'), text.find(L"\r\n") + 1);
    EXPECT_EQ(text.substr(text.size() - 2), L"\r\n"); // the empty last line
}
