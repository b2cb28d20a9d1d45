// nxget through real proxies from Debian's packages, started by the test on loopback: squid (an
// open port and one asking for Basic credentials; https through its CONNECT tunnel) and
// microsocks (SOCKS 5, open and with a user name and password), in front of nginx (plain and
// TLS). Each row is one nxget run: its outcome, the file it leaves, and which way the request
// went by the proxies' own logs. Native target only.
#if !defined(_WIN32)

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "support/LocalServers.h"
#include "support/NxgetRun.h"
#include "support/TestCertificates.h"
#include "support/UnderValgrind.h"

namespace fs = std::filesystem;

namespace {
constexpr const char* kUser = "nxuser";
constexpr const char* kPassword = "p@ss:word";
constexpr const char* kPasswordInURL = "p%40ss%3Aword";
// Every variable nxget reads, cleared for each run so that the machine's own settings play no
// part; a row sets its own after them.
constexpr const char* kClearedEnvironment = "env -u http_proxy -u HTTP_PROXY -u https_proxy -u HTTPS_PROXY "
                                            "-u all_proxy -u ALL_PROXY -u no_proxy -u NO_PROXY";

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class ProxyServers : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Only nxget runs code of ours here, and memcheck traces it in its own suite's job.
        if (nxtest::UnderValgrind()) {
            FMissing = "nxget and the proxies run bare under valgrind";
            return;
        }
        for (const char* program :
             {nxtest::NginxServer::Program, nxtest::SquidProxy::Program, nxtest::MicrosocksProxy::Program})
            if (!fs::exists(program)) {
                FMissing = std::string(program) + " is not installed (scripts/deps.sh)";
                return;
            }
        FDir = fs::temp_directory_path() / ("nx-proxies-" + std::to_string(getpid()));
        fs::remove_all(FDir);
        fs::create_directories(FDir / "www");
        fs::permissions(FDir, fs::perms::all);
        std::string body;
        for (int i = 0; i < 300000; ++i)
            body += static_cast<char>(i * 131 + 17);
        std::ofstream(FDir / "www" / "data.bin", std::ios::binary) << body;
        FBody = body;
        const nxtest::TestCertificates& certs = nxtest::SharedTestCertificates();
        FNginx = std::make_unique<nxtest::NginxServer>(FDir / "nginx");
        FSquid = std::make_unique<nxtest::SquidProxy>(FDir / "squid");
        FSocks = std::make_unique<nxtest::MicrosocksProxy>(FDir / "socks");
        FSocksAuth = std::make_unique<nxtest::MicrosocksProxy>(FDir / "socks-auth");
        if (!FNginx->Start(FDir / "www", certs.Cert(nxtest::TestCertificates::kGood),
                           certs.Key(nxtest::TestCertificates::kGood)))
            FMissing = "nginx did not start: " + FNginx->ErrorLog();
        else if (!FSquid->Start(kUser, kPassword))
            FMissing = "squid did not start";
        else if (!FSocks->Start() || !FSocksAuth->Start(kUser, kPassword))
            FMissing = "microsocks did not start";
    }
    static void TearDownTestSuite() {
        FSocksAuth.reset();
        FSocks.reset();
        FSquid.reset();
        FNginx.reset();
        std::error_code ec;
        if (!FDir.empty()) fs::remove_all(FDir, ec);
    }
    void SetUp() override {
        if (!FMissing.empty()) GTEST_SKIP() << FMissing;
    }

    static inline std::string FMissing;
    static inline fs::path FDir;
    static inline std::string FBody;
    static inline std::unique_ptr<nxtest::NginxServer> FNginx;
    static inline std::unique_ptr<nxtest::SquidProxy> FSquid;
    static inline std::unique_ptr<nxtest::MicrosocksProxy> FSocks;
    static inline std::unique_ptr<nxtest::MicrosocksProxy> FSocksAuth;
};
} // namespace

