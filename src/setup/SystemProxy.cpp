#include "setup/SystemProxy.h"

#include <windows.h>

#include <winhttp.h>

#include <cctype>

#include "base/Format.h"
#include "http/NxGlobal.h"
#include "http/NxURI.h"
#include "setup/CodePage.h"
#include "transport/NxSystemLibrary.h"

namespace {
// Internet Explorer's ports for a proxy entry without one.
constexpr int32_t DefaultHTTPProxyPort = 80;
constexpr int32_t DefaultSocksProxyPort = 1080;
// WinHTTP's limits for fetching a configuration script, each step (resolve, connect, send,
// receive); and the longest wait for the script's answer where it comes asynchronously.
constexpr int kScriptStepTimeoutMs = 10000;
constexpr DWORD kScriptAnswerTimeoutMs = 30000;

std::vector<std::string> Tokens(const std::string& text, const char* separators) {
    std::vector<std::string> tokens;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find_first_of(separators, start), text.size());
        if (end > start) tokens.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return tokens;
}

// "host[:port]", an "http://" in front dropped; the port missing or unreadable is defaultPort.
TNxProxyRoute RouteTo(std::string address, TNxProxyType type, int32_t defaultPort) {
    if (const size_t scheme = address.find("://"); scheme != std::string::npos)
        address = address.substr(scheme + 3);
    address = address.substr(0, address.find('/'));
    TNxProxyRoute route;
    route.Type = type;
    route.Socks = type == ptSocks ? svSocks4 : svNoSocks;
    route.ResolveAtProxy = false;
    route.Port = defaultPort;
    const size_t colon = address.rfind(':');
    if (colon != std::string::npos) {
        const int port = std::atoi(address.c_str() + colon + 1);
        if (port > 0 && port <= 65535) route.Port = port;
        address = address.substr(0, colon);
    }
    route.Host = address;
    return route;
}

// '*' matches any run of characters; the rest without regard to case.
bool Matches(const char* pattern, const char* text) {
    if (*pattern == '\0') return *text == '\0';
    if (*pattern == '*') return Matches(pattern + 1, text) || (*text != '\0' && Matches(pattern, text + 1));
    return *text != '\0' &&
           std::tolower(static_cast<unsigned char>(*pattern)) ==
               std::tolower(static_cast<unsigned char>(*text)) &&
           Matches(pattern + 1, text + 1);
}

std::string Joined(const std::vector<TNxProxyRoute>& routes) {
    std::string text;
    for (const TNxProxyRoute& route : routes)
        text += (text.empty() ? "" : ", ") + route.Text();
    return text;
}
} // namespace

std::vector<TNxProxyRoute> ProxyListRoutes(const std::string& list, const std::string& scheme) {
    std::vector<TNxProxyRoute> all, own, socks;
    for (const std::string& entry : Tokens(list, "; \t\r\n")) {
        if (LowerCase(entry) == "direct") {
            all.push_back(TNxProxyRoute{});
            continue;
        }
        const size_t equals = entry.find('=');
        if (equals == std::string::npos) {
            all.push_back(RouteTo(entry, ptHTTP, DefaultHTTPProxyPort));
            continue;
        }
        const std::string name = LowerCase(entry.substr(0, equals));
        if (name == "socks")
            socks.push_back(RouteTo(entry.substr(equals + 1), ptSocks, DefaultSocksProxyPort));
        else if (name == LowerCase(scheme))
            own.push_back(RouteTo(entry.substr(equals + 1), ptHTTP, DefaultHTTPProxyPort));
    }
    if (!own.empty()) return own;
    if (!all.empty()) return all;
    return socks;
}

bool ProxyBypassed(const std::string& bypass, const std::string& host) {
    for (std::string entry : Tokens(bypass, ";, \t\r\n")) {
        if (LowerCase(entry) == "<local>") {
            if (host.find('.') == std::string::npos) return true;
            continue;
        }
        if (const size_t scheme = entry.find("://"); scheme != std::string::npos)
            entry = entry.substr(scheme + 3);
        if (Matches(entry.c_str(), host.c_str())) return true;
    }
    return false;
}

bool IsLoopbackHost(const std::string& host) {
    return LowerCase(host) == "localhost" || host.rfind("127.", 0) == 0;
}

// --- WinHTTP -------------------------------------------------------------------------------

