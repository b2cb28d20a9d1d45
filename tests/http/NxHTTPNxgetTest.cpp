// nxget run as a program against the scripted loopback server.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "base/Format.h"
#include "support/NxgetRun.h"
#include "support/ScriptedServer.h"
#if !defined(_WIN32)
#include "support/ServerTLS.h"
#include "support/TestCertificates.h"
#endif

namespace fs = std::filesystem;

namespace {

std::string Reply(const std::string& status, const std::string& headers, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\n" + headers + "Content-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

using nxtest::NxgetProgram;
using nxtest::ReadFile;
using Outcome = nxtest::NxgetOutcome;

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
    Outcome Run(const std::vector<std::string>& args) { return nxtest::RunNxget(args, dir); }
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
    // Small chunks are gathered before they reach the output, a large one goes straight:
    // the bytes must still leave in order, after those of the body before.
    std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", pieces;
    for (int size : {1, 700, 30000, 40000, 70000, 3, 65535, 65536, 9}) {
        std::string piece(static_cast<size_t>(size), static_cast<char>('a' + size % 26));
        chunked += Format("%x\r\n", size) + piece + "\r\n";
        pieces += piece;
    }
    server.ExpectReceived("/c.txt ").Send(chunked + "0\r\n\r\n");
    server.Start();
    const fs::path file = dir / "a.bin";
    Outcome o = Run({"-o", file.string(), Url("//d/a.bin"), Url("//d/b.txt"), Url("/c.txt")});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(ReadFile(file), binary);
    EXPECT_TRUE(o.out == "to stdout\r\n" + pieces) << o.out.size() << " bytes";
    EXPECT_EQ(o.err, Url("//d/a.bin") + ": HTTP/1.1 200 OK (70000 bytes)\n" + Url("//d/b.txt") +
                         ": HTTP/1.1 200 OK (11 bytes)\n" + Url("/c.txt") + ": HTTP/1.1 200 OK (" +
                         std::to_string(pieces.size()) + " bytes)\n");
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
    const nxtest::RefusingPort refused;
    const std::string url = "http://127.0.0.1:" + std::to_string(refused.Port()) + "/x";
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

// --retry: a cut body is resumed into the file or onto standard output, started over in a
// file, and given up where standard output cannot take back what it holds.
TEST_F(NxHTTPNxgetTest, RetryResumesRestartsOrGivesUp) {
    std::string binary;
    for (int i = 0; i < 70000; ++i)
        binary += static_cast<char>(i * 17 + 3);
    const std::string tag = "ETag: \"n1\"\r\n";
    auto range = [&](const std::string& request) {
        const size_t at = request.find("Range: bytes=");
        if (at == std::string::npos) return Reply("200 OK", tag, binary);
        const size_t from = std::stoul(request.substr(at + 13));
        return Reply("206 Partial Content",
                     tag + "Content-Range: bytes " + std::to_string(from) + "-69999/70000\r\n",
                     binary.substr(from));
    };
    struct Case {
        const char* name;
        bool validator;
        bool toFile;
        bool changed; // the second answer is a 200 for another file
        int exitCode;
        std::string err; // after the URL
    } cases[] = {
        {"resumed into a file", true, true, false, 0,
         ": attempt 1 of 3 failed (ENxConnClosedGracefully: Connection Closed Gracefully.), retrying in 20 "
         "ms "
         "from byte 40000\n#: HTTP/1.1 206 Partial Content (70000 bytes)\n"},
        {"started over in a file", false, true, false, 0,
         ": attempt 1 of 3 failed (ENxConnClosedGracefully: Connection Closed Gracefully.), retrying in 20 "
         "ms\n#: HTTP/1.1 200 OK (70000 bytes)\n"},
        {"resumed on standard output", true, false, false, 0,
         ": attempt 1 of 3 failed (ENxConnClosedGracefully: Connection Closed Gracefully.), retrying in 20 "
         "ms "
         "from byte 40000\n#: HTTP/1.1 206 Partial Content (70000 bytes)\n"},
        {"standard output cannot start over", false, false, false, 1,
         ": ENxConnClosedGracefully: Connection Closed Gracefully.\n"},
        {"changed file on standard output", true, false, true, 1,
         ": attempt 1 of 3 failed (ENxConnClosedGracefully: Connection Closed Gracefully.), retrying in 20 "
         "ms "
         "from byte 40000\n#: ENxResumeMismatch: Resume at 40000 answered with HTTP/1.1 200 OK\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        nxtest::ScriptedServer server;
        const std::string first = Reply("200 OK", c.validator ? tag : "", binary);
        server.ExpectReceived("\r\n\r\n")
            .Send(first.substr(0, first.size() - 30000))
            .Close()
            .Accept()
            .ExpectReceived("\r\n\r\n");
        if (c.changed)
            server.Send(Reply("200 OK", "ETag: \"n2\"\r\n", "another file"));
        else
            server.SendFor(range);
        server.Start();
        const std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/big.bin";
        const fs::path file = dir / "big.bin";
        std::vector<std::string> args = {"--retry", "2", "--retry-max-wait", "20", "--read-timeout", "5000"};
        if (c.toFile) args.insert(args.end(), {"-o", file.string()});
        args.push_back(url);
        Outcome o = Run(args);
        EXPECT_EQ(o.exitCode, c.exitCode);
        std::string err = url + c.err;
        for (size_t at = err.find('#'); at != std::string::npos; at = err.find('#'))
            err.replace(at, 1, url);
        EXPECT_EQ(o.err, err);
        const std::string got = c.toFile ? ReadFile(file) : o.out;
        if (c.exitCode == 0) {
            EXPECT_TRUE(got == binary) << got.size() << " bytes";
        } else {
            EXPECT_TRUE(got == binary.substr(0, 40000)) << "standard output keeps what it was given";
        }
        EXPECT_EQ(Strays(c.toFile ? std::vector<std::string>{"big.bin"} : std::vector<std::string>{}),
                  std::vector<std::string>{});
        fs::remove(file);
    }
}

// Refused connections are tried again until the server comes up.
TEST_F(NxHTTPNxgetTest, RetryUntilTheServerIsUp) {
    nxtest::ScriptedServer late;
    const uint16_t port = late.Reserve();
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/late";
    const std::string refused =
        url + ": attempt 1 of 21 failed (ENxConnectException: Socket Error # 10061\\r\\n";
    late.ExpectReceived("\r\n\r\n").Send(Reply("200 OK", "", "up at last"));
    // The server comes up once nxget has said that its first connect was refused, however
    // slowly nxget runs (under valgrind, say); at the latest after 20 s.
    std::string startFailure;
    std::thread starter([&] {
        for (int i = 0; i < 2000 && ReadFile(dir / "stderr.txt").find(refused) == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        try {
            late.Start();
        } catch (const std::exception& e) {
            startFailure = e.what();
        }
    });
    Outcome o = Run({"--retry", "20", "--retry-max-wait", "100", "--connect-timeout", "2000", url});
    starter.join();
    ASSERT_EQ(startFailure, "");
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(o.out, "up at last");
    EXPECT_EQ(o.err.rfind(refused, 0), 0u) << o.err;
    EXPECT_NE(o.err.find(url + ": HTTP/1.1 200 OK (10 bytes)\n"), std::string::npos);
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
        {"--retry", "x", "http://127.0.0.1/"},
        {"--retry-max-wait", "-1", "http://127.0.0.1/"},
        {"http://127.0.0.1/", "--cacert"},
        {"--cacert", "", "http://127.0.0.1/"},
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

#if !defined(_WIN32)
// https with the extra root of --cacert, the session in -v; without the root the issuer
// is not trusted and nothing is written.
TEST_F(NxHTTPNxgetTest, HttpsTrustsTheCacertRootAndShowsTheSession) {
    const nxtest::TestCertificates& certs = nxtest::SharedTestCertificates();
    const nxtest::ServerTLSSettings good{certs.Cert(nxtest::TestCertificates::kGood),
                                         certs.Key(nxtest::TestCertificates::kGood)};
    server.StartTLS(good)
        .ExpectReceived("\r\n\r\n")
        .Send(Reply("200 OK", "", "secret"))
        .Accept()
        .StartTLS(good);
    server.Start();
    const std::string url = "https://localhost:" + std::to_string(server.Port()) + "/s";
    Outcome o = Run({"-v", "--cacert", certs.RootCert, url});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(o.out, "secret");
    EXPECT_NE(o.err.find("\n* TLS TLSv1.3, cipher TLS_"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find(", certificate subject CN=good,O=Nx Test\n< HTTP/1.1 200 OK\n"), std::string::npos)
        << o.err;

    const fs::path file = dir / "s.bin";
    Outcome refused = Run({"-o", file.string(), url});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_EQ(refused.err.rfind(url + ": ENxTLSError: TLS certificate not trusted: untrusted issuer (", 0),
              0u)
        << refused.err;
    EXPECT_FALSE(fs::exists(file));
}
#endif
