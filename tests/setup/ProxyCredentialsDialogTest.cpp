// The wizard's box for the proxy's credentials, answered from another thread as a user would:
// the fields typed into, then "확인", "취소" or the close box.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <thread>

#include "setup/Application.h"
#include "setup/ProxyCredentialsDialog.h"

namespace {
std::wstring TextOf(HWND window) {
    wchar_t text[256] = {};
    SendMessageW(window, WM_GETTEXT, 256, reinterpret_cast<LPARAM>(text));
    return text;
}
} // namespace

TEST(ProxyCredentialsDialog, AnsweredAsTheUserChooses) {
    const struct {
        const char* Name;
        const wchar_t* User;
        const wchar_t* Password;
        UINT Command; // IDOK, IDCANCEL or SC_CLOSE
        bool Given;
    } rows[] = {
        {"OK", L"KOREA\\홍길동", L"s3 cr:et", IDOK, true},
        {"cancel", L"bob", L"x", IDCANCEL, false},
        {"the close box", L"bob", L"x", SC_CLOSE, false},
        {"no user name", L"", L"x", IDOK, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        std::wstring shown;
        LONG_PTR passwordStyle = 0;
        std::thread user([&] {
            HWND box = nullptr;
            // Shown only once its fields are made and filled (after WM_INITDIALOG).
            for (int i = 0; i < 250 && !(box && IsWindowVisible(box)); ++i) {
                box = FindWindowW(L"#32770", kProxyDialogCaption);
                if (!box || !IsWindowVisible(box)) Sleep(20);
            }
            if (!box) return;
            shown = TextOf(GetDlgItem(box, pdText));
            passwordStyle = GetWindowLongPtrW(GetDlgItem(box, pdPassword), GWL_STYLE);
            SendMessageW(GetDlgItem(box, pdUser), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(row.User));
            SendMessageW(GetDlgItem(box, pdPassword), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(row.Password));
            if (row.Command == SC_CLOSE)
                PostMessageW(box, WM_SYSCOMMAND, SC_CLOSE, 0);
            else
                PostMessageW(box, WM_COMMAND, row.Command, 0);
        });
        std::string name = "kept", password = "kept";
        const bool given = AskProxyCredentialsDialog(nullptr, "http://127.0.0.1:3128", name, password);
        user.join();
        EXPECT_EQ(given, row.Given);
        EXPECT_EQ(shown,
                  std::wstring(kProxyDialogTextBefore) + L"http://127.0.0.1:3128" + kProxyDialogTextAfter);
        EXPECT_NE(passwordStyle & ES_PASSWORD, 0) << "the password shows as it is typed";
        EXPECT_EQ(name, row.Given ? WideToAnsi(row.User) : "kept");
        EXPECT_EQ(password, row.Given ? WideToAnsi(row.Password) : "kept");
    }
}
