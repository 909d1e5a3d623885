#include "core/TextUtils.h"
#include "core/Exceptions.h"

#include <gtest/gtest.h>

TEST(TextPos, EmptyOperandsAndMatches) {
    EXPECT_EQ(TextPos("", "abc"), 0);
    EXPECT_EQ(TextPos("a", ""), 0);
    EXPECT_EQ(TextPos("c", "abcabc"), 3);
    EXPECT_EQ(TextPos("abcd", "abc"), 0);
    // A match may begin on the trailing byte of a double-byte character.
    EXPECT_EQ(TextPos("\xA1", "\xB0\xA1"), 2);
}

TEST(TextCopy, ClampsStartAndCount) {
    const std::string s = "abcdef";
    EXPECT_EQ(TextCopy(s, 0, 3), "abc");
    EXPECT_EQ(TextCopy(s, -5, 2), "ab"); // start raised to 1, count kept
    EXPECT_EQ(TextCopy(s, 7, 1), "");
    EXPECT_EQ(TextCopy(s, 1, -1), "");
    EXPECT_EQ(TextCopy(s, 5, 100), "ef");
    EXPECT_EQ(TextCopy(s, 6, 1), "f");
    EXPECT_EQ(TextCopy("", 1, 5), "");
    EXPECT_EQ(TextCopy(s, 2, INT64_MAX), "bcdef");
}

TEST(TextTrim, ControlBytesGoHighBytesStay) {
    EXPECT_EQ(TextTrim("\tabc\r\n"), "abc");
    EXPECT_EQ(TextTrim(std::string("\0 x \0", 5)), "x");
    EXPECT_EQ(TextTrim(" \xB0\xA1 "), "\xB0\xA1");
    EXPECT_EQ(TextTrim("\xA1"), "\xA1");
    EXPECT_EQ(TextTrim(" \x01\x1F "), "");
    EXPECT_EQ(TextTrim("a b"), "a b");
}

TEST(IntToText, Decimal) {
    EXPECT_EQ(IntToText(0), "0");
    EXPECT_EQ(IntToText(-17), "-17");
    EXPECT_EQ(IntToText(INT32_MIN), "-2147483648");
}

TEST(TextToInt, AcceptedForms) {
    EXPECT_EQ(TextToInt("  42"), 42);
    EXPECT_EQ(TextToInt("+7"), 7);
    EXPECT_EQ(TextToInt("-2147483648"), INT32_MIN);
    EXPECT_EQ(TextToInt("2147483647"), INT32_MAX);
    EXPECT_EQ(TextToInt("$1F"), 31);
    EXPECT_EQ(TextToInt("$1f"), 31);
    EXPECT_EQ(TextToInt("0x1F"), 31);
    EXPECT_EQ(TextToInt("0X1f"), 31);
    EXPECT_EQ(TextToInt("x10"), 16);
    EXPECT_EQ(TextToInt("$FFFFFFFF"), -1);
    EXPECT_EQ(TextToInt("$0000000000FF"), 255); // leading zeros are not significant
    EXPECT_EQ(TextToInt("-$10"), -16);
    EXPECT_EQ(TextToInt("007"), 7);
}

TEST(TextToInt, RejectedFormsNameTheWholeText) {
    for (const char* bad : {"42 ", "", " ", "2147483648", "-2147483649", "$", "0x", "$123456789", "1.5",
                            "--1", "\t1", "12a", "99999999999999999999"}) {
        try {
            TextToInt(bad);
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), std::string("'") + bad + "' is not a valid integer value");
        }
    }
}

TEST(ReadDigits, DigitsAloneWithinTheirCount) {
    struct Case {
        const char* Text;
        size_t MaxDigits;
        int64_t Expected; // -1: refused
    };
    const Case cases[] = {
        {"0", 9, 0},
        {"7", 1, 7},
        {"42", 1, -1},         // more digits than allowed
        {"000000042", 9, 42},  // leading zeros count as digits
        {"0000000042", 9, -1}, // ten of them
        {"999999999", 9, 999999999},
        {"1234567890", 10, -1}, // never more than nine: the value must fit
        {"", 9, -1},
        {"+1", 9, -1},
        {"-1", 9, -1},
        {"-0", 9, -1},
        {" 1", 9, -1},
        {"1 ", 9, -1},
        {"\t1", 9, -1},
        {"1\n", 9, -1},
        {"0x1F", 9, -1},
        {"1.5", 9, -1},
        {"12a", 9, -1},
        {"\xef\xbc\x91", 9, -1}, // a full-width one
    };
    for (const Case& c : cases) {
        const std::optional<uint32_t> value = ReadDigits(c.Text, c.MaxDigits);
        EXPECT_EQ(value ? static_cast<int64_t>(*value) : -1, c.Expected) << c.Text << " / " << c.MaxDigits;
    }
}

TEST(PosOfNth, CountsOverlappingOccurrences) {
    EXPECT_EQ(PosOfNth("/", "a/b/c/d/e", 4), 8);
    EXPECT_EQ(PosOfNth("/", "a/b/c/d/e", 5), 0);
    EXPECT_EQ(PosOfNth("/", "", 1), 0);
    EXPECT_EQ(PosOfNth("", "abc", 1), 0);
    EXPECT_EQ(PosOfNth("/", "a/b", 0), 0);
    EXPECT_EQ(PosOfNth("aa", "aaaa", 3), 3);
    EXPECT_EQ(PosOfNth("/", "http://h/x/y.jpg", 4), 11);
}
