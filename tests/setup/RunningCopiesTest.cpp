#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <vector>

#include "setup/RunningCopies.h"
#include "setup/driver/SetupDriver.h"

namespace {
constexpr DWORD kOurSession = 1;
const std::wstring kProgram = L"C:\\users\\kim\\AppData\\Local\\Brindlewick\\Marrowgate\\mrwgt.exe";

struct TFakeProcess {
    DWORD Id;
    const char* ExeFile;
    DWORD Session = kOurSession;
    bool Installed = true; // runs the installed file
    bool CanOpen = true;
    bool Windows = false; // has windows to ask
    bool Closes = false;  // ends when they are asked to close
    bool CanTerminate = true;
};

// A snapshot of made-up processes that records what the walk does with them.
struct TFakeSystem {
    std::vector<TFakeProcess> Processes;
    bool SnapshotFails = false;
    size_t Next = 0;
    std::vector<DWORD> Opened, Asked, Terminated;
    std::vector<HANDLE> Closed;
    int Failures = 0;
    DWORD EntrySize = 0;

    static HANDLE HandleOf(DWORD id, DWORD access) {
        return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(id * 16 + (access == PROCESS_TERMINATE)));
    }
    const TFakeProcess* Find(DWORD id) const {
        for (const auto& p : Processes)
            if (p.Id == id) return &p;
        return nullptr;
    }
    const TFakeProcess* Of(HANDLE handle) const {
        return Find(static_cast<DWORD>(reinterpret_cast<uintptr_t>(handle) / 16));
    }

    TProcessApi Api() {
        TProcessApi api;
        api.CreateSnapshot = [this](DWORD flags, DWORD id) {
            EXPECT_EQ(flags, 2u); // processes only
            EXPECT_EQ(id, 0u);
            return SnapshotFails ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(0x77);
        };
        auto fill = [this](TProcessEntryA* entry) {
            if (Next >= Processes.size()) return FALSE;
            entry->th32ProcessID = Processes[Next].Id;
            std::memset(entry->szExeFile, 'x', sizeof(entry->szExeFile)); // only up to the NUL counts
            std::strcpy(entry->szExeFile, Processes[Next].ExeFile);
            ++Next;
            return TRUE;
        };
        api.First = [this, fill](HANDLE, TProcessEntryA* entry) {
            EntrySize = entry->dwSize;
            Next = 0;
            return fill(entry);
        };
        api.Next = [fill](HANDLE, TProcessEntryA* entry) { return fill(entry); };
        api.SessionOf = [this](DWORD id, DWORD* session) {
            const TFakeProcess* p = Find(id);
            *session = p ? p->Session : kOurSession;
            return true;
        };
        api.OpenProcess = [this](DWORD access, DWORD id) -> HANDLE {
            // Never more than the step needs.
            EXPECT_TRUE(access == (PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE) ||
                        access == PROCESS_TERMINATE)
                << std::hex << access;
            if (access != PROCESS_TERMINATE) Opened.push_back(id);
            const TFakeProcess* p = Find(id);
            return p && p->CanOpen ? HandleOf(id, access) : nullptr;
        };
        api.RunsImage = [this](HANDLE process, const std::wstring& path) {
            EXPECT_EQ(path, kProgram);
            return Of(process)->Installed;
        };
        api.CloseWindows = [this](DWORD id) {
            if (!Find(id)->Windows) return false;
            Asked.push_back(id);
            return true;
        };
        api.WaitForEnd = [this](HANDLE process, DWORD) {
            const TFakeProcess* p = Of(process);
            return std::find(Terminated.begin(), Terminated.end(), p->Id) != Terminated.end() ||
                   (p->Closes && std::find(Asked.begin(), Asked.end(), p->Id) != Asked.end());
        };
        api.TerminateProcess = [this](HANDLE process, UINT code) -> BOOL {
            EXPECT_EQ(code, 0u);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(process) % 16, 1u) << "a handle that may end it";
            const TFakeProcess* p = Of(process);
            if (!p->CanTerminate) return FALSE;
            Terminated.push_back(p->Id);
            return TRUE;
        };
        api.CloseHandle = [this](HANDLE handle) {
            Closed.push_back(handle);
            return TRUE;
        };
        api.ReportFailure = [this] { ++Failures; };
        return api;
    }
};
} // namespace

TEST(RunningCopies, TrimRemovesBlanksAndControlCharactersAtBothEnds) {
    EXPECT_EQ(TrimControls(" \t mrwgt.exe\r\n"), "mrwgt.exe");
    EXPECT_EQ(TrimControls("a b"), "a b");
    EXPECT_EQ(TrimControls("\x01\x1f \x20"), "");
    EXPECT_EQ(TrimControls("\xb7\xe7.exe "), "\xb7\xe7.exe"); // bytes above 127 are text
}

