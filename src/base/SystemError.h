#pragma once
// The operating system's text for one of its error codes.
#include <cstdint>
#include <string>

// Windows: the system message table (FormatMessage), in the ANSI code page.
// Native: the C library's strerror text; empty for a code it does not know.
// Trailing blanks, line breaks and full stops are cut, so callers can add their own
// punctuation (the error box adds one full stop).
std::string SysErrorMessage(uint32_t code);
// The calling thread's last system error (GetLastError / errno).
uint32_t LastSystemError();
