// The client against a real web server: Debian's nginx, started on a free loopback port
// with a throw-away configuration and stopped by the test. Native target only.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/Stream.h"
#include "http/NxHTTP.h"
#include "support/LocalServers.h"
#include "support/NxgetRun.h"
#include "support/ScriptedServer.h"

namespace fs = std::filesystem;

namespace {

using nxtest::NginxServer;
using nxtest::ReadFile;

void WriteFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

class NginxTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(NginxServer::Program)) GTEST_SKIP() << NginxServer::Program << " is not installed";
        dir = fs::temp_directory_path() / ("nx-nginx-" + std::to_string(getpid()) + "-" +
                                           ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "www" / "deri_vere");
        // nginx reads the files as whatever user it runs as.
        fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec);
        std::mt19937 rng(1234);
        for (size_t size :
             {size_t(1), size_t(2), size_t(100), size_t(1023), size_t(4096), size_t(32767), size_t(32768),
              size_t(32769), size_t(65536), size_t(100000), size_t(250001), size_t(1) << 20}) {
            std::string bytes(size, '\0');
            for (auto& ch : bytes)
                ch = static_cast<char>(rng());
            const std::string name = "f" + std::to_string(size) + ".bin";
            WriteFile(dir / "www" / "deri_vere" / name, bytes);
            files.emplace_back(name, bytes);
        }
        nginx = std::make_unique<NginxServer>(dir);
        ASSERT_TRUE(nginx->Start(dir / "www")) << nginx->ErrorLog();
        http.ReadTimeout = 10000; // bounded; the installer's 0 would wait without limit
        http.Request().SetContentLength(0);
        http.Request().SetContentType("text/html");
        http.Request().SetAccept("text/html, */*");
    }
    void TearDown() override {
        http.CloseConnection();
        nginx.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(nginx->Port()) + path;
    }

    fs::path dir;
    std::vector<std::pair<std::string, std::string>> files;
    std::unique_ptr<NginxServer> nginx;
    TNxHTTP http;
};

} // namespace

// One shared buffer, rewound after each file as the installer does: each body ends up
// byte for byte with exactly its own length, and every file travels on one connection.
TEST_F(NginxTest, ManyFilesOverOneKeptConnection) {
    TMemoryStream shared;
    for (int round = 0; round < 2; ++round) {
        for (const auto& [name, bytes] : files) {
            SCOPED_TRACE(name);
            http.GetInto(Url("//deri_vere/" + name), &shared);
            ASSERT_EQ(shared.Size(), static_cast<int64_t>(bytes.size()));
            EXPECT_TRUE(shared.ToString() == bytes) << "body differs";
            EXPECT_EQ(http.StatusLine(), "HTTP/1.1 200 OK");
            shared.SetPosition(0);
        }
    }
    const auto ids = nginx->LoggedConnections(2 * files.size());
    EXPECT_EQ(ids.size(), 2 * files.size());
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 1u) << "connections were not reused";
}

TEST_F(NginxTest, NotFoundAndMovedFailOnAKeptConnection) {
    TMemoryStream ms;
    ms.WriteString("previous");
    try {
        http.GetInto(Url("//deri_vere/missing.exe"), &ms);
        FAIL() << "404 accepted";
    } catch (const ENxHTTPProtocolException& e) {
        EXPECT_EQ(e.Message(), "HTTP/1.1 404 Not Found");
        EXPECT_EQ(e.ReplyCode(), 404);
        EXPECT_NE(e.ErrorBody().find("<title>404 Not Found</title>"), std::string::npos) << e.ErrorBody();
    }
    try {
        http.GetInto(Url("/deri_vere"), &ms); // a folder without its slash
        FAIL() << "301 accepted";
    } catch (const ENxHTTPProtocolException& e) {
        EXPECT_EQ(e.Message(), "HTTP/1.1 301 Moved Permanently");
        EXPECT_EQ(e.ReplyCode(), 301);
        EXPECT_EQ(http.Response().Location(), Url("/deri_vere/"));
    }
    EXPECT_EQ(ms.ToString(), "previous");
    ms.SetPosition(0);
    http.GetInto(Url("//deri_vere/f100.bin"), &ms);
    EXPECT_EQ(ms.Size(), 100);
    const auto ids = nginx->LoggedConnections(3);
    ASSERT_EQ(ids.size(), 3u);
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 1u);
}

// The tool end to end: every file lands byte for byte under its name, the failed URL
// leaves nothing, and all of it goes over one connection.
TEST_F(NginxTest, NxgetFetchesIntoFiles) {
    ASSERT_TRUE(fs::exists(nxtest::NxgetProgram())) << nxtest::NxgetProgram();
    fs::create_directories(dir / "out");
    std::vector<std::string> args;
    for (const auto& [name, bytes] : files)
        args.insert(args.end(), {"-o", (dir / "out" / name).string()});
    args.insert(args.end(), {"-o", (dir / "out" / "missing.bin").string()});
    for (const auto& [name, bytes] : files)
        args.push_back(Url("//deri_vere/" + name));
    args.push_back(Url("//deri_vere/missing.bin"));
    const nxtest::NxgetOutcome run = nxtest::RunNxget(args, dir);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    for (const auto& [name, bytes] : files)
        EXPECT_TRUE(ReadFile(dir / "out" / name) == bytes) << name;
    EXPECT_FALSE(fs::exists(dir / "out" / "missing.bin"));
    EXPECT_EQ(
        static_cast<size_t>(std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator())),
        files.size())
        << "no temporary files are left";
    const std::string& err = run.err;
    EXPECT_NE(err.find(Url("//deri_vere/f1048576.bin") + ": HTTP/1.1 200 OK (1048576 bytes)\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find(Url("//deri_vere/missing.bin") +
                       ": ENxHTTPProtocolException: HTTP/1.1 404 Not Found [ReplyCode 404]\n"),
              std::string::npos)
        << err;
    const auto ids = nginx->LoggedConnections(files.size() + 1);
    EXPECT_EQ(ids.size(), files.size() + 1);
    EXPECT_EQ(std::set<std::string>(ids.begin(), ids.end()).size(), 1u);
}

#endif
