#include "http/NxCookieManager.h"

#include <algorithm>
#include <utility>

#include "http/NxGlobal.h"

TNxCookieManager::TNxCookieManager(TOnManagerEvent onCreate)
    : OnCreate(std::move(onCreate)), FCookies(std::make_unique<TNxCookies>()) {
    if (OnCreate) OnCreate(this, *FCookies);
}

TNxCookieManager::~TNxCookieManager() {
    try {
        PurgeExpired();
    } catch (const std::exception&) {
        // Without the time zone nothing can be judged expired; everything goes anyway.
    }
    if (OnDestroy) OnDestroy(this, *FCookies);
    const auto listeners = std::move(FFreeListeners);
    for (const auto& listener : listeners)
        if (listener.second) listener.second(this);
}

void TNxCookieManager::AddCookie(const std::string& cookieText, const std::string& host) {
    TakeCookie(FCookies->Add(), cookieText, host);
}

void TNxCookieManager::AddCookie2(const std::string& cookieText, const std::string& host) {
    TakeCookie(FCookies->Add2(), cookieText, host);
}

void TNxCookieManager::TakeCookie(TNxCookieRFC2109* cookie, const std::string& cookieText,
                                  const std::string& host) {
    // A parse failure (a PORT item that is no number) propagates; the cookie stays in
    // the collection, unindexed, until the manager goes.
    cookie->ParseCookieText(cookieText);
    if (cookie->Domain().empty()) cookie->SetDomain(host);
    if (!cookie->DomainValid(host)) {
        FCookies->Delete(cookie);
        return;
    }
    bool accept = true;
    if (OnNewCookie) OnNewCookie(this, cookie, accept);
    if (!accept) {
        FCookies->Delete(cookie);
        return;
    }
    FCookies->AddCookie(cookie);
}

void TNxCookieManager::PurgeExpired() {
    FCookies->PurgeExpired();
}

bool TNxCookieManager::DomainMatches(const std::string& key, const std::string& host) {
    // Matching by mere containment would hand a cookie of "host" to "myhost" and to
    // "host.attacker.example"; RFC 6265 domain matching is by whole labels.
    const std::string k = UpperCase(key);
    const std::string h = UpperCase(host);
    if (k.empty() || h.empty()) return false;
    if (k[0] != '.') return k == h;
    if (h == k.substr(1)) return true;
    return h.size() > k.size() && h.compare(h.size() - k.size(), k.size(), k) == 0;
}

std::string TNxCookieManager::CookieHeaderFor(const TNxURI& uri, bool secureConnection) {
    PurgeExpired();
    TNxCookies& cookies = *FCookies;
    TNxReadGuard guard(cookies.Lock());
    const TNxCookieList& index = cookies.DomainIndex();
    if (index.IsEmpty()) return {};

    // Sorted by path (locale order, no case); a newcomer goes before equal paths, so
    // reading the list backwards gives longer paths first and equal paths in the order
    // they were examined.
    std::vector<std::pair<std::string, const TNxNetscapeCookie*>> candidates;
    for (int d = 0; d < index.Count(); ++d) {
        if (!DomainMatches(index.Key(d), uri.Host())) continue;
        const TNxCookieList& domain = *index.List(d);
        for (int c = domain.Count() - 1; c >= 0; --c) {
            const TNxNetscapeCookie* cookie = domain.Cookie(c);
            if (uri.Path().compare(0, cookie->Path().size(), cookie->Path()) != 0) continue;
            if (cookie->Secure() && !secureConnection) continue;
            if (cookie->Value().empty()) continue;
            const auto at = std::lower_bound(candidates.begin(), candidates.end(), cookie->Path(),
                                             [](const auto& entry, const std::string& path) {
                                                 return NxCompareText(entry.first, path) < 0;
                                             });
            candidates.insert(at, {cookie->Path(), cookie});
        }
    }

    std::string result;
    for (auto it = candidates.rbegin(); it != candidates.rend(); ++it) {
        if (!result.empty()) result += "; ";
        result += it->second->ClientCookieText();
    }
    return result;
}

int TNxCookieManager::AddFreeNotification(std::function<void(TNxCookieManager*)> listener) {
    const int handle = FNextListener++;
    FFreeListeners.emplace_back(handle, std::move(listener));
    return handle;
}

void TNxCookieManager::RemoveFreeNotification(int handle) {
    FFreeListeners.erase(std::remove_if(FFreeListeners.begin(), FFreeListeners.end(),
                                        [handle](const auto& entry) { return entry.first == handle; }),
                         FFreeListeners.end());
}
