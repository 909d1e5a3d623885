#include "http/IdURI.h"

#include <gtest/gtest.h>

namespace {

std::string Dash(const std::string& s) {
    return s.empty() ? "-" : s;
}

std::string Parts(const TIdURI& u) {
    return Dash(u.Scheme) + "|" + Dash(u.AuthUser) + "|" + Dash(u.AuthPassword) + "|" + Dash(u.HostName) +
           "|" + Dash(u.PortText) + "|" + Dash(u.DirPath) + "|" + Dash(u.DocName) + "|" + Dash(u.QueryPart) +
           "|" + Dash(u.Fragment);
}

struct TUrlCase {
    const char* Input;
    const char* Expected;
};

const TUrlCase UrlCases[] = {
    {"http://server", "http|-|-|server|-|/|-|-|-"},
    {"http://server/a/b.jpg", "http|-|-|server|-|/a/|b.jpg|-|-"},
    {"http://server/list.php?u=x&p=1", "http|-|-|server|-|/|list.php|?u=x&p=1|-"},
    {"http://server/a/b=c/d", "http|-|-|server|-|/a/|b|=c/d|-"},
    {"http://u@server:81/x#f", "http|u|-|server|81|/|x|-|f"},
    {"/a/b.html", "-|-|-|-|-|/a/|b.html|-|-"},
    {"http://user@server:8080/a/b/pic.jpg?x=1#top", "http|user|-|server|8080|/a/b/|pic.jpg|?x=1|top"},
    {"http://u:p:q@server/", "http|u|p:q|server|-|/|-|-|-"},
    {"http://@server/x", "http|-|-|server|-|/|x|-|-"},
    {"http://:pw@server/x", "http|-|-|server|-|/|x|-|-"},
    {"http://server:abc/x", "http|-|-|server|abc|/|x|-|-"},
    {"http://server\\a\\b.jpg", "http|-|-|server|-|/a/|b.jpg|-|-"},
    {"x/y.html", "-|-|-|-|-|x/|y.html|-|-"},
    {"../c.html?q#frag", "-|-|-|-|-|../|c.html|?q|frag"},
    {"HTTP://Server/A/", "HTTP|-|-|Server|-|/A/|-|-|-"},
};

} // namespace

TEST(IdURI, SplitsTheExampleTable) {
    for (const auto& c : UrlCases)
        EXPECT_EQ(Parts(TIdURI(c.Input)), c.Expected) << c.Input;
}

TEST(IdURI, SetUrlReplacesEveryPartAndKeepsRewrittenText) {
    TIdURI u("http://a:b@host:1/d/e?f#g");
    u.SetUrl("http://server\\x");
    EXPECT_EQ(Parts(u), "http|-|-|server|-|/|x|-|-");
    EXPECT_EQ(u.UrlText, "http://server/x");
}

TEST(IdURI, BackslashThatIsASecondByteStays) {
    // 0x81 0x5C is one double-byte character whose second byte is "\".
    const std::string url = std::string("http://server/a\x81\\b.jpg");
    TIdURI u(url);
    EXPECT_EQ(u.DirPath, "/");
    EXPECT_EQ(u.DocName, std::string("a\x81\\b.jpg"));
    EXPECT_EQ(NormalizeSlashes("\\\x81\\\\"), std::string("/\x81\\/"));
}

TEST(IdURI, SearchesNeverMatchOnASecondByte) {
    // The "?" after the lead byte 0x81 is the second half of a character, not the parameters.
    const std::string path = std::string("http://s/a\x81?b/c");
    TIdURI u(path);
    EXPECT_EQ(u.DirPath, std::string("/a\x81?b/"));
    EXPECT_EQ(u.DocName, "c");
    EXPECT_EQ(u.QueryPart, "");
    EXPECT_EQ(MbPos("?", std::string("\x81?x?")), 4);
}

