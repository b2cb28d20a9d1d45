#include "NxGetProxy.h"

#include <cctype>
#include <charconv>

#include "http/NxGlobal.h"
#include "http/NxURI.h"

namespace {
// curl's port for a proxy URL without one, whatever its scheme.
constexpr int32_t DefaultProxyPort = 1080;
constexpr int32_t MaxPort = 65535;

int HexValue(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return ch >= 'a' && ch <= 'f' ? ch - 'a' + 10 : -1;
}

// %XX in the credentials of a URL, so that a password may hold ':' or '@'.
std::string PercentDecoded(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = HexValue(text[i + 1]), low = HexValue(text[i + 2]);
            if (high >= 0 && low >= 0) {
                out += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

// USER[:PASSWORD]; in a URL percent-encoded, on --proxy-user as it is.
void SetCredentials(TNxProxyRoute& route, const std::string& userColonPassword, bool encoded) {
    const size_t colon = userColonPassword.find(':');
    const std::string user = userColonPassword.substr(0, colon);
    const std::string password =
        colon == std::string::npos ? std::string() : userColonPassword.substr(colon + 1);
    route.Username = encoded ? PercentDecoded(user) : user;
    route.Password = encoded ? PercentDecoded(password) : password;
}

struct TSchemeRow {
    const char* Scheme;
    TNxProxyType Type;
    TSocksVersion Socks;
    bool ResolveAtProxy;
};
constexpr TSchemeRow kSchemes[] = {
    {"http", ptHTTP, svNoSocks, true},     {"socks4", ptSocks, svSocks4, false},
    {"socks4a", ptSocks, svSocks4A, true}, {"socks5", ptSocks, svSocks5, false},
    {"socks5h", ptSocks, svSocks5, true},
};

std::optional<std::string> FirstSet(const std::function<std::optional<std::string>(const char*)>& environment,
                                    std::initializer_list<const char*> names, std::string& which) {
    for (const char* name : names) {
        std::optional<std::string> value = environment(name);
        if (value && !value->empty()) {
            which = name;
            return value;
        }
    }
    return std::nullopt;
}
} // namespace

std::optional<TNxProxyRoute> ParseProxyURL(const std::string& text, std::string& why) {
    std::string rest = text;
    std::string scheme = "http";
    if (const size_t at = rest.find("://"); at != std::string::npos) {
        scheme = LowerCase(rest.substr(0, at));
        rest = rest.substr(at + 3);
    }
    const TSchemeRow* row = nullptr;
    for (const TSchemeRow& candidate : kSchemes)
        if (scheme == candidate.Scheme) row = &candidate;
    if (!row) {
        why = "unsupported proxy scheme \"" + scheme + "\" (http, socks4, socks4a, socks5, socks5h)";
        return std::nullopt;
    }
    rest = rest.substr(0, rest.find('/'));
    TNxProxyRoute route{row->Type, "", DefaultProxyPort, row->Socks, row->ResolveAtProxy, "", ""};
    if (const size_t at = rest.rfind('@'); at != std::string::npos) {
        SetCredentials(route, rest.substr(0, at), true);
        rest = rest.substr(at + 1);
    }
    if (const size_t colon = rest.rfind(':'); colon != std::string::npos) {
        const std::string port = rest.substr(colon + 1);
        int32_t value = 0;
        const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (error != std::errc() || end != port.data() + port.size() || value < 1 || value > MaxPort) {
            why = "bad proxy port \"" + port + "\"";
            return std::nullopt;
        }
        route.Port = value;
        rest = rest.substr(0, colon);
    }
    if (rest.empty()) {
        why = "no proxy host in \"" + text + "\"";
        return std::nullopt;
    }
    route.Host = rest;
    return route;
}

bool NoProxyExempts(const std::string& list, const std::string& host) {
    const std::string name = LowerCase(host);
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        std::string entry = list.substr(start, end - start);
        start = end + 1;
        const size_t first = entry.find_first_not_of(" \t");
        if (first == std::string::npos) continue;
        entry = LowerCase(entry.substr(first, entry.find_last_not_of(" \t") - first + 1));
        if (entry == "*") return true;
        if (entry[0] == '.') entry.erase(0, 1);
        if (entry.empty()) continue;
        if (name == entry) return true;
        if (name.size() > entry.size() &&
            name.compare(name.size() - entry.size(), entry.size(), entry) == 0 &&
            name[name.size() - entry.size() - 1] == '.')
            return true;
    }
    return false;
}

TNxGetProxyChoice ChooseProxy(const TNxGetProxySettings& settings, const std::string& url,
                              const std::function<std::optional<std::string>(const char*)>& environment) {
    TNxGetProxyChoice choice;
    std::string proxy;
    if (settings.Proxy) {
        proxy = *settings.Proxy;
        choice.Source = "--proxy";
    } else {
        const std::string scheme = LowerCase(TNxURI(url).Protocol());
        std::string which;
        // Only the lower case http_proxy: a CGI program's environment holds HTTP_PROXY from the
        // request's "Proxy:" header.
        std::optional<std::string> value;
        if (scheme == "http")
            value = FirstSet(environment, {"http_proxy"}, which);
        else if (scheme == "https")
            value = FirstSet(environment, {"https_proxy", "HTTPS_PROXY"}, which);
        if (!value) value = FirstSet(environment, {"all_proxy", "ALL_PROXY"}, which);
        if (value) {
            proxy = *value;
            choice.Source = which;
        }
    }
    if (proxy.empty()) return choice; // no proxy, or -x "" turning the variables off
    std::string exemptSource = "--noproxy";
    std::optional<std::string> exempt = settings.NoProxy;
    if (!exempt) exempt = FirstSet(environment, {"no_proxy", "NO_PROXY"}, exemptSource);
    if (exempt && NoProxyExempts(*exempt, TNxURI(url).Host())) {
        choice.Source = exemptSource;
        return choice;
    }
    std::optional<TNxProxyRoute> route = ParseProxyURL(proxy, choice.Error);
    if (!route) {
        choice.Error = choice.Source + ": " + choice.Error;
        return choice;
    }
    if (settings.ProxyUser) SetCredentials(*route, *settings.ProxyUser, false);
    choice.Route = *route;
    return choice;
}
