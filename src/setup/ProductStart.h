#pragma once
// Starts the installed program as the user who ran Setup, in its own folder (the shortcut's
// working directory). Setup runs elevated; a program it started itself would inherit the
// administrator's token (and Setup's folder, Downloads, as its working directory).
#include <windows.h>

#include <string>

// When Setup runs with the rights of the desktop's shell (not elevated, or the shell is
// elevated as well: UAC off, Wine), a plain start is the user's start. Otherwise the shell of
// the desktop is asked to start it; when that cannot be done the program is not started at
// all (it has its desktop shortcut), never with Setup's own token. Returns a line for the log
// that says what happened.
std::string StartInstalledProgram(HWND owner, const std::wstring& program);
