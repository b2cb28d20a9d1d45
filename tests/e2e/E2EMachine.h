#pragma once
// What the end-to-end runs look at on the machine: the served and the installed files, the
// uninstall entry, the shortcut, message boxes and windows of the installer's process.
//   NX_E2E_WWW  the folder the server serves (a Unix path; "deri_vere/" below it)
//   NX_E2E_LOG  the server's access log (a Unix path), when there is a server
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include "setup/Application.h"
#include "setup/InstallRun.h"
#include "setup/Registration.h"
#include "setup/driver/SetupDriver.h"

namespace e2e {
namespace fs = std::filesystem;

// The five product files in the order the run fetches them, before the version file.
inline const char* const kProductFiles[] = {"uninstall.exe", "libmySQL50.dll", "libmysql.dll", "auto_up.exe",
                                            "mrwgt.exe"};

inline std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

inline std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// The installation log is UTF-8.
inline std::string Utf8(const std::wstring& text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                         nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                        nullptr);
    return out;
}

inline fs::path ServedFile(const std::string& name) {
    return fs::path(WindowsPath(Env("NX_E2E_WWW") + "/deri_vere/" + name));
}

inline fs::path InstallDir() {
    return fs::path(AnsiToWide(LocalAppDataPath())) / L"Brindlewick" / L"Marrowgate";
}

inline fs::path Installed(const std::string& name) {
    return InstallDir() / name;
}

inline fs::path ShortcutFile() {
    return fs::path(AnsiToWide(DesktopFolder())) / L"루멘타.lnk";
}

inline bool IsRegistered() {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kUninstallKey, 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// What no earlier run may leave behind for a case that starts on a fresh machine.
inline void ResetMachine() {
    std::error_code ignored;
    fs::remove_all(InstallDir().parent_path(), ignored);
    fs::remove(ShortcutFile(), ignored);
    fs::remove_all(fs::path("C:/Program Files/Brindlewick"), ignored);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kUninstallKey);
}

// Every installed product file equals the server's copy, and the version file is the served
// one with CR LF line ends.
inline ::testing::AssertionResult InstalledAsServed() {
    for (const char* name : kProductFiles) {
        const std::string served = ReadAll(ServedFile(name));
        if (served.empty() || ReadAll(Installed(name)) != served)
            return ::testing::AssertionFailure() << name << " differs from the server's copy";
    }
    if (ReadAll(Installed("r_ver.txt")) != VersionFileText(ReadAll(ServedFile("r_ver.txt"))))
        return ::testing::AssertionFailure() << "r_ver.txt is not the served one with CR LF ends";
    return ::testing::AssertionSuccess();
}

// A message box of the given process and its text.
struct TBox {
    HWND Window = nullptr;
    std::wstring Text;
};

inline BOOL CALLBACK FindBox(HWND window, LPARAM data) {
    auto* found = reinterpret_cast<std::pair<DWORD, HWND>*>(data);
    wchar_t className[16] = {};
    GetClassNameW(window, className, 16);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == found->first && lstrcmpW(className, L"#32770") == 0 && IsWindowVisible(window)) {
        found->second = window;
        return FALSE;
    }
    return TRUE;
}

inline TBox FindMessageBox(DWORD processId) {
    std::pair<DWORD, HWND> found{processId, nullptr};
    EnumWindows(FindBox, reinterpret_cast<LPARAM>(&found));
    TBox box{found.second, {}};
    if (box.Window) {
        wchar_t text[4096] = {};
        GetDlgItemTextW(box.Window, 0xFFFF, text, 4096); // the box's static text
        box.Text = text;
    }
    return box;
}

inline void DismissBox(const TBox& box) {
    PostMessageW(box.Window, WM_COMMAND, IDOK, 0);
    for (int i = 0; i < 100 && IsWindow(box.Window); ++i)
        Sleep(50);
}
} // namespace e2e
