#include "core/Gbk.h"

#include <gtest/gtest.h>

TEST(Gbk, RoundTripsThroughUtf8AndUtf16) {
    const std::string gbk = "\xC2\xC3\xD0\xD0 abc"; // 旅行 abc
    EXPECT_EQ(GbkToUtf8(gbk), "旅行 abc");
    EXPECT_EQ(Utf8ToGbk("旅行 abc"), gbk);
    EXPECT_EQ(GbkToUtf16(gbk), u"旅行 abc");
    EXPECT_EQ(Utf16ToGbk(u"旅行 abc"), gbk);
    EXPECT_EQ(Gbk("像册"), Utf16ToGbk(u"像册"));
}

TEST(Gbk, InvalidBytesNeverVanish) {
    // A lone lead byte at the end, and a byte that opens nothing.
    EXPECT_EQ(GbkToUtf8("a\xFF"), "a%FF");
    EXPECT_EQ(GbkToUtf8("\xC2"), "%C2");
    EXPECT_EQ(GbkToUtf16("a\xFF"), u"a\uFFFD");
    // Characters GBK lacks survive through GB18030.
    EXPECT_EQ(GbkToUtf8(Utf8ToGbk("😀/x")), "😀/x");
    EXPECT_EQ(Utf16ToGbk(u"a\xD800"), "a?");
}

TEST(Gbk, LeadAndTrailBytes) {
    EXPECT_FALSE(IsGbkLeadByte(0x80));
    EXPECT_TRUE(IsGbkLeadByte(0x81));
    EXPECT_TRUE(IsGbkLeadByte(0xFE));
    EXPECT_FALSE(IsGbkLeadByte(0xFF));
    const std::string s = "a\xB0\\b"; // 0x5C as the second byte of a character
    EXPECT_FALSE(IsGbkTrailByte(s, 0));
    EXPECT_FALSE(IsGbkTrailByte(s, 1));
    EXPECT_TRUE(IsGbkTrailByte(s, 2));
    EXPECT_FALSE(IsGbkTrailByte(s, 3));
}
