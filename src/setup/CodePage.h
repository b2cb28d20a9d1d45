#pragma once
// Text between the system's ANSI code page, UTF-16 and other code pages: the Korean texts of
// the wizard are converted at run time, so the byte strings are right on any system code page.
#include <windows.h>

#include <string>

std::wstring AnsiToWide(const std::string& text);
std::string WideToAnsi(const std::wstring& text);
// UTF-16 to the given code page (CP_UTF8 for the installation log).
std::string WideToCodePage(const std::wstring& text, UINT codePage);
