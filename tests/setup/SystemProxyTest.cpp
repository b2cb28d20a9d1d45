// The proxy of each URL from the Internet Options: the lists they hold, the bypass list, and
// the order of detection, script and fixed proxy (with given settings and a stand-in for
// WinHTTP's script evaluation; WinHTTP itself is met by the end-to-end runs).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "setup/SystemProxy.h"

namespace {
std::string Texts(const std::vector<TNxProxyRoute>& routes) {
    std::string text;
    for (const auto& route : routes)
        text += (text.empty() ? "" : " ") + route.Text();
    return text;
}
} // namespace

TEST(SystemProxy, ListsForAScheme) {
    const struct {
        const char* List;
        const char* Scheme;
        const char* Routes;
    } rows[] = {
        {"a:3128", "http", "http://a:3128"},
        {"a:3128", "https", "http://a:3128"},
        {"http=a:1;https=b:2", "https", "http://b:2"},
        {"HTTP=a:1 https=b:2", "http", "http://a:1"},
        {"http=a:1;socks=s:9", "https", "socks4://s:9"},
        {"socks=s", "http", "socks4://s:1080"},
        {"http=http://a", "http", "http://a:80"},
        {"a:1; b:2\tDIRECT", "http", "http://a:1 http://b:2 direct"},
        {"ftp=f:21", "http", ""},
        {"", "http", ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Texts(ProxyListRoutes(row.List, row.Scheme)), row.Routes)
            << row.List << " for " << row.Scheme;
}

TEST(SystemProxy, BypassList) {
    const struct {
        const char* Bypass;
        const char* Host;
        bool Bypassed;
    } rows[] = {
        {"<local>", "intranet", true},
        {"<local>", "dist.example.kr", false},
        {"*.corp", "files.corp", true},
        {"*.corp", "FILES.CORP", true},
        {"*.corp", "corp", false},
        {"*.corp;10.*", "10.1.2.3", true},
        {"10.*", "110.1.2.3", false},
        {"http://*.corp", "a.corp", true},
        {"a.example, b.example", "b.example", true},
        {";; ", "x", false},
        {"dist.*.kr", "dist.brindlewick.co.kr", true},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ProxyBypassed(row.Bypass, row.Host), row.Bypassed) << row.Bypass << " / " << row.Host;
    EXPECT_TRUE(IsLoopbackHost("LocalHost"));
    EXPECT_TRUE(IsLoopbackHost("127.0.0.2"));
    EXPECT_FALSE(IsLoopbackHost("127example.com"));
}

// Each row: the settings, what detection and the script give, and the decisions for a run of
// URLs; detection and a failed script are tried once per run.
TEST(SystemProxy, DetectionThenScriptThenFixedProxy) {
    const std::string dist = "http://dist.example.kr//deri_vere/";
    const struct {
        const char* Name;
        TInternetOptions Options;
        const char* Detected;     // nullptr: detection finds nothing
        const char* ScriptAnswer; // nullptr: the script cannot be fetched
        std::vector<std::string> URLs;
        std::vector<std::string> Decisions;
        int Detections;
        int Evaluations;
    } rows[] = {
        // clang-format off
        {"nothing set", {}, nullptr, nullptr, {dist + "a"}, {"direct (no proxy set)"}, 0, 0},
        {"loopback before everything", {true, "http://wpad/p.pac", "p:1", ""}, "http://wpad/wpad.dat", "q:2",
         {"http://127.0.0.1:8080/a", "http://localhost/b"}, {"direct (loopback)", "direct (loopback)"}, 0, 0},
        {"fixed", {false, "", "p:3128", "<local>;*.intra"}, nullptr, nullptr, {dist + "a", "http://wiki.intra/x", "http://intranet/y"},
         {"http://p:3128 (fixed)", "direct (bypass list)", "direct (bypass list)"}, 0, 0},
        {"no entry for the scheme", {false, "", "http=p:3128", ""}, nullptr, nullptr, {"https://dist.example.kr/a"}, {"direct (no proxy for https)"}, 0, 0},
        {"script", {false, "http://cfg/proxy.pac", "p:3128", ""}, nullptr, "a:1;DIRECT", {dist + "a", dist + "b"},
         {"http://a:1, direct (PAC http://cfg/proxy.pac)", "http://a:1, direct (PAC http://cfg/proxy.pac)"}, 0, 2},
        {"script says DIRECT", {false, "http://cfg/proxy.pac", "", ""}, nullptr, "", {dist + "a"}, {"direct (PAC http://cfg/proxy.pac)"}, 0, 1},
        {"a script that cannot be fetched: the fixed proxy, the script not asked again", {false, "http://cfg/proxy.pac", "p:3128", ""}, nullptr, nullptr,
         {dist + "a", dist + "b"}, {"http://p:3128 (fixed)", "http://p:3128 (fixed)"}, 0, 1},
        {"detection wins over the script", {true, "http://cfg/proxy.pac", "", ""}, "http://wpad/wpad.dat", "w:8080", {dist + "a", dist + "b"},
         {"http://w:8080 (detected http://wpad/wpad.dat)", "http://w:8080 (detected http://wpad/wpad.dat)"}, 1, 2},
        {"nothing detected, looked for once", {true, "", "", ""}, nullptr, nullptr, {dist + "a", dist + "b"}, {"direct (no proxy set)", "direct (no proxy set)"}, 1, 0},
        // clang-format on
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        int detections = 0, evaluations = 0;
        TSystemProxy proxy(
            row.Options,
            [&](std::string& script, std::string& why) {
                ++detections;
                if (!row.Detected) return why = "none", false;
                script = row.Detected;
                return true;
            },
            [&](const std::string& url, const std::string&, std::vector<TNxProxyRoute>& routes,
                std::string& why) {
                ++evaluations;
                if (!row.ScriptAnswer) return why = "404", false;
                routes = ProxyListRoutes(row.ScriptAnswer, url.substr(0, url.find(':')));
                return true;
            });
        std::vector<std::string> decisions, notes;
        for (const std::string& url : row.URLs)
            decisions.push_back(
                ProxyDecisionText(proxy.For(url, [&](const std::string& note) { notes.push_back(note); })));
        EXPECT_EQ(decisions, row.Decisions);
        EXPECT_EQ(detections, row.Detections);
        EXPECT_EQ(evaluations, row.Evaluations);
    }
}
