#include "http/NxCookie.h"

#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#include "http/NxGlobal.h"
#include "transport/NxStack.h"

using namespace std::chrono_literals;

TEST(NxCookie, ParseNameValueAndAttributes) {
    struct Case {
        std::string text, name, value, path, domain;
        bool secure;
    } cases[] = {
        {"SID=a=b", "SID", "a=b", "", "", false},
        {"SID=1; path=\"/x\"", "SID", "1", "/x", "", false},
        {"a=1; Path=/p; path=/q; DOMAIN=.b.c", "a", "1", "/p", ".b.c", false}, // first occurrence counts
        {"a=1; path =/p", "a", "1", "", "", false},                            // a blank keeps the name
        {"a=\"q\"; SeCuRe", "a", "\"q\"", "", "", true},                       // value not unquoted
        {"novalue", "", "", "", "", false},
        {"a=", "a", "", "", "", false},
        {" a=1 ; path=/ ;", "a", "1", "/", "", false},
    };
    for (const auto& c : cases) {
        TNxCookieRFC2109 cookie;
        cookie.ParseCookieText(c.text);
        EXPECT_EQ(cookie.CookieText(), c.text);
        EXPECT_EQ(cookie.CookieName(), c.name) << c.text;
        EXPECT_EQ(cookie.Value(), c.value) << c.text;
        EXPECT_EQ(cookie.Path(), c.path) << c.text;
        EXPECT_EQ(cookie.Domain(), c.domain) << c.text;
        EXPECT_EQ(cookie.Secure(), c.secure) << c.text;
    }
}

TEST(NxCookie, ExpiryMaxAgeAndServerForm) {
    TNxCookieRFC2109 session;
    session.ParseCookieText("SID=1; path=/; Version=1; Comment=hi");
    session.SetDomain("host");
    EXPECT_EQ(session.Kind(), ckNetscape); // no expiry turns it into the plain form
    EXPECT_EQ(session.MaxAge(), -1);
    EXPECT_EQ(session.ServerCookieText(), "SID=1; path=/; domain=host; comment=hi; version=1");

    TNxCookieRFC2109 aged;
    const TDateTime before = NxNow();
    aged.ParseCookieText("A=1; max-age=3600; secure");
    ASSERT_FALSE(aged.Expires().empty());
    EXPECT_NEAR(InternetDateToLocal(aged.Expires()), before + NxOneHour, 5 * NxOneSecond);
    EXPECT_GE(aged.MaxAge(), 3590);
    EXPECT_LE(aged.MaxAge(), 3600);
    EXPECT_EQ(aged.ServerCookieText(), "A=1; expires=" + aged.Expires() + "; secure");

    TNxCookieRFC2109 dated;
    const std::string past = "Sun, 06 Nov 1994 08:49:37 GMT";
    dated.ParseCookieText("B=2; expires=" + past + "; max-age=zz");
    EXPECT_EQ(dated.Expires(), past);
    EXPECT_EQ(dated.Kind(), ckRFC2109);
    EXPECT_EQ(dated.MaxAge(), -1); // MAX-AGE that is no number counts as absent
    EXPECT_EQ(dated.ServerCookieText(), "B=2");

    TNxCookieRFC2109 set;
    set.SetExpires(FormatInternetDate(NxNow() + 100 * NxOneSecond));
    EXPECT_GE(set.MaxAge(), 95);
    EXPECT_LE(set.MaxAge(), 100);
}

TEST(NxCookie, Rfc2965PortList) {
    struct Case {
        std::string attribute;
        std::vector<int32_t> ports;
    } cases[] = {
        {"", {80}},
        {"; Port", {80}},
        {"; Port=\"8080\"", {8080}},
        {"; Port=\"80,8080\"", {80, 8080}},
        {"; Port=\"80 8081, \"8082\"\"", {80, 8081, 8082}},
        {"; Port=\"\"", {80}},
        {"; Port=8080", {}}, // without quotes the list is left as it was
    };
    for (const auto& c : cases) {
        TNxCookieRFC2965 cookie;
        cookie.ParseCookieText("a=1; CommentURL=http://x/; Discard" + c.attribute);
        EXPECT_EQ(cookie.PortList(), c.ports) << c.attribute;
        EXPECT_TRUE(cookie.Discard());
        EXPECT_EQ(cookie.CommentURL(), "http://x/");
    }

    TNxCookieRFC2965 bad;
    try {
        bad.ParseCookieText("a=1; Port=\"80,x1\"");
        FAIL() << "no conversion error";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'x1' is not a valid integer value");
    }

    TNxCookieRFC2965 list;
    list.SetPort(0, 1);
    list.SetPort(1, 2);
    list.SetPort(0, 3);
    EXPECT_EQ(list.PortList(), (std::vector<int32_t>{3, 2}));
    try {
        list.SetPort(3, 4);
        FAIL() << "position past the end accepted";
    } catch (const ENxIndexOutOfRange& e) {
        EXPECT_STREQ(e.what(), "Index out of range.");
    }
    EXPECT_THROW(list.SetPort(-1, 4), ENxIndexOutOfRange);
}

