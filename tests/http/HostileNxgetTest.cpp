// nxget against hostile servers: whatever the server does wrong, the download fails
// with a non-zero exit and leaves no file behind.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "support/NxgetRun.h"
#include "support/ScriptedServer.h"

namespace fs = std::filesystem;

namespace {

nxtest::NxgetOutcome Download(const fs::path& dir, const fs::path& file, uint16_t port,
                              std::vector<std::string> args) {
    args.insert(args.end(), {"-o", file.string(), "http://127.0.0.1:" + std::to_string(port) + "/f.bin"});
    return nxtest::RunNxget(args, dir);
}

} // namespace

TEST(HostileNxget, FailedDownloadsWriteNoFile) {
    using namespace std::string_literals;
    ASSERT_TRUE(fs::exists(nxtest::NxgetProgram())) << nxtest::NxgetProgram();
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
        "HTTP/1.1 200 OK\r\nContent-Length: 1O00\r\n\r\n7 bytes",
        "HTTP/1.1 200 OK\r\nContent-Length: 6\r\nContent-Length: 7\r\n\r\n7 bytes",
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n7\r\n7 bytes\r\n0\r\n\r\n",
        "Data\r\nX: y\r\n\r\nbody",
        "HTTP/1.1 200 O\0K\r\nContent-Length: 2\r\n\r\nok"s,
    };
    const fs::path dir =
        fs::temp_directory_path() /
        ("hostile-nxget-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::vector<std::string> plain,
        retried = {"--retry", "1", "--retry-max-wait", "10", "--read-timeout", "3000"};
    int n = 0;
    for (const std::string& response : cases) {
        // With --retry the server does it again on the next connection: a retried download
        // must fail the same way, and a resumed one must not turn a broken body into a file.
        for (const auto* options : {&plain, &retried}) {
            SCOPED_TRACE(response.substr(0, 60) + (options == &retried ? " retried" : ""));
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
            const nxtest::NxgetOutcome o = Download(dir, file, server.Port(), *options);
            EXPECT_NE(o.exitCode, 0);
            EXPECT_FALSE(fs::exists(file));
            EXPECT_EQ(o.err.find('\0'), std::string::npos) << "a control byte reached the outcome line";
        }
    }
    // The same run against a sound server (an odd one) does write the file, so the checks
    // above see nxget at work and not a command that never ran.
    nxtest::ScriptedServer sound;
    sound.ExpectReceived("\r\n\r\n")
        .Send("HTTP/1.1 103 Early Hints\r\n\r\nHTTP/1.1 201 Created\r\nLocation: /f.bin\r\n"
              "Content-Length: 7\r\nTransfer-Encoding: Chunked\r\n\r\n2\r\nok\r\n0\r\nX: 1\r\n\r\n")
        .Close();
    sound.Start();
    const fs::path good = dir / "good.bin";
    EXPECT_EQ(Download(dir, good, sound.Port(), {}).exitCode, 0);
    EXPECT_TRUE(fs::exists(good));
    EXPECT_EQ(fs::exists(good) ? fs::file_size(good) : 0u, 2u);
    std::error_code ec;
    fs::remove_all(dir, ec);
}
