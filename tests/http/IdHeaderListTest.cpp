#include "http/IdHeaderList.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

TEST(IdHeaderList, WrapFollowsTheWalkWhateverTheQuoteState) {
    struct TCase {
        const char* Name;
        std::string Text;
        int Width;
        std::string Wrapped;
    };
    const std::vector<TCase> cases = {
        // Too long inside a quote that never closes: the line still goes at
        // the last opportunity before the quote.
        {"UnclosedQuote", "a, \"bbbbbbbbbbbbbbbbbbbb", 10, "a, \r\n \"bbbbbbbbbbbbbbbbbbbb"},
        // Blanks and commas inside the quote are never opportunities.
        {"QuotedBlanksStay", "a \"b c d e f g h\" i", 6, "a \r\n \"b c d e f g h\" \r\n i"},
        // A CR LF breaks in any quote state; the quote stays open after it and
        // the column counts from the new line.
        {"ExistingBreakInsideQuote", "\"aaaaaa\r\nb\" c", 8, "\"aaaaaa\r\nb\" c"},
        {"ExistingBreakSkipsBlanks", "ab\r\n  , cd", 80, "ab\r\ncd"},
        {"BlanksAfterACutAreSkipped", "aaaa ,  bbbb", 5, "aaaa ,\r\n bbbb"},
        {"OpportunityAtTheLineStartDoesNotCount", " aaaaaaaa", 3, " aaaaaaaa"},
        {"NoBreakBeforeTheEnd", "aaaa     ", 3, "aaaa "},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(WrapHeaderLine(c.Text, c.Width), c.Wrapped) << c.Name;
}

TEST(IdHeaderList, TextSplitsAtCrLfOnly) {
    TIdHeaderList h;
    h.SetText("a\rb\nc\r\nd\r\n\r\ne");
    ASSERT_EQ(h.Count(), 4);
    EXPECT_EQ(h[0], "a\rb\nc");
    EXPECT_EQ(h[1], "d");
    EXPECT_EQ(h[2], "");
    EXPECT_EQ(h[3], "e");
}

TEST(IdHeaderList, LineBreakInAValueNeverStartsAHeaderLine) {
    TIdHeaderList h;
    h.SetHeader("X-Note", "x\r\nInjected: 1");
    EXPECT_EQ(h.Text(), "X-Note: x\r\n Injected: 1\r\n");
    EXPECT_EQ(h.FindName("Injected"), -1);
    EXPECT_EQ(h.ValueOf("x-note"), "x Injected: 1");
}

TEST(IdHeaderList, ContinuationPiecesJoinWithOneSpace) {
    TIdHeaderList h;
    h.Add("X-A:   ");
    h.Add("   ");
    h.Add("\tone ");
    h.Add(" ");
    h.Add("  two");
    h.Add("Next: n");
    EXPECT_EQ(h.ValueOf("x-a"), "one two");
}