struct TSystemProxy::TWinHttp {
    using TGetIEConfig = BOOL(WINAPI*)(WINHTTP_CURRENT_USER_IE_PROXY_CONFIG*);
    using TOpen = HINTERNET(WINAPI*)(LPCWSTR, DWORD, LPCWSTR, LPCWSTR, DWORD);
    using TClose = BOOL(WINAPI*)(HINTERNET);
    using TSetTimeouts = BOOL(WINAPI*)(HINTERNET, int, int, int, int);
    using TDetect = BOOL(WINAPI*)(DWORD, LPWSTR*);
    using TGetProxyForUrl = BOOL(WINAPI*)(HINTERNET, LPCWSTR, WINHTTP_AUTOPROXY_OPTIONS*,
                                          WINHTTP_PROXY_INFO*);
    // Windows 8 and later: every entry of the script's answer, DIRECT included.
    using TCreateResolver = DWORD(WINAPI*)(HINTERNET, HINTERNET*);
    using TGetProxyForUrlEx = DWORD(WINAPI*)(HINTERNET, PCWSTR, WINHTTP_AUTOPROXY_OPTIONS*, DWORD_PTR);
    using TGetProxyResult = DWORD(WINAPI*)(HINTERNET, WINHTTP_PROXY_RESULT*);
    using TFreeProxyResult = VOID(WINAPI*)(WINHTTP_PROXY_RESULT*);
    using TSetCallback = WINHTTP_STATUS_CALLBACK(WINAPI*)(HINTERNET, WINHTTP_STATUS_CALLBACK, DWORD,
                                                          DWORD_PTR);

    TGetIEConfig GetIEConfig = nullptr;
    TOpen Open = nullptr;
    TClose Close = nullptr;
    TSetTimeouts SetTimeouts = nullptr;
    TDetect Detect = nullptr;
    TGetProxyForUrl GetProxyForUrl = nullptr;
    TCreateResolver CreateResolver = nullptr;
    TGetProxyForUrlEx GetProxyForUrlEx = nullptr;
    TGetProxyResult GetProxyResult = nullptr;
    TFreeProxyResult FreeProxyResult = nullptr;
    TSetCallback SetCallback = nullptr;
    HINTERNET Session = nullptr;
    HINTERNET AsyncSession = nullptr;

    ~TWinHttp() {
        if (Session) Close(Session);
        if (AsyncSession) Close(AsyncSession);
    }

    // False with why set when the library or one of its functions is missing.
    bool Load(std::string& why) {
        void* library = NxLoadSystemLibrary("winhttp.dll", why);
        if (!library) return false;
        if (!NxLookupFunction(library, "WinHttpGetIEProxyConfigForCurrentUser", GetIEConfig, why) ||
            !NxLookupFunction(library, "WinHttpOpen", Open, why) ||
            !NxLookupFunction(library, "WinHttpCloseHandle", Close, why) ||
            !NxLookupFunction(library, "WinHttpSetTimeouts", SetTimeouts, why) ||
            !NxLookupFunction(library, "WinHttpDetectAutoProxyConfigUrl", Detect, why) ||
            !NxLookupFunction(library, "WinHttpGetProxyForUrl", GetProxyForUrl, why))
            return false;
        std::string missing;
        if (!NxLookupFunction(library, "WinHttpCreateProxyResolver", CreateResolver, missing) ||
            !NxLookupFunction(library, "WinHttpGetProxyForUrlEx", GetProxyForUrlEx, missing) ||
            !NxLookupFunction(library, "WinHttpGetProxyResult", GetProxyResult, missing) ||
            !NxLookupFunction(library, "WinHttpFreeProxyResult", FreeProxyResult, missing) ||
            !NxLookupFunction(library, "WinHttpSetStatusCallback", SetCallback, missing))
            CreateResolver = nullptr;
        return true;
    }

    TInternetOptions Options() {
        WINHTTP_CURRENT_USER_IE_PROXY_CONFIG config{};
        TInternetOptions options;
        if (!GetIEConfig(&config)) return options;
        const auto take = [](LPWSTR text) {
            std::string value = text ? WideToAnsi(text) : std::string();
            if (text) GlobalFree(text);
            return value;
        };
        options.AutoDetect = config.fAutoDetect != FALSE;
        options.AutoConfigURL = take(config.lpszAutoConfigUrl);
        options.Proxy = take(config.lpszProxy);
        options.Bypass = take(config.lpszProxyBypass);
        return options;
    }

    bool DetectScript(std::string& scriptURL, std::string& why) {
        LPWSTR found = nullptr;
        if (!Detect(WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A, &found) || !found) {
            why = Format("WinHttpDetectAutoProxyConfigUrl: error %lu", GetLastError());
            return false;
        }
        scriptURL = WideToAnsi(found);
        GlobalFree(found);
        return true;
    }

