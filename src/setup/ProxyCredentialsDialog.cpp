#include "setup/ProxyCredentialsDialog.h"

#include <array>
#include <vector>

#include "setup/CodePage.h"

namespace {
// The window classes of a dialog item as atoms.
constexpr WORD kButton = 0x0080, kEdit = 0x0081, kStatic = 0x0082;
constexpr WORD kFontPoints = 9;
constexpr const wchar_t* kFontFace = L"굴림";
constexpr short kWidth = 234, kHeight = 93;

struct TDialogItem {
    WORD Class;
    int Id;
    short X, Y, Width, Height;
    DWORD Style;
    const wchar_t* Text;
};
// clang-format off
constexpr std::array<TDialogItem, 7> kItems = {{
    {kStatic, pdText, 7, 7, 220, 24, SS_LEFT, L""},
    {kStatic, -1, 7, 38, 60, 10, SS_LEFT, L"사용자 이름(&U):"},
    {kEdit, pdUser, 70, 36, 157, 12, ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, L""},
    {kStatic, -1, 7, 54, 60, 10, SS_LEFT, L"암호(&P):"},
    {kEdit, pdPassword, 70, 52, 157, 12, ES_AUTOHSCROLL | ES_PASSWORD | WS_BORDER | WS_TABSTOP, L""},
    {kButton, IDOK, 120, 72, 50, 14, BS_DEFPUSHBUTTON | WS_TABSTOP, L"확인"},
    {kButton, IDCANCEL, 177, 72, 50, 14, BS_PUSHBUTTON | WS_TABSTOP, L"취소"},
}};
// clang-format on

// A dialog template in memory: its header, then each item on a DWORD boundary.
class TTemplate {
public:
    void Word(WORD value) { FWords.push_back(value); }
    void Dword(DWORD value) {
        Word(LOWORD(value));
        Word(HIWORD(value));
    }
    void Text(const wchar_t* text) {
        for (; *text; ++text)
            Word(static_cast<WORD>(*text));
        Word(0);
    }
    void Align() {
        if (FWords.size() % 2 != 0) Word(0);
    }
    const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(FWords.data()); }

private:
    std::vector<WORD> FWords;
};

TTemplate MakeTemplate() {
    TTemplate t;
    t.Dword(DS_SETFONT | DS_MODALFRAME | DS_CENTER | WS_POPUP | WS_CAPTION | WS_SYSMENU);
    t.Dword(0);
    t.Word(static_cast<WORD>(kItems.size()));
    for (short value : {short(0), short(0), kWidth, kHeight})
        t.Word(static_cast<WORD>(value));
    t.Word(0); // no menu
    t.Word(0); // the dialog class
    t.Text(kProxyDialogCaption);
    t.Word(kFontPoints);
    t.Text(kFontFace);
    for (const TDialogItem& item : kItems) {
        t.Align();
        t.Dword(WS_CHILD | WS_VISIBLE | item.Style);
        t.Dword(0);
        for (short value : {item.X, item.Y, item.Width, item.Height})
            t.Word(static_cast<WORD>(value));
        t.Word(static_cast<WORD>(item.Id));
        t.Word(0xFFFF);
        t.Word(item.Class);
        t.Text(item.Text);
        t.Word(0); // no creation data
    }
    return t;
}

struct TAnswer {
    std::wstring Proxy;
    std::wstring User;
    std::wstring Password;
};

std::wstring ItemText(HWND dialog, int id) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(GetDlgItem(dialog, id))) + 1, L'\0');
    text.resize(static_cast<size_t>(GetDlgItemTextW(dialog, id, text.data(), static_cast<int>(text.size()))));
    return text;
}

INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* answer = reinterpret_cast<TAnswer*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
    case WM_INITDIALOG:
        SetWindowLongPtrW(dialog, DWLP_USER, lParam);
        answer = reinterpret_cast<TAnswer*>(lParam);
        SetDlgItemTextW(
            dialog, pdText,
            (std::wstring(kProxyDialogTextBefore) + answer->Proxy + kProxyDialogTextAfter).c_str());
        SetFocus(GetDlgItem(dialog, pdUser));
        return FALSE; // the focus is set
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK) {
            answer->User = ItemText(dialog, pdUser);
            answer->Password = ItemText(dialog, pdPassword);
            // The field keeps no copy once the box is gone.
            SetDlgItemTextW(dialog, pdPassword, L"");
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        break;
    default:
        break;
    }
    return FALSE;
}
} // namespace

bool AskProxyCredentialsDialog(HWND owner, const std::string& proxy, std::string& user,
                               std::string& password) {
    const TTemplate dialog = MakeTemplate();
    TAnswer answer{AnsiToWide(proxy), {}, {}};
    const INT_PTR result = DialogBoxIndirectParamW(GetModuleHandleW(nullptr), dialog.Get(), owner, DialogProc,
                                                   reinterpret_cast<LPARAM>(&answer));
    const bool given = result == IDOK && !answer.User.empty();
    if (given) {
        user = WideToAnsi(answer.User);
        password = WideToAnsi(answer.Password);
    }
    SecureZeroMemory(answer.Password.data(), answer.Password.size() * sizeof(wchar_t));
    return given;
}
