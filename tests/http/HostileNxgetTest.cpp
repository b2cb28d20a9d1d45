// nxget against hostile servers: whatever the server does wrong, the download fails
// with a non-zero exit and leaves no file behind.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "support/ScriptedServer.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/wait.h>
#endif

namespace fs = std::filesystem;

namespace {

fs::path Nxget() {
#if defined(_WIN32)
    char name[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, name, MAX_PATH);
    return fs::path(name).parent_path().parent_path() / "tools" / "nxget" / "nxget.exe";
#else
    return fs::read_symlink("/proc/self/exe").parent_path().parent_path() / "tools" / "nxget" / "nxget";
#endif
}

int RunNxget(const fs::path& file, const std::string& url, const fs::path& log,
             const std::string& options = {}) {
    // Appended piece by piece: "text" + temporary trips a false -Wrestrict in mingw's GCC 12.
    std::string command = "\"";
    command += Nxget().string();
    command += "\" " + options;
    command += " -o \"" + file.string() + "\" \"" + url + "\" > \"" + log.string() + "\" 2>&1";
#if defined(_WIN32)
    return std::system(("\"" + command + "\"").c_str());
#else
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

} // namespace

TEST(HostileNxget, FailedDownloadsWriteNoFile) {
    ASSERT_TRUE(fs::exists(Nxget())) << Nxget();
    const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::string cases[] = {
        "garbage\r\n\r\nbody",
        "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly part of it",
        chunked + "10\r\nabc",
        chunked + "3\r\nabc\r\n",
        chunked + "80000000\r\n",
        chunked + "3\r\nabc\r\nzz\r\n\r\n",
        "HTTP/1.1 200 OK\r\nX: " + std::string(20000, 'x') + "\r\n\r\n",
        "HTTP/1.1 200 OK\r\nContent-Len",
        "",
    };
    const fs::path dir =
        fs::temp_directory_path() /
        ("hostile-nxget-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    int n = 0;
    for (const std::string& response : cases) {
        // With --retry the server does it again on the next connection: a retried download
        // must fail the same way, and a resumed one must not turn a broken body into a file.
        for (const char* options : {"", "--retry 1 --retry-max-wait 10 --read-timeout 3000"}) {
            SCOPED_TRACE(response.substr(0, 60) + " " + options);
            nxtest::ScriptedServer server;
            server.ExpectReceived("\r\n\r\n")
                .Send(response)
                .Close()
                .Accept(3000)
                .ExpectReceived("\r\n\r\n")
                .Send(response)
                .Close();
            server.Start();
            const fs::path file = dir / ("file" + std::to_string(n++) + ".bin");
            const int code = RunNxget(file, "http://127.0.0.1:" + std::to_string(server.Port()) + "/f.bin",
                                      dir / "log.txt", options);
            EXPECT_NE(code, 0);
            EXPECT_FALSE(fs::exists(file));
        }
    }
    // The same run against a sound server does write the file, so the checks above see
    // nxget at work and not a command that never ran.
    nxtest::ScriptedServer sound;
    sound.ExpectReceived("\r\n\r\n").Send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok").Close();
    sound.Start();
    const fs::path good = dir / "good.bin";
    EXPECT_EQ(RunNxget(good, "http://127.0.0.1:" + std::to_string(sound.Port()) + "/f.bin", dir / "log.txt"),
              0);
    EXPECT_TRUE(fs::exists(good));
    EXPECT_EQ(fs::exists(good) ? fs::file_size(good) : 0u, 2u);
    std::error_code ec;
    fs::remove_all(dir, ec);
}
