#include "http/NxCookieManager.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "http/NxGlobal.h"
#include "transport/NxStack.h"

namespace {

const std::string kPast = "Sun, 06 Nov 1994 08:49:37 GMT";

std::string HeaderFor(TNxCookieManager& manager, const std::string& url, bool secure = false) {
    return manager.CookieHeaderFor(TNxURI(url), secure);
}

} // namespace

TEST(NxCookieManager, DomainMatchingByHostOrWholeDomain) {
    struct Case {
        std::string key, host;
        bool sent;
    } cases[] = {
        {"host", "host", true},
        {"host", "HOST", true},
        {"host", "myhost", false},
        {"host", "host.attacker.example", false},
        {"a.b.c", "x.a.b.c", false},
        {".b.c", "b.c", true},
        {".b.c", "a.b.c", true},
        {".B.C", "x.y.b.c", true},
        {".b.c", "x.b.c.evil.example", false},
        {".b.c", "ab.c", false},
        {".b.c", "evilb.c", false},
        {"10.0.0.1", "110.0.0.1", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TNxCookieManager::DomainMatches(c.key, c.host), c.sent) << c.key << " -> " << c.host;
}

TEST(NxCookieManager, WorkedSequence) {
    TNxCookieManager manager;
    EXPECT_EQ(HeaderFor(manager, "http://host//dir/a.exe"), "");
    manager.AddCookie("SID=1; path=/", "host");
    EXPECT_EQ(HeaderFor(manager, "http://host//dir/b.txt"), "SID=1");
    manager.AddCookie("D=2; path=/dir", "host");
    EXPECT_EQ(HeaderFor(manager, "http://host//dir/b.txt"), "SID=1"); // //dir/ does not begin with /dir
    EXPECT_EQ(HeaderFor(manager, "http://host/dir/b.txt"), "D=2; SID=1");
    // Foreign hosts that merely contain the name get nothing.
    EXPECT_EQ(HeaderFor(manager, "http://myhost/"), "");
    EXPECT_EQ(HeaderFor(manager, "http://host.attacker.example/"), "");
}

TEST(NxCookieManager, StoringChecksTheDomain) {
    TNxCookieManager manager;
    manager.AddCookie("A=1", "a.b.c");
    manager.AddCookie("B=2; domain=.b.c", "a.b.c");
    manager.AddCookie("C=3; domain=b.c", "a.b.c");
    manager.AddCookie("E=4; domain=.c", "a.b.c");
    TNxCookies& cookies = manager.CookieCollection();
    EXPECT_EQ(cookies.Count(), 2);
    EXPECT_EQ(cookies.DomainIndex().Count(), 2);
    EXPECT_EQ(cookies.DomainIndex().Key(0), "a.b.c");
    EXPECT_EQ(cookies.DomainIndex().Key(1), ".b.c");

    EXPECT_EQ(HeaderFor(manager, "http://a.b.c/"), "A=1; B=2");
    EXPECT_EQ(HeaderFor(manager, "http://x.b.c/"), "B=2");
    EXPECT_EQ(HeaderFor(manager, "http://b.c/"), "B=2");
    EXPECT_EQ(HeaderFor(manager, "http://x.b.c.evil.example/"), "");
}

TEST(NxCookieManager, WhatIsSent) {
    TNxCookieManager manager;
    manager.AddCookie("EMPTY=; path=/", "host");
    manager.AddCookie("S=1; secure", "host");
    manager.AddCookie("P=1; path=/", "host");
    manager.AddCookie("Q=1; path=/", "host");
    manager.AddCookie("L=1; path=/dir/sub/", "host");
    manager.AddCookie("M=1; path=/dir/", "host");
    EXPECT_EQ(manager.CookieCollection().Count(), 6); // the empty value is stored
    // Longer paths first; equal paths newest first; no path goes to every path.
    EXPECT_EQ(HeaderFor(manager, "http://host/dir/sub/x"), "L=1; M=1; Q=1; P=1");
    EXPECT_EQ(HeaderFor(manager, "http://host/dir/sub/x", true), "L=1; M=1; Q=1; P=1; S=1");
    EXPECT_EQ(HeaderFor(manager, "http://host/other", true), "Q=1; P=1; S=1");
}

TEST(NxCookieManager, ReplacementByNameKeepsPlace) {
    TNxCookieManager manager;
    manager.AddCookie("SID=1; path=/a", "host");
    manager.AddCookie("A=1; path=/", "host");
    manager.AddCookie("sid=2; path=/", "host");
    EXPECT_EQ(manager.CookieCollection().Count(), 2);
    // Walked newest entry first: A was added after SID, and SID kept its place.
    EXPECT_EQ(HeaderFor(manager, "http://host/"), "A=1; sid=2");
}

TEST(NxCookieManager, ExpiredCookiesArePurged) {
    TNxCookieManager manager;
    manager.AddCookie("OLD=1; expires=" + kPast, "host");
    manager.AddCookie("SID=1", "host");
    EXPECT_EQ(manager.CookieCollection().Count(), 2);
    EXPECT_EQ(HeaderFor(manager, "http://host/"), "SID=1");
    EXPECT_EQ(manager.CookieCollection().Count(), 1);

    // A server ends a cookie by setting it again with a past date.
    manager.AddCookie("SID=2; expires=" + kPast, "host");
    EXPECT_EQ(HeaderFor(manager, "http://host/"), "");
    EXPECT_EQ(manager.CookieCollection().Count(), 0);

    manager.AddCookie("F=1; max-age=3600", "host");
    EXPECT_EQ(HeaderFor(manager, "http://host/"), "F=1");
}

TEST(NxCookieManager, EventsAndRefusal) {
    int created = 0, destroyed = 0, notified = 0;
    {
        TNxCookieManager manager([&](TNxCookieManager*, TNxCookies& cookies) {
            ++created;
            EXPECT_EQ(cookies.Count(), 0);
        });
        manager.OnDestroy = [&](TNxCookieManager*, TNxCookies&) { ++destroyed; };
        manager.AddFreeNotification([&](TNxCookieManager*) { ++notified; });
        const int removed = manager.AddFreeNotification([&](TNxCookieManager*) { notified += 100; });
        manager.RemoveFreeNotification(removed);

        manager.AddCookie("SID=1", "host");
        manager.OnNewCookie = [](TNxCookieManager*, TNxCookieRFC2109* cookie, bool& accept) {
            accept = cookie->Value() != "evil";
        };
        manager.AddCookie("SID=evil", "host");
        EXPECT_EQ(HeaderFor(manager, "http://host/"), "SID=1"); // the stored one is untouched
        EXPECT_EQ(manager.CookieCollection().Count(), 1);

        // A bad PORT item fails the call; the cookie is never indexed.
        EXPECT_THROW(manager.AddCookie2("P2=1; Port=\"x\"", "host"), EConvertError);
        EXPECT_EQ(HeaderFor(manager, "http://host/"), "SID=1");
        manager.AddCookie2("V2=1; Port=\"80\"", "host");
        EXPECT_EQ(HeaderFor(manager, "http://host/"), "V2=1; SID=1");
    }
    EXPECT_EQ(created, 1);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(notified, 1);
}

TEST(NxCookieManager, ConcurrentStoreAndCompose) {
    TNxCookieManager manager;
    constexpr int kThreads = 4, kCookies = 150;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&manager, t] {
            const std::string host = "h" + std::to_string(t) + ".example";
            for (int i = 0; i < kCookies; ++i) {
                // Built by appending: "C" + a temporary trips a false -Wrestrict in mingw's GCC 12.
                std::string cookie = "C";
                cookie += std::to_string(i) + "=" + std::to_string(t);
                manager.AddCookie(cookie, host);
                manager.AddCookie(cookie + "b", host); // replaces
                (void)manager.CookieHeaderFor(TNxURI("http://" + host + "/"), false);
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(manager.CookieCollection().Count(), kThreads * kCookies);
    for (int t = 0; t < kThreads; ++t) {
        const std::string header = HeaderFor(manager, "http://h" + std::to_string(t) + ".example/");
        EXPECT_EQ(header.rfind("C" + std::to_string(kCookies - 1) + "=" + std::to_string(t) + "b; ", 0), 0u);
        EXPECT_NE(header.find("; C0=" + std::to_string(t) + "b"), std::string::npos);
        EXPECT_EQ(std::count(header.begin(), header.end(), '='), kCookies);
    }
}