    bool Evaluate(const std::string& url, const std::string& scriptURL, std::vector<TNxProxyRoute>& routes,
                  std::string& why) {
        const std::wstring wideURL = AnsiToWide(url), wideScript = AnsiToWide(scriptURL);
        WINHTTP_AUTOPROXY_OPTIONS options{};
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = wideScript.c_str();
        options.fAutoLogonIfChallenged = TRUE;
        if (int answered = EvaluateEveryEntry(wideURL, options, routes, why); answered >= 0)
            return answered == 1;
        if (!Session) {
            Session = Open(L"Marrowgate Setup", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                           WINHTTP_NO_PROXY_BYPASS, 0);
            if (!Session) {
                why = Format("WinHttpOpen: error %lu", GetLastError());
                return false;
            }
            SetTimeouts(Session, kScriptStepTimeoutMs, kScriptStepTimeoutMs, kScriptStepTimeoutMs,
                        kScriptStepTimeoutMs);
        }
        WINHTTP_PROXY_INFO info{};
        if (!GetProxyForUrl(Session, wideURL.c_str(), &options, &info)) {
            why = Format("WinHttpGetProxyForUrl: error %lu", GetLastError());
            return false;
        }
        // Where the answer lists several proxies they come separated by ';' (a DIRECT after
        // them is not given).
        if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && info.lpszProxy)
            routes = ProxyListRoutes(WideToAnsi(info.lpszProxy), TNxURI(url).Protocol());
        if (info.lpszProxy) GlobalFree(info.lpszProxy);
        if (info.lpszProxyBypass) GlobalFree(info.lpszProxyBypass);
        return true;
    }

    // The resolver of Windows 8 and later, which gives each entry of the answer in order:
    // 1 answered, 0 failed (why set), -1 not available here (Wine 8 has the functions but
    // refuses to make a resolver).
    int EvaluateEveryEntry(const std::wstring& url, WINHTTP_AUTOPROXY_OPTIONS& options,
                           std::vector<TNxProxyRoute>& routes, std::string& why) {
        if (!CreateResolver) return -1;
        if (!AsyncSession) {
            AsyncSession = Open(L"Marrowgate Setup", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
            if (!AsyncSession) return -1;
            SetTimeouts(AsyncSession, kScriptStepTimeoutMs, kScriptStepTimeoutMs, kScriptStepTimeoutMs,
                        kScriptStepTimeoutMs);
        }
        HINTERNET resolver = nullptr;
        if (CreateResolver(AsyncSession, &resolver) != ERROR_SUCCESS || !resolver) return -1;
        // Left to a callback that comes after the wait has given up: it must find it still there.
        auto wait = std::make_unique<TAnswerWait>();
        wait->Done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        SetCallback(resolver, AnswerArrived,
                    WINHTTP_CALLBACK_FLAG_REQUEST_ERROR | WINHTTP_CALLBACK_FLAG_GETPROXYFORURL_COMPLETE, 0);
        const DWORD started =
            GetProxyForUrlEx(resolver, url.c_str(), &options, reinterpret_cast<DWORD_PTR>(wait.get()));
        int outcome = 0;
        if (started != ERROR_IO_PENDING) {
            why = Format("WinHttpGetProxyForUrlEx: error %lu", started);
        } else if (WaitForSingleObject(wait->Done, kScriptAnswerTimeoutMs) != WAIT_OBJECT_0) {
            why = Format("WinHttpGetProxyForUrlEx: no answer within %lu ms", kScriptAnswerTimeoutMs);
            Close(resolver);
            wait.release();
            return 0;
        } else if (wait->Error != 0) {
            why = Format("WinHttpGetProxyForUrlEx: error %lu", wait->Error);
        } else {
            WINHTTP_PROXY_RESULT result{};
            if (const DWORD error = GetProxyResult(resolver, &result); error != ERROR_SUCCESS) {
                why = Format("WinHttpGetProxyResult: error %lu", error);
            } else {
                routes.clear();
                for (DWORD i = 0; i < result.cEntries; ++i) {
                    const WINHTTP_PROXY_RESULT_ENTRY& entry = result.pEntries[i];
                    if (!entry.fProxy || !entry.pwszProxy) {
                        routes.push_back(TNxProxyRoute{});
                        continue;
                    }
                    const bool socks = entry.ProxyScheme == INTERNET_SCHEME_SOCKS;
                    TNxProxyRoute route = RouteTo(WideToAnsi(entry.pwszProxy), socks ? ptSocks : ptHTTP,
                                                  socks ? DefaultSocksProxyPort : DefaultHTTPProxyPort);
                    if (entry.ProxyPort != 0) route.Port = entry.ProxyPort;
                    routes.push_back(route);
                }
                FreeProxyResult(&result);
                // DIRECT alone is no proxy at all.
                if (routes.size() == 1 && routes[0].Type == ptDirect) routes.clear();
                outcome = 1;
            }
        }
        Close(resolver);
        CloseHandle(wait->Done);
        return outcome;
    }

    struct TAnswerWait {
        HANDLE Done = nullptr;
        DWORD Error = 0;
    };
    static void CALLBACK AnswerArrived(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD) {
        auto* wait = reinterpret_cast<TAnswerWait*>(context);
        if (!wait) return;
        if (status == WINHTTP_CALLBACK_STATUS_REQUEST_ERROR)
            wait->Error = static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError;
        else if (status != WINHTTP_CALLBACK_STATUS_GETPROXYFORURL_COMPLETE)
            return;
        SetEvent(wait->Done);
    }
};

