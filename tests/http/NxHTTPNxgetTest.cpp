// nxget run as a program against the scripted loopback server.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/ScriptedServer.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/wait.h>
#endif

namespace fs = std::filesystem;

namespace {

std::string Reply(const std::string& status, const std::string& headers, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

fs::path TestProgram() {
#if defined(_WIN32)
    char name[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, name, MAX_PATH);
    return fs::path(name);
#else
    return fs::read_symlink("/proc/self/exe");
#endif
}

// The build puts nxget under tools/ beside the tests folder.
fs::path NxgetProgram() {
    fs::path dir = TestProgram().parent_path().parent_path() / "tools" / "nxget";
#if defined(_WIN32)
    return dir / "nxget.exe";
#else
    return dir / "nxget";
#endif
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

class NxHTTPNxgetTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("nxget-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir);
        ASSERT_TRUE(fs::exists(NxgetProgram())) << NxgetProgram();
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    static std::string Quote(const std::string& arg) {
#if defined(_WIN32)
        return "\"" + arg + "\"";
#else
        std::string q = "'";
        for (char ch : arg)
            q += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
        return q + "'";
#endif
    }
    Outcome Run(const std::vector<std::string>& args) {
        std::string command = Quote(NxgetProgram().string());
        for (const auto& a : args) {
            command += ' ';
            command += Quote(a);
        }
        const fs::path out = dir / "stdout.txt", err = dir / "stderr.txt";
        command += " > " + Quote(out.string()) + " 2> " + Quote(err.string());
#if defined(_WIN32)
        command = "\"" + command + "\""; // cmd /c strips one pair of outer quotes
#endif
        Outcome o;
        int status = std::system(command.c_str());
#if defined(_WIN32)
        o.exitCode = status;
#else
        o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
        o.out = ReadFile(out);
        o.err = ReadFile(err);
#if defined(_WIN32)
        // Standard error is a text stream there: its line ends are CR LF.
        for (size_t at = o.err.find("\r\n"); at != std::string::npos; at = o.err.find("\r\n", at))
            o.err.erase(at, 1);
#endif
        fs::remove(out);
        fs::remove(err);
        return o;
    }
    std::string Url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(server.Port()) + path;
    }
    // Names in the folder other than the given ones (left-over temporary files).
    std::vector<std::string> Strays(const std::vector<std::string>& expected) const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir)) {
            std::string name = entry.path().filename().string();
            if (std::find(expected.begin(), expected.end(), name) == expected.end()) names.push_back(name);
        }
        return names;
    }

    nxtest::ScriptedServer server;
    fs::path dir;
};

} // namespace

TEST_F(NxHTTPNxgetTest, UrlsInOrderOverOneConnectionWithCookies) {
    std::string binary;
    for (int i = 0; i < 70000; ++i)
        binary += static_cast<char>(i * 31 + 7);
    server.ExpectReceived("/a.bin ")
        .Send(Reply("200 OK", "Set-Cookie: SID=42\r\n", binary))
        .ExpectReceived("/b.txt ")
        .Send(Reply("200 OK", "", "to stdout\r\n"));
    server.Start();
    const fs::path file = dir / "a.bin";
    Outcome o = Run({"-o", file.string(), Url("//d/a.bin"), Url("//d/b.txt")});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(ReadFile(file), binary);
    EXPECT_EQ(o.out, "to stdout\r\n");
    EXPECT_EQ(o.err, Url("//d/a.bin") + ": HTTP/1.1 200 OK (70000 bytes)\n" + Url("//d/b.txt") +
                         ": HTTP/1.1 200 OK (11 bytes)\n");
    ASSERT_TRUE(server.WaitFinished(5000)) << server.Failure();
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_NE(server.Received().find("GET //d/b.txt HTTP/1.1\r\n"), std::string::npos);
    EXPECT_NE(server.Received().find("Cookie: SID=42\r\n"), std::string::npos);
    EXPECT_EQ(Strays({"a.bin"}), std::vector<std::string>{});
}