TEST(NxCookie, DomainCheckWhenStoring) {
    struct Case {
        std::string host, domain;
        bool valid;
    } cases[] = {{"a.b.c", "a.b.c", true},      {"a.b.c", ".b.c", true},
                 {"a.b.c", "b.c", false},       {"a.b.c", ".c", false},
                 {"a.b.c", ".B.C", false},      {"host", "host", true},
                 {"host", ".host", false},      {"10.0.0.1", "10.0.0.1", true},
                 {"10.0.0.1", ".0.0.1", false}, {".b.c", ".B.C", true},
                 {".b.c", ".c", false},         {"1.2.3", ".2.3", true}, // not an address
                 {"300.1.1.1", ".1.1.1", true}};
    for (const auto& c : cases) {
        TNxCookieRFC2109 cookie;
        cookie.SetDomain(c.domain);
        EXPECT_EQ(cookie.DomainValid(c.host), c.valid) << c.host << " / " << c.domain;
    }
}

TEST(NxCookie, CollectionIndexAndReplacementInPlace) {
    TNxCookies cookies;
    auto add = [&](const std::string& text) {
        TNxCookieRFC2109* cookie = cookies.Add();
        cookie->ParseCookieText(text);
        cookie->SetDomain("host");
        return cookies.AddCookie(cookie);
    };
    TNxNetscapeCookie* sid = add("SID=1; path=/a");
    add("A=1");
    TNxNetscapeCookie* kept = add("sid=2; path=/b");
    EXPECT_EQ(kept, sid);
    EXPECT_EQ(cookies.Count(), 2);
    const TNxCookieList& domain = *cookies.DomainIndex().List(0);
    ASSERT_EQ(domain.Count(), 2);
    EXPECT_EQ(domain.Cookie(0), sid); // keeps its place
    EXPECT_EQ(sid->Value(), "2");
    EXPECT_EQ(sid->Path(), "/b");

    // A discarded newcomer with the same name leaves the stored cookie indexed.
    TNxCookieRFC2109* stray = cookies.Add();
    stray->ParseCookieText("SID=3");
    stray->SetDomain("host");
    cookies.Delete(stray);
    EXPECT_EQ(domain.Count(), 2);
    EXPECT_EQ(domain.Cookie(0), sid);

    cookies.Delete(sid);
    EXPECT_EQ(domain.Count(), 1);
    EXPECT_EQ(cookies.Count(), 1);
    EXPECT_EQ(cookies.DomainIndex().Count(), 1); // empty domain lists would stay too
}

TEST(NxCookie, WriterReentersAndExcludesReaders) {
    TNxReadWriteLock lock;
    std::promise<void> done;
    std::thread writer([&] {
        lock.BeginWrite();
        lock.BeginWrite();
        lock.BeginRead();
        lock.EndRead();
        lock.EndWrite();
        lock.EndWrite();
        done.set_value();
    });
    const bool finished = done.get_future().wait_for(5s) == std::future_status::ready;
    EXPECT_TRUE(finished) << "re-entering the write lock blocked";
    if (!finished) {
        writer.detach();
        return;
    }
    writer.join();

    // Two readers at once; a writer waits for both.
    lock.BeginRead();
    std::atomic<bool> secondReader{false}, wrote{false};
    std::thread reader([&] {
        lock.BeginRead();
        secondReader = true;
        lock.EndRead();
    });
    for (int i = 0; i < 500 && !secondReader; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(secondReader);
    // The writer only now: a lock that lets a waiting writer go first (as the Windows
    // one does) would hold the second reader back behind it.
    std::thread writer2([&] {
        lock.BeginWrite();
        wrote = true;
        lock.EndWrite();
    });
    for (int i = 0; i < 500 && lock.WaitingWriters() == 0 && !wrote; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(lock.WaitingWriters(), 1) << "the writer is not waiting";
    EXPECT_FALSE(wrote) << "writer ran while a reader held the lock";
    lock.EndRead();
    for (int i = 0; i < 500 && !wrote; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(wrote);
    reader.join();
    writer2.join();
}

TEST(NxCookie, LockStress) {
    // Many rounds with a fresh lock each: the lock that once failed here (mingw's
    // std::shared_mutex) let two writers in together in about one round in a hundred.
    constexpr int kRounds = 200, kThreads = 4, kSteps = 2000;
    for (int round = 0; round < kRounds; ++round) {
        TNxReadWriteLock lock;
        long long a = 0, b = 0;      // written together under the write lock
        std::atomic<int> writers{0}; // inside the write lock right now
        std::atomic<int> faults{0};  // a second writer, or a reader beside a writer
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < kSteps; ++i) {
                    if ((i + t) % 2 == 0) {
                        lock.BeginWrite();
                        if (writers.fetch_add(1) != 0) ++faults;
                        ++a;
                        lock.BeginWrite(); // re-entry in the middle of an update
                        ++b;
                        lock.EndWrite();
                        writers.fetch_sub(1);
                        lock.EndWrite();
                    } else {
                        lock.BeginRead();
                        if (writers.load() != 0 || a != b) ++faults;
                        lock.EndRead();
                    }
                }
            });
        for (auto& thread : threads)
            thread.join();
        ASSERT_EQ(faults, 0) << "round " << round;
        ASSERT_EQ(a, kThreads * kSteps / 2) << "round " << round;
        ASSERT_EQ(b, a) << "round " << round;
    }
}
