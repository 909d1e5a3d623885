#include "http/IdCookie.h"
#include "http/IdCookieManager.h"
#include "http/IdHTTPDate.h"
#include "http/IdHeaderList.h"
#include "http/IdURI.h"
#include "net/IdException.h"
#include "support/Watchdog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

namespace {

// A reply's header block as the response reader stores it.
TIdHeaderList Reply(std::initializer_list<const char*> lines) {
    TIdHeaderList headers;
    for (const char* line : lines)
        headers.Add(line);
    return headers;
}

// The Cookie header the client would send for url, or "(none)".
std::string CookieFor(const TIdCookieClient& client, const std::string& url, bool secure = false) {
    TIdHeaderList request;
    request.FoldWidth = 1024;
    client.AddCookieHeader(TIdURI(url), secure, request);
    return request.FindName("Cookie") < 0 ? "(none)" : request.ValueOf("Cookie");
}

std::string CookieFor(TIdCookieManager& manager, const std::string& url, bool secure = false) {
    return manager.CookieHeaderFor(TIdURI(url), secure);
}

} // namespace

TEST(IdCookieJar, FirstRequestHasNoCookieThenTheReplysCookieGoesBack) {
    TIdCookieClient client;
    EXPECT_EQ(CookieFor(client, "http://server/dir/pic.jpg"), "(none)");
    EXPECT_EQ(client.Manager(), nullptr);

    client.StoreResponseCookies(true, Reply({"Content-Type: text/html", "Set-Cookie: a=1; path=/"}),
                                "server");
    ASSERT_NE(client.Manager(), nullptr);
    EXPECT_TRUE(client.OwnsManager());
    EXPECT_EQ(CookieFor(client, "http://server/dir/pic.jpg"), "a=1");
    EXPECT_EQ(CookieFor(client, "http://server/"), "a=1");
}

TEST(IdCookieJar, NoManagerWhenCookiesAreNotAllowed) {
    TIdCookieClient client;
    client.StoreResponseCookies(false, Reply({"Set-Cookie: a=1"}), "server");
    EXPECT_EQ(client.Manager(), nullptr);
    EXPECT_EQ(CookieFor(client, "http://server/"), "(none)");
}

TEST(IdCookieJar, StoresEverySetCookieAndSetCookie2Line) {
    TIdCookieClient client;
    client.StoreResponseCookies(
        true, Reply({"set-cookie: a=1", "SET-COOKIE: b=2; path=/x/", "Set-Cookie2: c=3; Version=1", "X: y"}),
        "h");
    TIdCookies& jar = client.Manager()->CookieCollection();
    ASSERT_EQ(jar.Count(), 3);
    EXPECT_EQ(jar.Cookie(0)->Name, "a");
    EXPECT_EQ(jar.Cookie(0)->Dialect, cdNetscape);
    EXPECT_EQ(jar.Cookie(2)->Name, "c");
    EXPECT_NE(dynamic_cast<const TIdCookieRFC2965*>(jar.Cookie(2)), nullptr);
    EXPECT_EQ(jar.Cookie(1)->Path, "/x/");
    EXPECT_EQ(jar.Cookie(0)->Domain, "h");
    EXPECT_EQ(jar.Cookie(5), nullptr);
    EXPECT_EQ(jar.Cookie(-1), nullptr);
}

TEST(IdCookieJar, PathSelectsCookiesAndTheLongestPathComesFirst) {
    TIdCookieManager m;
    m.AddServerCookie("all=1", "h");
    m.AddServerCookie("deep=2; path=/a/b/", "h");
    m.AddServerCookie("mid=3; path=\"/a/\"", "h");
    m.AddServerCookie("other=4; path=/z/", "h");
    EXPECT_EQ(CookieFor(m, "http://h/a/b/c.html"), "deep=2; mid=3; all=1");
    EXPECT_EQ(CookieFor(m, "http://h/a/x"), "mid=3; all=1");
    EXPECT_EQ(CookieFor(m, "http://h/"), "all=1");
    // Paths compare by case.
    EXPECT_EQ(CookieFor(m, "http://h/A/B/"), "all=1");
}