// A failed download leaves no file, and an existing one as it was.
TEST_F(NxHTTPNxgetTest, FailuresWriteNoFile) {
    server.ExpectReceived("/missing ")
        .Send(Reply("404 Not Found", "", "nothing here"))
        .ExpectReceived("/cut ")
        .Send("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + std::string(1000, 'x'))
        .Close();
    server.Start();
    const fs::path kept = dir / "kept.txt", fresh = dir / "fresh.bin";
    std::ofstream(kept, std::ios::binary) << "old content";
    Outcome o = Run({"-o", kept.string(), "-o", fresh.string(), Url("/missing"), Url("/cut")});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.err, Url("/missing") +
                         ": ENxHTTPProtocolException: HTTP/1.1 404 Not Found [ReplyCode 404]\n" +
                         Url("/cut") + ": ENxConnClosedGracefully: Connection Closed Gracefully.\n");
    EXPECT_EQ(ReadFile(kept), "old content");
    EXPECT_FALSE(fs::exists(fresh)) << "a truncated body is no file";
    EXPECT_EQ(Strays({"kept.txt"}), std::vector<std::string>{});
    EXPECT_EQ(o.out, "");
}

TEST_F(NxHTTPNxgetTest, MessagesStayOnOneLine) {
    const uint16_t refused = nxtest::UnusedLocalPort();
    const std::string url = "http://127.0.0.1:" + std::to_string(refused) + "/x";
    Outcome o = Run({url});
    EXPECT_EQ(o.exitCode, 1);
    EXPECT_EQ(o.err.rfind(url + ": ENxSocketError: Socket Error # 10061\\r\\n", 0), 0u) << o.err;
    EXPECT_EQ(o.err.find('\r'), std::string::npos);
    EXPECT_EQ(o.err.back(), '\n');
    EXPECT_EQ(o.err.find('\n'), o.err.size() - 1) << "one line";
}

TEST_F(NxHTTPNxgetTest, VerboseShowsBothHeads) {
    server.ExpectReceived("\r\n\r\n").Send(Reply("200 OK", "X-Test: yes\r\n", "body"));
    server.Start();
    // One byte per receive still reads every line and the body whole.
    Outcome o = Run({"-v", "--read-timeout", "5000", "--connect-timeout", "5000", "--max-line", "200",
                     "--recv-buffer", "1", Url("/v")});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(o.out, "body");
    const std::string host = "127.0.0.1:" + std::to_string(server.Port());
    EXPECT_EQ(o.err,
              "> GET /v HTTP/1.1\n> Content-Type: text/html\n> Host: " + host +
                  "\n> Accept: text/html, */*\n> User-Agent: Mozilla/3.0 (compatible; Nx Library)\n> \n"
                  "< HTTP/1.1 200 OK\n< X-Test: yes\n< Content-Length: 4\n< \n" +
                  Url("/v") + ": HTTP/1.1 200 OK (4 bytes)\n");
}

TEST_F(NxHTTPNxgetTest, BadUsage) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"-o"},
        {"-o", "f1", "-o", "f2", "http://127.0.0.1/"},
        {"--read-timeout", "soon", "http://127.0.0.1/"},
        {"--max-line", "-5", "http://127.0.0.1/"},
        {"--recv-buffer", "0", "http://127.0.0.1/"},
        {"--recv-buffer", "128k", "http://127.0.0.1/"},
        {"--frobnicate", "http://127.0.0.1/"},
    };
    for (const auto& args : cases) {
        Outcome o = Run(args);
        EXPECT_EQ(o.exitCode, 2) << (args.empty() ? "(none)" : args[0]);
        EXPECT_NE(o.err.find("usage: nxget [options] URL [URL ...]"), std::string::npos);
        EXPECT_EQ(o.out, "");
    }
    Outcome help = Run({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("usage: nxget"), std::string::npos);
}
