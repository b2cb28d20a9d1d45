#pragma once
// The small box in which the wizard asks for the proxy's user name and password when a proxy
// answers 407: a line naming the proxy, two fields and "확인" / "취소". Built in memory from the
// table in ProxyCredentialsDialog.cpp (dialog units of its 9-point font, so that it scales with
// the display).
#include <windows.h>

#include <string>

inline constexpr const wchar_t* kProxyDialogCaption = L"프록시 인증";
// Before and after the proxy's name in the box's first line.
inline constexpr const wchar_t* kProxyDialogTextBefore = L"프록시 서버 ";
inline constexpr const wchar_t* kProxyDialogTextAfter = L"에 연결하려면 사용자 이름과 암호가 필요합니다.";

enum TProxyDialogControl : int { pdText = 101, pdUser = 102, pdPassword = 103 };

// Modal over owner (may be null). True, with user and password in the ANSI code page, for "확인"
// with a user name; false for "취소", the close box or an empty user name.
bool AskProxyCredentialsDialog(HWND owner, const std::string& proxy, std::string& user,
                               std::string& password);
