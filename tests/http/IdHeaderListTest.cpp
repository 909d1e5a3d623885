#include "http/IdHeaderList.h"

#include <gtest/gtest.h>

TEST(IdHeaderList, LooksUpByNameWithoutCase) {
    TIdHeaderList h;
    h.Add("Content-Length:   12  ");
    h.Add("Set-Cookie: a=1");
    h.Add("no colon here");
    h.Add("Set-cookie: b=2");
    EXPECT_EQ(h.ValueOf("content-length"), "12");
    EXPECT_EQ(h.NameAt(0), "CONTENT-LENGTH");
    EXPECT_EQ(h.ValueOf("SET-COOKIE"), "a=1");
    EXPECT_EQ(h.FindName("no colon here"), -1);
    EXPECT_EQ(h.NameAt(2), "");
    EXPECT_EQ(h.ValueOf("absent"), "");
    EXPECT_EQ(h.ValueAt(99), "");

    TIdHeaderList all;
    h.ExtractAll("set-cookie", &all);
    ASSERT_EQ(all.Count(), 2);
    EXPECT_EQ(all[0], "a=1");
    EXPECT_EQ(all[1], "b=2");
    h.ExtractAll("set-cookie", nullptr);
}

TEST(IdHeaderList, JoinsContinuationLines) {
    TIdHeaderList h;
    h.Add("X-Long: first part  ");
    h.Add("\t second part");
    h.Add("  third");
    h.Add("Next: n");
    EXPECT_EQ(h.ValueOf("x-long"), "first part second part third");
    h.JoinContinuations = false;
    EXPECT_EQ(h.ValueOf("x-long"), "first part");
}

TEST(IdHeaderList, SetHeaderReplacesInPlaceAndDeletes) {
    TIdHeaderList h;
    h.SetHeader("Host", "a");
    h.SetHeader("Accept", "b");
    h.Add(" continuation of accept");
    h.SetHeader("HOST", "c");
    EXPECT_EQ(h.Text(), "HOST: c\r\nAccept: b\r\n continuation of accept\r\n");
    h.SetHeader("accept", "");
    EXPECT_EQ(h.Text(), "HOST: c\r\n");
    h.SetHeader("Missing", "");
    EXPECT_EQ(h.Count(), 1);
}

TEST(IdHeaderList, FoldsOnlyPastTheWidth) {
    TIdHeaderList h;
    h.FoldWidth = 1024;
    const std::string fits(1024 - 3, 'v');
    h.SetHeader("X", fits);
    EXPECT_EQ(h.Count(), 1);

    TIdHeaderList w;
    w.FoldWidth = 20;
    w.SetHeader("Accept", "text/html, image/png, \"quoted, not, a, break\" */*");
    ASSERT_GE(w.Count(), 3);
    EXPECT_EQ(w[0], "Accept: text/html,");
    for (int k = 1; k < w.Count(); ++k)
        EXPECT_EQ(w[k][0], ' ') << w[k];
    EXPECT_EQ(w.ValueOf("accept"), "text/html, image/png, \"quoted, not, a, break\" */*");
    for (int k = 0; k < w.Count(); ++k)
        EXPECT_EQ(w[k].find("\"quoted,") == std::string::npos || w[k].find("break\"") != std::string::npos,
                  true);

    // Replacing it removes the old continuation lines.
    w.SetHeader("Accept", "x");
    EXPECT_EQ(w.Text(), "Accept: x\r\n");
}

TEST(IdHeaderList, WrapKeepsUnbreakableTextWhole) {
    const std::string word(200, 'z');
    EXPECT_EQ(WrapHeaderLine(word, 10), word);
    EXPECT_EQ(WrapHeaderLine("aaaa bbbb cccc", 6), "aaaa \r\n bbbb \r\n cccc");
    // The "," right after a lead byte belongs to that character and is no break opportunity.
    const std::string mb = std::string("aaaa\x81,bbbbbbbb");
    EXPECT_EQ(WrapHeaderLine(mb, 5), mb);
    EXPECT_EQ(WrapHeaderLine("ab\r\ncd", 80), "ab\r\ncd");
}
