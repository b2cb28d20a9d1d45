#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "setup/RunningCopies.h"
#include "setup/driver/SetupDriver.h"

namespace {
struct TFakeProcess {
    DWORD Id;
    const char* ExeFile;
    bool CanOpen = true;
    bool CanTerminate = true;
};

// A snapshot of made-up processes that records what the walk does with them.
struct TFakeSystem {
    std::vector<TFakeProcess> Processes;
    bool SnapshotFails = false;
    size_t Next = 0;
    std::vector<DWORD> Opened, Terminated;
    std::vector<HANDLE> Closed;
    int Failures = 0;
    DWORD EntrySize = 0;

    static HANDLE HandleOf(DWORD id) { return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x1000 + id)); }

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
        api.OpenProcess = [this](DWORD access, BOOL inherit, DWORD id) -> HANDLE {
            EXPECT_EQ(access, 0x1F0FFFu);
            EXPECT_TRUE(inherit);
            Opened.push_back(id);
            for (const auto& p : Processes)
                if (p.Id == id && p.CanOpen) return HandleOf(id);
            return nullptr;
        };
        api.TerminateProcess = [this](HANDLE process, UINT code) -> BOOL {
            EXPECT_EQ(code, 0u);
            for (const auto& p : Processes)
                if (process && HandleOf(p.Id) == process && p.CanTerminate) {
                    Terminated.push_back(p.Id);
                    return TRUE;
                }
            return FALSE;
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

TEST(RunningCopies, StopsEveryExactMatchAndReportsEachFailure) {
    const struct {
        const char* Name;
        std::vector<TFakeProcess> Processes;
        std::vector<DWORD> Opened, Terminated;
        int Failures;
    } cases[] = {
        {"nothing running", {{4, "explorer.exe"}, {8, "Setup.exe"}}, {}, {}, 0},
        {"two copies", {{4, "mrwgt.exe"}, {8, "other.exe"}, {12, "mrwgt.exe"}}, {4, 12}, {4, 12}, 0},
        {"case and folder differ",
         {{4, "MRWGT.EXE"}, {8, "Mrwgt.exe"}, {12, "C:\\x\\mrwgt.exe"}, {16, "mrwgt.exe.bak"}},
         {},
         {},
         0},
        {"blanks around the name", {{4, " mrwgt.exe\t"}}, {4}, {4}, 0},
        {"cannot be opened", {{4, "mrwgt.exe", false}, {8, "mrwgt.exe"}}, {4, 8}, {8}, 1},
        {"refuses to end", {{4, "mrwgt.exe", true, false}, {8, "mrwgt.exe", true, false}}, {4, 8}, {}, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TFakeSystem system;
        system.Processes = c.Processes;
        TerminateRunningCopies(" mrwgt.exe ", system.Api());
        EXPECT_EQ(system.EntrySize, 296u);
        EXPECT_EQ(system.Opened, c.Opened);
        EXPECT_EQ(system.Terminated, c.Terminated);
        EXPECT_EQ(system.Failures, c.Failures);
        // Every process handle obtained is closed, then the snapshot, once.
        size_t handles = 0;
        for (const auto& p : c.Processes)
            for (DWORD id : c.Opened)
                handles += (p.Id == id && p.CanOpen);
        ASSERT_EQ(system.Closed.size(), handles + 1);
        EXPECT_EQ(system.Closed.back(), reinterpret_cast<HANDLE>(0x77));
    }
}

TEST(RunningCopies, NoSnapshotMeansNothingHappens) {
    TFakeSystem system;
    system.SnapshotFails = true;
    system.Processes = {{4, "mrwgt.exe"}};
    TerminateRunningCopies("mrwgt.exe", system.Api());
    EXPECT_TRUE(system.Opened.empty());
    EXPECT_TRUE(system.Closed.empty());
    EXPECT_EQ(system.Failures, 0);
}

// Real processes under the system's own snapshot: copies of our stand-in, renamed.
TEST(RunningCopies, StopsBothRunningCopiesButNotOneNamedInCapitals) {
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
    TerminateRunningCopies("mrwgt.exe", api);

    EXPECT_EQ(running[0].WaitForExit(10000), 0u);
    EXPECT_EQ(running[1].WaitForExit(10000), 0u);
    EXPECT_FALSE(running[2].WaitForExit(500).has_value()) << "MRWGT.EXE differs in letter case";
    EXPECT_EQ(failures, 0);
    running.clear(); // stops the one left running
    std::error_code ignored;
    fs::remove_all(base, ignored);
}