TEST(RunningCopies, StopsOnlyTheInstalledProgramInThisSessionAndReportsEachFailure) {
    const struct {
        const char* Name;
        std::vector<TFakeProcess> Processes;
        std::vector<DWORD> Opened, Asked, Terminated;
        int Failures;
    } cases[] = {
        {"nothing running", {{4, "explorer.exe"}, {8, "Setup.exe"}}, {}, {}, {}, 0},
        {"two copies", {{4, "mrwgt.exe"}, {8, "other.exe"}, {12, "mrwgt.exe"}}, {4, 12}, {}, {4, 12}, 0},
        {"case and folder differ",
         {{4, "MRWGT.EXE"}, {8, "Mrwgt.exe"}, {12, "C:\\x\\mrwgt.exe"}, {16, "mrwgt.exe.bak"}},
         {},
         {},
         {},
         0},
        {"blanks around the name", {{4, " mrwgt.exe\t"}}, {4}, {}, {4}, 0},
        {"another session's copy", {{4, "mrwgt.exe", 2}}, {}, {}, {}, 0},
        {"another file of the name", {{4, "mrwgt.exe", kOurSession, false}}, {4}, {}, {}, 0},
        {"closes when asked", {{4, "mrwgt.exe", kOurSession, true, true, true, true}}, {4}, {4}, {}, 0},
        {"stays when asked", {{4, "mrwgt.exe", kOurSession, true, true, true, false}}, {4}, {4}, {4}, 0},
        {"cannot be looked at",
         {{4, "mrwgt.exe", kOurSession, true, false}, {8, "mrwgt.exe"}},
         {4, 8},
         {},
         {8},
         1},
        {"refuses to end",
         {{4, "mrwgt.exe", kOurSession, true, true, false, false, false}, {8, "mrwgt.exe"}},
         {4, 8},
         {},
         {8},
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TFakeSystem system;
        system.Processes = c.Processes;
        StopRunningCopies(kProgram, system.Api());
        EXPECT_EQ(system.EntrySize, 296u);
        EXPECT_EQ(system.Opened, c.Opened);
        EXPECT_EQ(system.Asked, c.Asked);
        EXPECT_EQ(system.Terminated, c.Terminated);
        EXPECT_EQ(system.Failures, c.Failures);
        // Every handle obtained is closed, the snapshot last.
        size_t handles = 0;
        for (DWORD id : c.Opened)
            handles += system.Find(id)->CanOpen;
        for (const auto& p : c.Processes)
            handles += p.Installed && p.CanOpen && !(p.Windows && p.Closes) &&
                       std::find(c.Opened.begin(), c.Opened.end(), p.Id) != c.Opened.end();
        ASSERT_EQ(system.Closed.size(), handles + 1);
        EXPECT_EQ(system.Closed.back(), reinterpret_cast<HANDLE>(0x77));
    }
}

// Real processes under the system's own snapshot: copies of our stand-in. Only the one that
// runs the installed file is stopped; another file of the same name, elsewhere, and one named
// in capitals keep running.
TEST(RunningCopies, StopsTheInstalledCopyButNotAnotherFileOfItsName) {
    namespace fs = std::filesystem;
    const fs::path base = fs::temp_directory_path() / "nx-running-copies";
    fs::remove_all(base);
    for (const char* folder : {"a", "b", "c"})
        fs::create_directories(base / folder);
    const fs::path standin = fs::path(WindowsPath(NX_STANDIN_EXE));
    const fs::path copies[] = {base / "a" / "mrwgt.exe", base / "b" / "mrwgt.exe", base / "c" / "MRWGT.EXE"};
    for (const fs::path& copy : copies)
        fs::copy_file(standin, copy, fs::copy_options::overwrite_existing);

    std::vector<TChildProcess> running;
    for (const fs::path& copy : copies) {
        running.emplace_back(copy.wstring(), L"--wait 60000");
        ASSERT_TRUE(running.back().Started()) << copy;
    }
    // Wait (bounded) until each copy has started: it notes that it ran.
    for (const fs::path& copy : copies) {
        fs::path marker = copy;
        marker += ".ran";
        for (int i = 0; i < 200 && !fs::exists(marker); ++i)
            Sleep(25);
        ASSERT_TRUE(fs::exists(marker)) << marker;
    }

    TProcessApi api = SystemProcessApi();
    int failures = 0;
    api.ReportFailure = [&] { ++failures; };
    StopRunningCopies(copies[0].wstring(), api);

    EXPECT_EQ(running[0].WaitForExit(0), 0u) << "ended before the walk returned";
    EXPECT_FALSE(running[1].WaitForExit(500).has_value()) << "another file of the name";
    EXPECT_FALSE(running[2].WaitForExit(0).has_value()) << "MRWGT.EXE differs in letter case";
    EXPECT_EQ(failures, 0);
    running.clear(); // stops the ones left running
    std::error_code ignored;
    fs::remove_all(base, ignored);
}