TEST(IdCookieJar, ExpiredCookiesAreDroppedBeforeTheHeaderIsBuilt) {
    TIdCookieManager m;
    m.AddServerCookie("old=1; expires=Thu, 01-Jan-1970 00:00:01 GMT", "h");
    m.AddServerCookie("gone=2; max-age=0", "h");
    m.AddServerCookie("live=3; expires=Fri, 31 Dec 2099 23:59:59 GMT", "h");
    m.AddServerCookie("soon=4; max-age=3600", "h");
    EXPECT_EQ(m.CookieCollection().Count(), 4);
    EXPECT_EQ(CookieFor(m, "http://h/"), "live=3; soon=4");
    EXPECT_EQ(m.CookieCollection().Count(), 2);
}

TEST(IdCookieJar, AnUnreadableDateIsNoDate) {
    TIdCookieManager m;
    m.AddServerCookie("a=1; expires=never", "h");
    EXPECT_EQ(CookieFor(m, "http://h/"), "a=1");
}

TEST(IdCookieJar, SameNameReplacesTheStoredCookie) {
    TIdCookieManager m;
    m.AddServerCookie("a=1; path=/", "h");
    m.AddServerCookie("A=2; path=/; secure", "h");
    ASSERT_EQ(m.CookieCollection().Count(), 1);
    const TIdNetscapeCookie* stored = m.CookieCollection().Cookie(0);
    EXPECT_EQ(stored->Name, "A");
    EXPECT_EQ(stored->Value, "2");
    EXPECT_TRUE(stored->Secure);
    EXPECT_EQ(CookieFor(m, "http://h/", true), "A=2");

    // Replacing with a date in the past deletes it.
    m.AddServerCookie("a=deleted; path=/; expires=Thu, 01 Jan 1970 00:00:00 GMT", "h");
    EXPECT_EQ(CookieFor(m, "http://h/", true), "");
    EXPECT_EQ(m.CookieCollection().Count(), 0);
}

TEST(IdCookieJar, ADomainKeepsABoundedNumberOfCookies) {
    TIdCookieManager m;
    for (int i = 0; i < 2000; ++i)
        m.AddServerCookie("c" + std::to_string(i) + "=1", "h");
    m.AddServerCookie("other=1", "h2");
    TIdCookies& jar = m.CookieCollection();
    EXPECT_EQ(jar.Count(), static_cast<int>(TIdCookies::MaxCookiesPerDomain) + 1);
    EXPECT_EQ(jar.Find("h", "c0"), nullptr);
    EXPECT_NE(jar.Find("h", "c1999"), nullptr);
    EXPECT_EQ(jar.Cookie(0)->Name, "c" + std::to_string(2000 - TIdCookies::MaxCookiesPerDomain));
    EXPECT_NE(jar.Find("H2", "OTHER"), nullptr);
}

TEST(IdCookieJar, SecureAndEmptyCookiesAreHeldBack) {
    TIdCookieManager m;
    m.AddServerCookie("s=1; Secure", "h");
    m.AddServerCookie("e=", "h");
    m.AddServerCookie("p=2", "h");
    EXPECT_EQ(m.CookieCollection().Count(), 3);
    EXPECT_EQ(CookieFor(m, "http://h/", false), "p=2");
    EXPECT_EQ(CookieFor(m, "https://h/", true), "s=1; p=2");
}

TEST(IdCookieJar, CookiesGoOnlyToTheirDomain) {
    TIdCookieManager m;
    m.AddServerCookie("host=1", "b.com");
    m.AddServerCookie("dom=2; domain=.b.c", "a.b.c");
    m.AddServerCookie("ip=3", "10.0.0.1");
    EXPECT_EQ(CookieFor(m, "http://b.com/"), "host=1");
    EXPECT_EQ(CookieFor(m, "http://B.COM/"), "host=1");
    EXPECT_EQ(CookieFor(m, "http://www.b.com/"), "host=1");
    EXPECT_EQ(CookieFor(m, "http://notb.com/"), "");
    EXPECT_EQ(CookieFor(m, "http://b.com.evil.net/"), "");
    EXPECT_EQ(CookieFor(m, "http://a.b.c/"), "dom=2");
    EXPECT_EQ(CookieFor(m, "http://x.b.c/"), "dom=2");
    EXPECT_EQ(CookieFor(m, "http://b.c/"), "dom=2");
    EXPECT_EQ(CookieFor(m, "http://xb.c/"), "");
    EXPECT_EQ(CookieFor(m, "http://10.0.0.1/"), "ip=3");
    EXPECT_EQ(CookieFor(m, "http://10.0.0.12/"), "");
    EXPECT_EQ(CookieFor(m, "http://110.0.0.1/"), "");
}

