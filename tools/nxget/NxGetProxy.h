#pragma once
// nxget's proxy, by curl's conventions: -x/--proxy [scheme://][user:password@]host[:port]
// (schemes http, socks4, socks4a, socks5, socks5h; port 1080 when none is given; an empty
// value: no proxy at all), --proxy-user USER:PASSWORD, --noproxy LIST, and the variables
// http_proxy (lower case only), https_proxy/HTTPS_PROXY, all_proxy/ALL_PROXY and
// no_proxy/NO_PROXY, the lower case one first.
#include <functional>
#include <optional>
#include <string>

#include "http/NxProxyRoute.h"

// A proxy URL as a route; nothing, with why set, for one that cannot be used.
std::optional<TNxProxyRoute> ParseProxyURL(const std::string& text, std::string& why);

// Whether host is one a no-proxy list exempts: "*" exempts every host; each other entry
// (separated by commas, blanks around it ignored, a leading dot dropped) a host of that name
// or under it as a domain, without regard to case.
bool NoProxyExempts(const std::string& list, const std::string& host);

struct TNxGetProxySettings {
    // -x/--proxy, when given (an empty value included).
    std::optional<std::string> Proxy;
    // --proxy-user, when given: replaces the credentials of any proxy URL.
    std::optional<std::string> ProxyUser;
    // --noproxy, when given: replaces no_proxy/NO_PROXY.
    std::optional<std::string> NoProxy;
};

struct TNxGetProxyChoice {
    TNxProxyRoute Route;
    // Where the proxy came from ("--proxy", "https_proxy", ...), or for a direct route that
    // another setting would have proxied, what exempted it; empty when none was set.
    std::string Source;
    // Set when the chosen proxy cannot be used: the URL then fails with this.
    std::string Error;
};

// The way to url: -x over the variables, the scheme's variable over all_proxy, the no-proxy
// list over both. environment looks a variable up (nothing when unset).
TNxGetProxyChoice ChooseProxy(const TNxGetProxySettings& settings, const std::string& url,
                              const std::function<std::optional<std::string>(const char*)>& environment);