TEST_F(ProxyServers, NxgetThroughEachProxy) {
    const std::string squid = "127.0.0.1:" + std::to_string(FSquid->OpenPort());
    const std::string squidAuth = "127.0.0.1:" + std::to_string(FSquid->AuthPort());
    const std::string socks = "127.0.0.1:" + std::to_string(FSocks->Port());
    const std::string socksAuth = "127.0.0.1:" + std::to_string(FSocksAuth->Port());
    const std::string login = std::string(kUser) + ":" + kPasswordInURL + "@";
    struct Row {
        std::string Environment; // after the cleared variables
        std::vector<std::string> Args;
        bool Https;
        std::string Host;    // of the URL
        std::string Via;     // squid, socks, socks-auth or direct
        std::string Failure; // empty: exit 0 and the file; else exit 1, no file, and this
    };
    const std::string right = std::string(kUser) + ":" + kPassword, wrong = std::string(kUser) + ":wrong";
    const std::string denied = "407 Proxy Authentication Required [ReplyCode 407]";
    // clang-format off
    const Row rows[] = {
        {"", {"-x", "http://" + squid}, false, "127.0.0.1", "squid", ""},
        {"", {"-x", squid}, true, "127.0.0.1", "squid", ""},
        {"", {"-x", "http://" + login + squidAuth}, false, "127.0.0.1", "squid", ""},
        {"", {"-x", squidAuth, "--proxy-user", right}, true, "127.0.0.1", "squid", ""},
        {"", {"-x", "http://" + wrong + "@" + squidAuth}, false, "127.0.0.1", "squid", denied},
        {"", {"-x", squidAuth, "--proxy-user", wrong}, true, "127.0.0.1", "squid", denied},
        {"", {"-x", squidAuth}, false, "127.0.0.1", "squid", denied},
        // The name goes to the proxy, which resolves it.
        {"", {"-x", "socks5h://" + socks}, false, "localhost", "socks", ""},
        {"", {"-x", "socks5h://" + socks}, true, "localhost", "socks", ""},
        {"", {"-x", "socks5://" + login + socksAuth}, false, "127.0.0.1", "socks-auth", ""},
        {"", {"-x", "socks5://" + socksAuth, "--proxy-user", right}, true, "127.0.0.1", "socks-auth", ""},
        {"", {"-x", "socks5://" + wrong + "@" + socksAuth}, false, "127.0.0.1", "socks-auth", "ENxSocksAuthError: SOCKS proxy refused the user name or password."},
        {"http_proxy=" + squid, {}, false, "127.0.0.1", "squid", ""},
        {"HTTPS_PROXY=" + squid, {}, true, "127.0.0.1", "squid", ""},
        {"ALL_PROXY=socks5h://" + socks, {}, false, "localhost", "socks", ""},
        // http_proxy counts in lower case only.
        {"HTTP_PROXY=" + squid, {}, false, "127.0.0.1", "direct", ""},
        {"http_proxy=" + squid + " NO_PROXY=localhost,127.0.0.1", {}, false, "127.0.0.1", "direct", ""},
        {"http_proxy=" + squid + " no_proxy=127.0.0.1", {"--noproxy", "example.com"}, false, "127.0.0.1", "squid", ""},
        {"http_proxy=" + squid, {"-x", ""}, false, "127.0.0.1", "direct", ""},
        {"all_proxy=socks5h://" + socks, {"-x", "http://" + squid}, true, "127.0.0.1", "squid", ""},
    };
    // clang-format on
    int n = 0;
    for (const Row& row : rows) {
        ++n;
        std::string args;
        for (const auto& a : row.Args)
            args += a + " ";
        SCOPED_TRACE(row.Environment + " " + args + (row.Https ? "https" : "http"));
        const uint16_t port = row.Https ? FNginx->TLSPort() : FNginx->Port();
        const std::string url = std::string(row.Https ? "https" : "http") + "://" + row.Host + ":" +
                                std::to_string(port) + "/data.bin?row=" + std::to_string(n);
        const fs::path out = FDir / ("out-" + std::to_string(n) + ".bin");
        std::vector<std::string> argv = row.Args;
        argv.insert(argv.end(),
                    {"--cacert", nxtest::SharedTestCertificates().RootCert, "-o", out.string(), url});
        const std::string squidBefore = FSquid->AccessLog();
        const size_t socksBefore = Count(FSocks->Log(), "connected to");
        const size_t socksAuthBefore = Count(FSocksAuth->Log(), "connected to");
        const nxtest::NxgetOutcome run =
            nxtest::RunNxget(argv, FDir, kClearedEnvironment + (" " + row.Environment));
        if (row.Failure.empty()) {
            EXPECT_EQ(run.exitCode, 0) << run.err;
            EXPECT_TRUE(nxtest::ReadFile(out) == FBody) << "the file differs";
        } else {
            EXPECT_EQ(run.exitCode, 1) << run.err;
            EXPECT_NE(run.err.find(row.Failure), std::string::npos) << run.err;
            EXPECT_FALSE(fs::exists(out));
        }
        // squid logs a request when it has ended; a tunnel when it is closed, which nxget did on
        // leaving.
        std::string squidLog = FSquid->AccessLog();
        for (int i = 0; i < 100 && row.Via == "squid" && squidLog.size() == squidBefore.size(); ++i) {
            usleep(20000);
            squidLog = FSquid->AccessLog();
        }
        const std::string squidNew = squidLog.substr(std::min(squidBefore.size(), squidLog.size()));
        const bool bySquid = squidNew.find(row.Https ? "CONNECT " + row.Host + ":" + std::to_string(port)
                                                     : url) != std::string::npos;
        EXPECT_EQ(bySquid, row.Via == "squid") << squidNew;
        EXPECT_EQ(Count(FSocks->Log(), "connected to") > socksBefore, row.Via == "socks");
        EXPECT_EQ(Count(FSocksAuth->Log(), "connected to") > socksAuthBefore,
                  row.Via == "socks-auth" && row.Failure.empty());
    }
    // The SOCKS 5 proxy was given the name, not an address.
    EXPECT_NE(FSocks->Log().find("connected to localhost:"), std::string::npos) << FSocks->Log();
}

#endif