TEST(IdCookieJar, AcceptanceFollowsTheRequestHost) {
    struct Case {
        const char* Domain;
        const char* Host;
        bool Matches;
    };
    const Case cases[] = {
        {".b.c", "a.b.c", true},          {".b.c", "x.a.b.c", false},     {"a.b.c", "a.b.c", true},
        {"A.b.c", "a.b.c", false},        {"b.c", "a.b.c", false},        {".com", "a.com", false},
        {"127.0.0.1", "127.0.0.1", true}, {".0.0.1", "127.0.0.1", false}, {"localhost", "localhost", true},
        {"other", "localhost", false},    {".B.C", ".b.c", true},         {".b.c", ".x.b.c", false},
        {"1.2.3.4", "a.b.c", false},      {"", "a.b.c", false},
    };
    for (const Case& c : cases) {
        TIdCookieRFC2109 cookie;
        cookie.Domain = c.Domain;
        EXPECT_EQ(cookie.DomainMatches(c.Host), c.Matches) << c.Domain << " from " << c.Host;
    }

    TIdCookieManager m;
    m.AddServerCookie("a=1; domain=.b.c", "x.a.b.c");
    m.AddServerCookie("b=1; domain=.com", "a.com");
    m.AddServerCookie("c=1; domain=other.host", "a.b.c");
    EXPECT_EQ(m.CookieCollection().Count(), 0);
}

TEST(IdCookieParse, ReadsTheItemsAndAttributes) {
    TIdCookieRFC2109 c;
    c.ParseCookie(
        "sid=ab=c;  Path=\"/x/\" ; DOMAIN=.d.e; path=/second; Comment=Mixed Case; version=1; max-age=60; "
        "secure");
    EXPECT_EQ(c.Name, "sid");
    EXPECT_EQ(c.Value, "ab=c");
    EXPECT_EQ(c.Path, "/x/");
    EXPECT_EQ(c.Domain, ".d.e");
    EXPECT_EQ(c.Comment, "Mixed Case");
    EXPECT_EQ(c.Version, "1");
    EXPECT_EQ(c.MaxAge, 60);
    EXPECT_TRUE(c.Secure);
    // Only max-age: the cookie gets an expiry date and becomes the Netscape kind.
    EXPECT_EQ(c.Dialect, cdNetscape);
    double expires = 0;
    ASSERT_TRUE(c.ExpiryDate(expires));
    EXPECT_NEAR((expires - NowLocal()) * 86400.0, 60.0, 2.0);

    TIdCookieRFC2109 d;
    d.ParseCookie("n=v; expires=Fri, 31 Dec 2099 23:59:59 GMT; max-age=abc");
    EXPECT_EQ(d.Expires, "Fri, 31 Dec 2099 23:59:59 GMT");
    EXPECT_EQ(d.MaxAge, -1);
    EXPECT_EQ(d.Dialect, cdRFC2109);

    TIdCookieRFC2109 huge;
    huge.ParseCookie("n=v; max-age=9223372036854775807");
    EXPECT_EQ(huge.MaxAge, INT64_MAX);
    EXPECT_NE(huge.Expires.find("9999"), std::string::npos);
}

TEST(IdCookieParse, OddValues) {
    TIdCookieRFC2109 c;
    c.ParseCookie("lonely");
    EXPECT_EQ(c.Name, "");
    EXPECT_EQ(c.Value, "lonely");
    c.ParseCookie(" a=1 ");
    EXPECT_EQ(c.Value, "1 "); // one item stays as it came
    c.ParseCookie("a=1;;;");
    EXPECT_EQ(c.Value, "1");
    c.ParseCookie("");
    EXPECT_EQ(c.Name, "");
}