TEST(IdURI, ComposeUrlOptionsAndFailures) {
    TIdURI u("http://u:p@server:80/a/b.jpg?x=1#top");
    EXPECT_EQ(u.ComposeUrl(0), "http://server:80/a/b.jpg?x=1");
    EXPECT_EQ(u.ComposeUrl(IncludeAuthInfo | IncludeFragment), "http://u:p@server:80/a/b.jpg?x=1#top");
    EXPECT_EQ(u.PlainUrl(), "http://server:80/a/b.jpg?x=1");
    EXPECT_EQ(u.UrlText, "http://u:p@server:80/a/b.jpg?x=1#top");

    TIdURI empty;
    try {
        empty.ComposeUrl(0);
        FAIL();
    } catch (const EIdURIException& e) {
        EXPECT_STREQ(e.Message().c_str(), "Protocol field is empty");
    }
    TIdURI noHost("/a/b");
    noHost.Scheme = "http";
    try {
        noHost.ComposeUrl(0);
        FAIL();
    } catch (const EIdURIException& e) {
        EXPECT_EQ(e.Message(), "Host field is empty");
    }
}

TEST(IdURI, ResolvePathTable) {
    EXPECT_EQ(ResolvePath("/a/b/", "../c.html"), "/a/c.html");
    EXPECT_EQ(ResolvePath("/a/b/", "c/"), "/a/b/c/");
    EXPECT_EQ(ResolvePath("/a/b/", ""), "/a/b/");
    EXPECT_EQ(ResolvePath("", "x"), "x");
    EXPECT_EQ(ResolvePath("/a/", "/z/"), "/z/");
    EXPECT_EQ(ResolvePath("/a", "x/"), "/a/x/");
    EXPECT_EQ(ResolvePath("/a//b/", "./c"), "/a/b/./c");
    EXPECT_EQ(ResolvePath("/a/b/", "../../../x"), "/x");
    EXPECT_EQ(ResolvePath("/", "x/.."), "/");
}

TEST(IdURI, SplitAtAndLastPos) {
    std::string s = "a:b:c";
    EXPECT_EQ(SplitAt(s, ":"), "a");
    EXPECT_EQ(s, "b:c");
    EXPECT_EQ(SplitAt(s, ";"), "b:c");
    EXPECT_EQ(s, "");
    s = "keepAB";
    EXPECT_EQ(SplitAt(s, "ab", false, false), "keep");
    EXPECT_EQ(s, "keepAB");

    EXPECT_EQ(LastPos("/", "/a/b/c", -1), 5);
    EXPECT_EQ(LastPos("/", "/a/b/c", 4), 3);
    EXPECT_EQ(LastPos("B", "abab", 100), 4);
    EXPECT_EQ(LastPos("xyz", "ab", -1), 0);
    EXPECT_EQ(LastPos("/", "abc", -1), 0);
}

TEST(IdURI, ReadPortBoundaries) {
    struct Case {
        const char* Text;
        int Expected; // 0: refused
    };
    const Case cases[] = {
        {"1", 1},     {"80", 80},   {"65535", 65535}, {"00080", 80}, {"0", 0},
        {"00000", 0}, {"65536", 0}, {"99999", 0},     {"000080", 0}, {"99999999999", 0},
        {"", 0},      {"+80", 0},   {"-80", 0},       {" 80", 0},    {"80 ", 0},
        {"8 0", 0},   {"80a", 0},   {"0x50", 0},      {"abc", 0},    {"\t80", 0},
    };
    for (const Case& c : cases) {
        const std::optional<int> port = ReadPort(c.Text);
        EXPECT_EQ(port.value_or(0), c.Expected) << "\"" << c.Text << "\"";
    }
    EXPECT_FALSE(IsPortNumber(0));
    EXPECT_TRUE(IsPortNumber(1));
    EXPECT_TRUE(IsPortNumber(65535));
    EXPECT_FALSE(IsPortNumber(65536));
    EXPECT_FALSE(IsPortNumber(-1));
}
