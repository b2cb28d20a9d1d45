#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "http/NxGlobal.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

using TEnvironment = std::vector<std::pair<std::string, std::string>>;

namespace {

std::string GetEnv(const std::string& name, bool& present) {
#ifdef _WIN32
    char buf[4096];
    const DWORD n = GetEnvironmentVariableA(name.c_str(), buf, sizeof buf);
    present = n > 0 && n < sizeof buf;
    return present ? std::string(buf, n) : std::string();
#else
    const char* v = std::getenv(name.c_str());
    present = v != nullptr;
    return v ? v : "";
#endif
}

void PutEnv(const std::string& name, const std::string* value) {
#ifdef _WIN32
    SetEnvironmentVariableA(name.c_str(), value ? value->c_str() : nullptr);
#else
    if (value)
        setenv(name.c_str(), value->c_str(), 1);
    else
        unsetenv(name.c_str());
#endif
}

unsigned long ProcessId() {
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(getpid());
#endif
}

// Reads the child's outcome ("pass" or "fail") from the mark file; empty while none.
std::string Outcome(const std::filesystem::path& mark) {
    std::ifstream in(mark);
    std::string word;
    in >> word;
    return word == "pass" || word == "fail" ? word : std::string();
}

// Starts this executable on one test (with the environment as it now is) and waits at
// most 60 seconds for its outcome in the mark file.
std::string SpawnSelf(const std::string& filter, const std::filesystem::path& mark) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
#ifdef _WIN32
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string args = std::string("\"") + path + "\" --gtest_brief=1 --gtest_filter=" + filter;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    // Wine gives a Windows child the Unix environment of its parent, so a changed TZ would
    // not reach it; the Unix wine loader started as a program gets the Windows environment
    // as its own. It gives no process handle: the mark file tells when the child is done.
    const bool underWine = GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
    std::string cmd = underWine ? "wine " + args : args;
    const char* program = underWine ? "Z:\\usr\\bin\\wine" : path;
    if (!CreateProcessA(program, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return {};
    if (pi.hThread) CloseHandle(pi.hThread);
    if (pi.hProcess) {
        WaitForSingleObject(pi.hProcess, 60000);
        CloseHandle(pi.hProcess);
    }
    std::string outcome;
    while ((outcome = Outcome(mark)).empty() && std::chrono::steady_clock::now() < deadline)
        Sleep(20);
    return outcome;
#else
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const std::string arg = "--gtest_filter=" + filter;
    char brief[] = "--gtest_brief=1";
    char* argv[] = {const_cast<char*>(self.c_str()), brief, const_cast<char*>(arg.c_str()), nullptr};
    pid_t pid;
    if (posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, environ) != 0) return {};
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return Outcome(mark);
#endif
}

} // namespace

