#pragma once
// What the end-to-end runs look at on the machine: the served and the installed files, the
// uninstall entry, the shortcut, the installation log.
//   NX_E2E_WWW  the folder the server serves (a Unix path; "deri_vere/" below it)
//   NX_E2E_LOG  the server's access log (a Unix path), when there is a server
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "setup/Application.h"
#include "setup/InstallRun.h"
#include "setup/Registration.h"
#include "setup/TestFiles.h"
#include "setup/driver/SetupDriver.h"

namespace e2e {
namespace fs = std::filesystem;

// The product files the run fetches before the version file, in order.
inline const char* const kFilesBeforeTheVersionFile[] = {"uninstall.exe", "libmySQL50.dll", "libmysql.dll",
                                                         "auto_up.exe"};
// The five product files it installs as they are served (the version file is rewritten).
inline const char* const kProductFiles[] = {"uninstall.exe", "libmySQL50.dll", "libmysql.dll", "auto_up.exe",
                                            "mrwgt.exe"};

inline std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

inline fs::path ServedFile(const std::string& name) {
    return fs::path(WindowsPath(Env("NX_E2E_WWW") + "/deri_vere/" + name));
}

inline fs::path InstallDir() {
    return fs::path(LocalAppDataPath()) / L"Brindlewick" / L"Marrowgate";
}

inline fs::path Installed(const std::string& name) {
    return InstallDir() / name;
}

inline fs::path ShortcutFile() {
    return fs::path(DesktopFolder()) / L"루멘타.lnk";
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

inline std::vector<fs::path> PartFiles() {
    std::vector<fs::path> parts;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(InstallDir(), error))
        if (entry.path().extension() == ".part") parts.push_back(entry.path());
    return parts;
}

// Every product file byte for byte as the server has it, the version file with CR LF ends,
// nothing half-written, the uninstall entry and the shortcut in place.
inline void ExpectInstalledAsServed() {
    for (const char* name : kProductFiles)
        EXPECT_TRUE(ReadAll(Installed(name)) == ReadAll(ServedFile(name)))
            << name << " differs from the server's";
    EXPECT_EQ(ReadAll(Installed("r_ver.txt")), VersionFileText(ReadAll(ServedFile("r_ver.txt"))));
    EXPECT_TRUE(PartFiles().empty());
    EXPECT_TRUE(IsRegistered());
    EXPECT_TRUE(fs::exists(ShortcutFile()));
}

// The installed stand-in noted its start ("<command line>\r\n<working directory>\r\n" in
// mrwgt.ran) within the time, and it was started in the install folder, as its shortcut does.
inline void ExpectStartedInTheInstallFolder(DWORD milliseconds) {
    std::string note;
    for (DWORD waited = 0; waited <= milliseconds; waited += 50) {
        note = ReadAll(Installed("mrwgt.ran"));
        if (std::count(note.begin(), note.end(), '\n') >= 2) break;
        Sleep(50);
    }
    const size_t first = note.find("\r\n");
    ASSERT_NE(first, std::string::npos) << "the installed program was not started";
    const std::wstring folder = AnsiToWide(note.substr(first + 2, note.find("\r\n", first + 2) - first - 2));
    EXPECT_EQ(CompareStringOrdinal(folder.c_str(), -1, InstallDir().wstring().c_str(), -1, TRUE), CSTR_EQUAL)
        << "started in " << WideToAnsi(folder);
}

// NX_E2E_PLANTED: how many libraries run.sh planted beside Setup.exe. None may have been
// loaded: the planted library notes its loading in "<name>.loaded" beside itself.
inline void ExpectNoPlantedLibraryLoaded() {
    size_t planted = 0;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fs::path(SetupExe()).parent_path(), error)) {
        if (entry.path().extension() == ".loaded") ADD_FAILURE() << entry.path().filename() << " was loaded";
        planted += entry.path().extension() == ".dll";
    }
    EXPECT_EQ(std::to_string(planted), Env("NX_E2E_PLANTED")) << "libraries beside Setup.exe";
}

// The newest installation log in the temporary folder, its text; empty when there is none.
inline std::string NewestInstallLog() {
    char temp[MAX_PATH + 1] = {};
    GetTempPathA(MAX_PATH, temp);
    fs::path newest;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fs::path(temp), error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("Marrowgate-Setup-", 0) != 0) continue;
        if (newest.empty() || fs::last_write_time(entry.path(), error) >= fs::last_write_time(newest, error))
            newest = entry.path();
    }
    return newest.empty() ? std::string() : ReadAll(newest);
}

// This user's Internet Options for as long as the object lives, where WinINet and WinHTTP read
// them: the binary DefaultConnectionSettings (and its copy SavedLegacySettings). settings: "fixed
// HOST:PORT" (bypass "<local>") or "pac URL".
class TInternetOptionsInRegistry {
public:
    explicit TInternetOptionsInRegistry(const std::string& settings) {
        const bool pac = settings.rfind("pac ", 0) == 0;
        const std::string value = settings.substr(settings.find(' ') + 1);
        std::string blob;
        const auto dword = [&](size_t v) {
            for (int i = 0; i < 4; ++i)
                blob += static_cast<char>((v >> (8 * i)) & 0xFF);
        };
        // Version, counter, flags (1 always, 2 a fixed proxy, 4 a script, 8 detection), then the
        // proxy, the bypass list and the script's URL, each after its length.
        dword(0x46), dword(1), dword(pac ? 1 | 4 : 1 | 2);
        for (const std::string& text :
             {pac ? "" : value, std::string(pac ? "" : "<local>"), pac ? value : ""})
            dword(text.size()), blob += text;
        blob += std::string(32, '\0');
        RegCreateKeyExA(HKEY_CURRENT_USER, kConnections, 0, nullptr, 0, KEY_WRITE, nullptr, &FKey, nullptr);
        for (const char* name : kValues)
            RegSetValueExA(FKey, name, 0, REG_BINARY, reinterpret_cast<const BYTE*>(blob.data()),
                           static_cast<DWORD>(blob.size()));
    }
    ~TInternetOptionsInRegistry() {
        for (const char* name : kValues)
            RegDeleteValueA(FKey, name);
        RegCloseKey(FKey);
    }
    TInternetOptionsInRegistry(const TInternetOptionsInRegistry&) = delete;
    TInternetOptionsInRegistry& operator=(const TInternetOptionsInRegistry&) = delete;

private:
    static constexpr const char* kConnections =
        "Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";
    static constexpr const char* kValues[] = {"DefaultConnectionSettings", "SavedLegacySettings"};
    HKEY FKey = nullptr;
};

inline void DismissBox(const TBox& box) {
    PostMessageW(box.Window, WM_COMMAND, IDOK, 0);
    for (int i = 0; i < 100 && IsWindow(box.Window); ++i)
        Sleep(50);
}
} // namespace e2e