TEST(IdCookieParse, SetCookie2Ports) {
    TIdCookieRFC2965 c;
    c.ParseCookie("a=1; Version=1; Port=\"80,8080, 8443\"; Discard; CommentURL=http://h/c");
    EXPECT_EQ(c.Ports, (std::vector<int32_t>{80, 8080, 8443}));
    EXPECT_TRUE(c.Discard);
    EXPECT_EQ(c.CommentUrl, "http://h/c");
    EXPECT_EQ(c.Dialect, cdNetscape); // no date of its own

    c.ParseCookie("a=1; Port=8081");
    EXPECT_EQ(c.Ports, (std::vector<int32_t>{80, 8080, 8443})); // unquoted: unchanged
    c.ParseCookie("a=1; Port");
    EXPECT_EQ(c.Ports, (std::vector<int32_t>{80}));
    c.ParseCookie("a=1; Port=\"\"");
    EXPECT_EQ(c.Ports, (std::vector<int32_t>{80}));
    try {
        c.ParseCookie("a=1; Port=\"80,8o\"");
        FAIL() << "no exception";
    } catch (const EConvertError& e) {
        EXPECT_EQ(e.Message(), "'8o' is not a valid integer value");
    }

    c.Ports = {1};
    c.SetPort(1, 2);
    c.SetPort(0, 3);
    EXPECT_EQ(c.Ports, (std::vector<int32_t>{3, 2}));
    try {
        c.SetPort(3, 4);
        FAIL() << "no exception";
    } catch (const EIdException& e) {
        EXPECT_EQ(e.Message(), "Index out of range.");
    }
    EXPECT_THROW(c.SetPort(-1, 4), EIdException);
}

TEST(IdCookieManager, EventsAndRefusal) {
    std::vector<std::string> events;
    {
        TIdCookieManager m;
        m.OnCreate = [&](TIdCookieManager*, TIdCookies*) { events.push_back("create"); };
        m.OnDestroy = [&](TIdCookieManager*, TIdCookies* jar) {
            events.push_back("destroy " + std::to_string(jar->Count()));
        };
        m.OnNewCookie = [&](TIdCookieManager*, TIdNetscapeCookie* cookie, bool& accept) {
            events.push_back("new " + cookie->Name);
            accept = cookie->Name != "no";
        };
        m.DoOnCreate();
        m.AddServerCookie("yes=1", "h");
        m.AddServerCookie("no=1", "h");
        m.AddServerCookie("old=1; max-age=0", "h");
        m.AddServerCookie("x=1; domain=other", "h"); // domain check first: never offered
    }
    EXPECT_EQ(events, (std::vector<std::string>{"create", "new yes", "new no", "new old", "destroy 1"}));
}

TEST(IdCookieManager, ClientForgetsAManagerDestroyedElsewhere) {
    TIdCookieClient client;
    auto given = std::make_unique<TIdCookieManager>();
    given->AddServerCookie("a=1", "h");
    client.SetManager(given.get());
    EXPECT_FALSE(client.OwnsManager());
    EXPECT_EQ(CookieFor(client, "http://h/"), "a=1");
    given.reset();
    EXPECT_EQ(client.Manager(), nullptr);
    // The next reply makes a manager of its own.
    client.StoreResponseCookies(true, Reply({"Set-Cookie: b=2"}), "h");
    EXPECT_TRUE(client.OwnsManager());
    EXPECT_EQ(CookieFor(client, "http://h/"), "b=2");

    // Assigning another manager frees the client's own; the given one outlives the client.
    auto other = std::make_unique<TIdCookieManager>();
    {
        TIdCookieClient second;
        second.StoreResponseCookies(true, Reply({}), "h");
        second.SetManager(other.get());
        EXPECT_FALSE(second.OwnsManager());
    }
    other->AddServerCookie("c=3", "h");
    EXPECT_EQ(CookieFor(*other, "http://h/"), "c=3");
}