// --- the decision ----------------------------------------------------------------------------

TSystemProxy::TSystemProxy() = default;

TSystemProxy::TSystemProxy(TInternetOptions options, TScriptDetector detect, TScriptEvaluator evaluate)
    : FLoaded(true), FOptions(std::move(options)), FDetect(std::move(detect)),
      FEvaluate(std::move(evaluate)) {}

TSystemProxy::~TSystemProxy() = default;

void TSystemProxy::Load() {
    FLoaded = true;
    auto winHttp = std::make_unique<TWinHttp>();
    std::string why;
    if (!winHttp->Load(why)) {
        FDetect = [why](std::string&, std::string& out) { return out = why, false; };
        FEvaluate = [why](const std::string&, const std::string&, std::vector<TNxProxyRoute>&,
                          std::string& out) { return out = why, false; };
        FOptions.AutoDetect = false;
        return;
    }
    FOptions = winHttp->Options();
    TWinHttp* api = winHttp.get();
    FDetect = [api](std::string& scriptURL, std::string& out) { return api->DetectScript(scriptURL, out); };
    FEvaluate = [api](const std::string& url, const std::string& script, std::vector<TNxProxyRoute>& routes,
                      std::string& out) { return api->Evaluate(url, script, routes, out); };
    FWinHttp = std::move(winHttp);
}

TProxyDecision TSystemProxy::For(const std::string& url,
                                 const std::function<void(const std::string&)>& note) {
    const TNxURI target(url);
    if (IsLoopbackHost(target.Host())) return {{}, "loopback"};
    if (!FLoaded) {
        Load();
        note(Format("Internet Options: automatic detection %s, configuration script %s, proxy %s, bypass %s",
                    FOptions.AutoDetect ? "on" : "off",
                    FOptions.AutoConfigURL.empty() ? "none" : FOptions.AutoConfigURL.c_str(),
                    FOptions.Proxy.empty() ? "none" : FOptions.Proxy.c_str(),
                    FOptions.Bypass.empty() ? "none" : FOptions.Bypass.c_str()));
    }
    std::string why;
    if (FOptions.AutoDetect && !FDetectionDone) {
        FDetectionDone = true;
        if (!FDetect(FDetectedScript, why))
            note("Automatic detection found no configuration script (" + why + ")");
    }
    std::vector<TNxProxyRoute> routes;
    if (!FDetectedScript.empty()) {
        if (FEvaluate(url, FDetectedScript, routes, why)) return {routes, "detected " + FDetectedScript};
        note("The detected configuration script " + FDetectedScript + " gave no answer (" + why + ")");
        FDetectedScript.clear();
    }
    if (!FOptions.AutoConfigURL.empty() && !FScriptFailed) {
        if (FEvaluate(url, FOptions.AutoConfigURL, routes, why))
            return {routes, "PAC " + FOptions.AutoConfigURL};
        note("The configuration script " + FOptions.AutoConfigURL + " gave no answer (" + why + ")");
        FScriptFailed = true;
    }
    if (!FOptions.Proxy.empty()) {
        if (ProxyBypassed(FOptions.Bypass, target.Host())) return {{}, "bypass list"};
        routes = ProxyListRoutes(FOptions.Proxy, target.Protocol());
        if (routes.empty()) return {{}, "no proxy for " + target.Protocol()};
        return {routes, "fixed"};
    }
    return {{}, "no proxy set"};
}

std::string ProxyDecisionText(const TProxyDecision& decision) {
    return (decision.Routes.empty() ? std::string("direct") : Joined(decision.Routes)) + " (" + decision.Why +
           ")";
}
