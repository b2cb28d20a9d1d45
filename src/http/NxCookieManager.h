#pragma once
// TNxCookieManager: the cookie store the HTTP client talks to. It takes the values of
// "Set-cookie" / "Set-cookie2" response headers, keeps the cookies a host may set, and
// composes the "Cookie" value for later requests. Cookies live in memory only.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/NxCookie.h"
#include "http/NxURI.h"

class TNxCookieManager;

using TOnManagerEvent = std::function<void(TNxCookieManager* Sender, TNxCookies& Cookies)>;
using TOnNewCookieEvent =
    std::function<void(TNxCookieManager* Sender, TNxCookieRFC2109* Cookie, bool& VAccept)>;

class TNxCookieManager {
public:
    // Creates the collection, then fires onCreate (given here, since no handler could be
    // assigned before the constructor runs).
    explicit TNxCookieManager(TOnManagerEvent onCreate = {});
    TNxCookieManager(const TNxCookieManager&) = delete;
    TNxCookieManager& operator=(const TNxCookieManager&) = delete;
    // Purges expired cookies, fires OnDestroy, tells every free-notification listener,
    // then frees the collection.
    ~TNxCookieManager();

    // One "Set-cookie" value (RFC 2109 cookie) / one "Set-cookie2" value (RFC 2965
    // cookie), set by a response from host. A cookie the host may not set, or one that
    // OnNewCookie refuses, is dropped silently.
    void AddCookie(const std::string& cookieText, const std::string& host);
    void AddCookie2(const std::string& cookieText, const std::string& host);
    // The "Cookie" value for a request to uri: name=value pairs joined by "; ", longer
    // paths first; empty when nothing matches (then no header is sent).
    std::string CookieHeaderFor(const TNxURI& uri, bool secureConnection);
    // Frees every cookie whose expiry has passed.
    void PurgeExpired();

    TNxCookies& CookieCollection() noexcept { return *FCookies; }

    // Whether a cookie stored under domain key goes to host. A key without a leading
    // dot names one host; a key with a leading dot names that domain and every host
    // inside it. Letter case does not count.
    static bool DomainMatches(const std::string& key, const std::string& host);

    // Listeners told when the manager is destroyed (the HTTP client forgets a manager
    // that was freed elsewhere). Returns a handle for RemoveFreeNotification.
    int AddFreeNotification(std::function<void(TNxCookieManager*)> listener);
    void RemoveFreeNotification(int handle);

    TOnManagerEvent OnCreate;
    TOnManagerEvent OnDestroy;
    TOnNewCookieEvent OnNewCookie;

private:
    void TakeCookie(TNxCookieRFC2109* cookie, const std::string& cookieText, const std::string& host);

    std::unique_ptr<TNxCookies> FCookies;
    std::vector<std::pair<int, std::function<void(TNxCookieManager*)>>> FFreeListeners;
    int FNextListener = 1;
};