// For what a process takes at its start (its time zone under Windows, its code page):
// in the parent, reruns the current test in a child process with the given environment
// and expects the child to pass; in a child whose environment is this one, runs body and
// records the outcome for the parent.
void RunInChild(const TEnvironment& environment, const std::function<void()>& body) {
    bool isChild;
    const std::string markName = GetEnv("NX_CHILD_MARK", isChild);
    if (isChild) {
        for (const auto& [name, value] : environment) {
            bool present;
            if (GetEnv(name, present) != value || !present) return; // another row's child
        }
        body();
        std::ofstream(markName) << (::testing::Test::HasFailure() ? "fail" : "pass");
        return;
    }
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string filter = std::string(info->test_suite_name()) + "." + info->name();
    const auto mark = std::filesystem::temp_directory_path() /
                      ("nx-child-" + std::to_string(ProcessId()) + "-" +
                       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    TEnvironment all = environment;
    all.emplace_back("NX_CHILD_MARK", mark.string());
    std::vector<std::pair<bool, std::string>> saved;
    for (const auto& [name, value] : all) {
        bool present;
        std::string old = GetEnv(name, present);
        saved.emplace_back(present, old);
        PutEnv(name, &value);
    }
    // The child runs this one test: a shard of a sharded run would filter it away.
    const std::string shardNames[] = {"GTEST_SHARD_INDEX", "GTEST_TOTAL_SHARDS"};
    std::vector<std::pair<bool, std::string>> shards;
    for (const std::string& name : shardNames) {
        bool present;
        shards.emplace_back(false, GetEnv(name, present));
        shards.back().first = present;
        PutEnv(name, nullptr);
    }
    const std::string outcome = SpawnSelf(filter, mark);
    for (size_t i = 0; i < all.size(); ++i)
        PutEnv(all[i].first, saved[i].first ? &saved[i].second : nullptr);
    for (size_t i = 0; i < shards.size(); ++i)
        PutEnv(shardNames[i], shards[i].first ? &shards[i].second : nullptr);
    std::error_code ignored;
    std::filesystem::remove(mark, ignored);
    std::string described;
    for (const auto& [name, value] : environment)
        described += " " + name + "=" + value;
    EXPECT_EQ(outcome, "pass") << filter << " in a child with" << described
                               << (outcome.empty() ? ": no outcome within 60 s" : "");
}

namespace {

// Restores the code page chosen at start after each test that picks one.
class CodePage : public ::testing::Test {
protected:
    void TearDown() override { NxResetCodePage(); }
};

const char Separators[] = {'/', '\\', '?', '=', '#', ':', '@'};

} // namespace

TEST_F(CodePage, LeadBytesOf949AndSingleByteCodePages) {
    NxSetCodePage(949);
    EXPECT_EQ(NxCodePage(), 949u);
    EXPECT_TRUE(NxHasLeadBytes());
    for (int b = 0; b < 256; ++b)
        EXPECT_EQ(NxIsLeadByte(static_cast<char>(b)), b >= 0x81 && b <= 0xFE) << "byte " << b;
    for (uint32_t cp : {1252u, 65001u}) {
        NxSetCodePage(cp);
        EXPECT_FALSE(NxHasLeadBytes()) << cp;
        EXPECT_FALSE(NxIsLeadByte('\x81')) << cp;
    }
}

TEST_F(CodePage, SeparatorAfterALeadByteIsNotMatched) {
    for (char sep : Separators) {
        const std::string s(1, sep);
        for (char lead : {'\x81', '\xB0', '\xFE'}) {
            // x <lead> <sep> y <sep>
            const std::string text = std::string("x") + lead + s + "y" + s;
            NxSetCodePage(949);
            EXPECT_EQ(NxPos(s, text), 4u) << "949, separator " << sep;
            std::string rest = text;
            EXPECT_EQ(Fetch(rest, s), text.substr(0, 4));
            EXPECT_EQ(rest, "");
            NxSetCodePage(1252);
            EXPECT_EQ(NxPos(s, text), 2u) << "1252, separator " << sep;
        }
    }
    // Korean text (CP949 bytes of "가나/다") parses the same under both.
    const std::string korean = "\xB0\xA1\xB3\xAA/\xB4\xD9";
    for (uint32_t cp : {949u, 1252u}) {
        NxSetCodePage(cp);
        EXPECT_EQ(NxPos("/", korean), 4u) << cp;
        EXPECT_EQ(NxPos("/", korean, 5), std::string::npos) << cp;
    }
}

TEST(NxGlobal, FetchSplitsAtTheFirstDelimiter) {
    struct Row {
        const char *text, *delimiter, *part, *rest;
    };
    const Row rows[] = {
        {"a=b=c", "=", "a", "b=c"},           {"abc", "=", "abc", ""}, {"=x", "=", "", "x"},
        {"a\r\nb\r\n", "\r\n", "a", "b\r\n"}, {"", ";", "", ""},       {"k://v", "://", "k", "v"},
    };
    for (const Row& row : rows) {
        std::string text = row.text;
        EXPECT_EQ(Fetch(text, row.delimiter), row.part) << row.text;
        EXPECT_EQ(text, row.rest) << row.text;
        EXPECT_EQ(FetchPeek(row.text, row.delimiter), row.part) << row.text;
    }
}

TEST(NxGlobal, TrimsRemoveBlanksAndControlCharacters) {
    const std::string text = std::string("\x00\t\r\n \x7F", 6) + "a \xA0"
                                                                 "b\x1F \x01";
    EXPECT_EQ(Trim(text), "a \xA0"
                          "b");
    EXPECT_EQ(TrimLeft(text), "a \xA0"
                              "b\x1F \x01");
    EXPECT_EQ(TrimRight(text), std::string("\x00\t\r\n \x7F", 6) + "a \xA0"
                                                                   "b");
    EXPECT_EQ(Trim("\xB0\xA1"), "\xB0\xA1") << "bytes of 0x80 and up stay";
    EXPECT_EQ(Trim(" \t "), "");
}

TEST_F(CodePage, UpperCaseLeavesDoubleByteCharactersWhole) {
    NxSetCodePage(949);
    EXPECT_EQ(UpperCase("content-type \x81z\xB0\xA1"), "CONTENT-TYPE \x81z\xB0\xA1");
    NxSetCodePage(1252);
    EXPECT_EQ(UpperCase("a\x81z\xE9"), "A\x81Z\xE9");
}

TEST(NxGlobal, CompareTextIgnoresAsciiCase) {
    EXPECT_EQ(NxCompareText("Content-Type", "CONTENT-type"), 0);
    EXPECT_TRUE(NxSameText("set-cookie2", "Set-Cookie2"));
    EXPECT_FALSE(NxSameText("Set-Cookie", "Set-Cookie2"));
    EXPECT_LT(NxCompareText("abc", "ABD"), 0);
    EXPECT_GT(NxCompareText("b", "A"), 0);
    EXPECT_TRUE(NxSameText("\xB0\xA1.kr", "\xB0\xA1.KR"));
    EXPECT_FALSE(NxSameText("\xB0\xA1", "\xB0\xA2"));
#ifndef _WIN32
    // Natively only ASCII folds.
    EXPECT_FALSE(NxSameText("\xE9", "\xC9"));
#endif
}

TEST(NxGlobal, StrToIntDefTakesWholeDecimalsOnly) {
    struct Row {
        const char* text;
        int32_t value;
    };
    const Row rows[] = {{"42", 42},
                        {"  -7", -7},
                        {"+3", 3},
                        {"2147483647", 2147483647},
                        {"-2147483648", INT32_MIN},
                        {"2147483648", -1},
                        {"12a", -1},
                        {"", -1},
                        {"-", -1},
                        {"1 ", -1},
                        {"0x10", -1}};
    for (const Row& row : rows)
        EXPECT_EQ(StrToIntDef(row.text, -1), row.value) << row.text;
    EXPECT_EQ(StrToInt64Def("9223372036854775807", 0), INT64_MAX);
    EXPECT_EQ(StrToInt64Def("9223372036854775808", 0), 0);
}

TEST(NxCodePageStart, ChosenFromTheSystem) {
#ifdef _WIN32
    EXPECT_EQ(NxCodePage(), GetACP());
    if (GetACP() == 949) {
        EXPECT_TRUE(NxHasLeadBytes());
        EXPECT_TRUE(NxIsLeadByte('\x81'));
        EXPECT_FALSE(NxIsLeadByte('\xFF'));
    }
#else
    struct Row {
        const char* locale;
        uint32_t codePage;
    };
    // Korean locales need not be installed: the codeset of the name decides then.
    const Row rows[] = {{"ko_KR.EUC-KR", 949}, {"ko_KR.CP949", 949}, {"C.UTF-8", 65001}, {"C", 20127}};
    for (const Row& row : rows) {
        RunInChild({{"LC_ALL", row.locale}}, [&row] {
            EXPECT_EQ(NxCodePage(), row.codePage) << row.locale;
            EXPECT_EQ(NxHasLeadBytes(), row.codePage == 949) << row.locale;
        });
    }
#endif
}