TEST(IdCookieManager, SharedBetweenThreads) {
    TIdCookieManager m;
    std::atomic<int> headers{0};
    WithinMilliseconds(20000, "four threads sharing a cookie manager", [&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&m, &headers, t] {
                for (int i = 0; i < 200; ++i) {
                    m.AddServerCookie(
                        "c" + std::to_string(t) + "_" + std::to_string(i % 20) + "=" + std::to_string(i), "h");
                    if (!CookieFor(m, "http://h/").empty()) ++headers;
                }
            });
        }
        for (std::thread& thread : threads)
            thread.join();
    });
    EXPECT_EQ(m.CookieCollection().Count(), 80);
    EXPECT_EQ(headers.load(), 800);
}

TEST(IdCookieManager, WriterMayTakeTheLockAgain) {
    TIdReadWriteLock lock;
    WithinMilliseconds(10000, "the cookie lock taken again by its writer", [&] {
        lock.BeginWrite();
        lock.BeginWrite();
        lock.BeginRead();
        lock.EndRead();
        lock.EndWrite();
        lock.EndWrite();
        std::thread reader([&lock] {
            lock.BeginRead();
            lock.EndRead();
        });
        reader.join();
        lock.BeginRead();
        lock.BeginRead();
        lock.EndRead();
        lock.EndRead();
    });
}

TEST(IdCookieManagerDeathTest, AStuckLockEndsTheRunWithAMessage) {
    TIdReadWriteLock lock;
    lock.BeginWrite();
    // A reader on another thread waits for a writer that never lets go.
    EXPECT_EXIT(WithinMilliseconds(200, "a reader behind a writer",
                                   [&] { std::thread([&] { lock.BeginRead(); }).join(); }),
                ::testing::ExitedWithCode(1), "watchdog: a reader behind a writer did not end within 200 ms");
    lock.EndWrite();
}

TEST(IdCookieJar, ValueWithALineBreakIsRefused) {
    TIdCookieManager m;
    for (const std::string& value : {std::string("a=1\rX-Injected: 1"), std::string("a=1\nX-Injected: 1"),
                                     std::string("a=1; path=/\r"), std::string("a=1\0b", 5)})
        m.AddServerCookie(value, "h");
    m.AddServerCookie2("b=2\r; Version=1", "h");
    EXPECT_EQ(m.CookieCollection().Count(), 0);
    // A stored cookie keeps its value when such a newcomer of its name arrives.
    m.AddServerCookie("a=1", "h");
    m.AddServerCookie("a=2\r\nX: 1", "h");
    EXPECT_EQ(CookieFor(m, "http://h/"), "a=1");
}

TEST(IdCookieParse, SettingExpiresSetsMaxAgeForTheRfcKinds) {
    const double hourAhead = NowLocal() + 1.0 / 24;
    struct TCase {
        const char* Name;
        std::unique_ptr<TIdNetscapeCookie> Cookie;
        std::string Expires;
        int64_t MaxAge; // -2: about an hour
    };
    std::vector<TCase> cases;
    cases.push_back({"Rfc2109", std::make_unique<TIdCookieRFC2109>(), DateTimeToInternetStr(hourAhead), -2});
    cases.push_back({"Rfc2965", std::make_unique<TIdCookieRFC2965>(), DateTimeToInternetStr(hourAhead), -2});
    cases.push_back(
        {"NetscapeKeepsNone", std::make_unique<TIdNetscapeCookie>(), DateTimeToInternetStr(hourAhead), -1});
    cases.push_back(
        {"PastDateIsOver", std::make_unique<TIdCookieRFC2109>(), "Thu, 01 Jan 1998 00:00:00 GMT", 0});
    cases.push_back({"UnreadableDateIsIgnored", std::make_unique<TIdCookieRFC2109>(), "soon", -1});
    cases.push_back({"EmptyIsIgnored", std::make_unique<TIdCookieRFC2109>(), "", -1});
    for (TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        c.Cookie->SetExpires(c.Expires);
        EXPECT_EQ(c.Cookie->Expires, c.Expires);
        if (c.MaxAge == -2)
            EXPECT_NEAR(static_cast<double>(c.Cookie->MaxAge), 3600.0, 1.0);
        else
            EXPECT_EQ(c.Cookie->MaxAge, c.MaxAge);
    }
}
