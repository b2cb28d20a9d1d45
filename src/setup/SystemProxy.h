#pragma once
// Which way each URL of the run takes, as this user's Internet Options say: automatic
// detection (WPAD), an automatic configuration script (PAC), a fixed proxy per scheme with its
// bypass list, or none. WinHTTP answers (WinHttpGetIEProxyConfigForCurrentUser,
// WinHttpDetectAutoProxyConfigUrl, WinHttpGetProxyForUrl), loaded from the system folder on
// first use, so that Setup.exe imports nothing new and a run against a loopback server never
// loads it.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/NxProxyRoute.h"

// The Internet Options' proxy settings, as WinHttpGetIEProxyConfigForCurrentUser gives them.
struct TInternetOptions {
    bool AutoDetect = false;
    std::string AutoConfigURL;
    // "host:port" for every scheme, or "http=host:port;https=host:port;socks=host:port".
    std::string Proxy;
    // "<local>;*.example.com;10.*".
    std::string Bypass;
};

// The routes for a URL and why: "fixed", "PAC <url>", "detected <url>", "bypass list",
// "loopback", "no proxy set" and the like.
struct TProxyDecision {
    std::vector<TNxProxyRoute> Routes;
    std::string Why;
};

// A proxy list for a URL of scheme: "host:port" entries apply to every scheme, "scheme=host:port"
// ones to theirs (an "http://" before the host is dropped); without any, a "socks=" entry is a
// SOCKS 4 proxy, as Internet Explorer uses it. "DIRECT" is the way without a proxy. Entries are
// separated by ';' or blanks and kept in order; a port missing is 80 (1080 for SOCKS).
std::vector<TNxProxyRoute> ProxyListRoutes(const std::string& list, const std::string& scheme);

// Whether the bypass list names host: entries separated by ';' (or ',' or blanks), '*' standing
// for any run of characters, without regard to case; "<local>" names every host without a dot.
bool ProxyBypassed(const std::string& bypass, const std::string& host);

// localhost and 127.x.x.x, which never go through a proxy.
bool IsLoopbackHost(const std::string& host);

class TSystemProxy {
public:
    // The script's answer for a URL: a proxy list (empty for DIRECT), or false with why set.
    using TScriptEvaluator = std::function<bool(const std::string& url, const std::string& scriptURL,
                                                std::vector<TNxProxyRoute>& routes, std::string& why)>;
    // The URL of the script that automatic detection finds; false with why set when none.
    using TScriptDetector = std::function<bool(std::string& scriptURL, std::string& why)>;

    // The settings and the script's evaluation through WinHTTP, read on first use.
    TSystemProxy();
    // Given settings and evaluation (the tests').
    TSystemProxy(TInternetOptions options, TScriptDetector detect, TScriptEvaluator evaluate);
    ~TSystemProxy();
    TSystemProxy(const TSystemProxy&) = delete;
    TSystemProxy& operator=(const TSystemProxy&) = delete;

    // Loopback: straight. Then automatic detection (looked for once per run), the configuration
    // script, the fixed proxy with its bypass list, in that order; a step that fails (no
    // script found, a script that cannot be fetched or run) goes on to the next, and is not
    // tried again in this run. note receives each such failure once, for the log.
    TProxyDecision For(const std::string& url, const std::function<void(const std::string&)>& note);

private:
    struct TWinHttp;
    void Load();

    bool FLoaded = false;
    TInternetOptions FOptions;
    TScriptDetector FDetect;
    TScriptEvaluator FEvaluate;
    std::unique_ptr<TWinHttp> FWinHttp;
    bool FDetectionDone = false;
    std::string FDetectedScript;
    bool FScriptFailed = false;
};

// "direct (no proxy set)", "http://a:3128, direct (PAC http://wpad/wpad.dat)": for the log.
std::string ProxyDecisionText(const TProxyDecision& decision);
