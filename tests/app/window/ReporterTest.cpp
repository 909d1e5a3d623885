#include "app/Reporter.h"
#include "core/Gbk.h"

#include <gtest/gtest.h>

TEST(ErrorBoxText, AddsAFullStopOnlyAfterHigherCharacters) {
    EXPECT_EQ(ErrorBoxText("'' is not a valid integer value"), "'' is not a valid integer value.");
    EXPECT_EQ(ErrorBoxText("HTTP/1.1 404 Not Found"), "HTTP/1.1 404 Not Found.");
    for (const char* unchanged : {"Done.", "Wow!", "(x)", "a,", "a-", "trailing ", ""})
        EXPECT_EQ(ErrorBoxText(unchanged), unchanged);
    // A last character of two bytes always gets the full stop, whatever its trailing byte.
    EXPECT_EQ(ErrorBoxText(Gbk("获取失败")), Gbk("获取失败") + ".");
    EXPECT_EQ(ErrorBoxText("a\x81\x2D"), "a\x81\x2D.");
    EXPECT_EQ(ErrorBoxText("Socket Error # 10061\r\nConnection refused."),
              "Socket Error # 10061\r\nConnection refused.");
}

TEST(FormatTimeOfDay, FollowsTheLocaleFacts) {
    TTimeFormat h24;
    EXPECT_EQ(FormatTimeOfDay(h24, 9, 5, 7), "09:05:07");
    EXPECT_EQ(FormatTimeOfDay(h24, 0, 0, 0), "00:00:00");

    TTimeFormat us;
    us.TwelveHour = true;
    us.LeadingZero = false;
    us.AmText = "AM";
    us.PmText = "PM";
    EXPECT_EQ(FormatTimeOfDay(us, 0, 1, 2), "12:01:02 AM");
    EXPECT_EQ(FormatTimeOfDay(us, 12, 0, 0), "12:00:00 PM");
    EXPECT_EQ(FormatTimeOfDay(us, 21, 30, 59), "9:30:59 PM");

    const TTimeFormat cn{.TwelveHour = true,
                         .DesignatorFirst = true,
                         .LeadingZero = true,
                         .Separator = ".",
                         .AmText = Gbk("上午"),
                         .PmText = Gbk("下午")};
    EXPECT_EQ(FormatTimeOfDay(cn, 14, 3, 4), Gbk("下午") + " 02.03.04");
}

TEST(ParseTimePattern, ReadsHourStyleSeparatorAndDesignator) {
    TTimeFormat c = ParseTimePattern("%H:%M:%S", "", "");
    EXPECT_FALSE(c.TwelveHour);
    EXPECT_TRUE(c.LeadingZero);
    EXPECT_EQ(c.Separator, ":");

    TTimeFormat us = ParseTimePattern("%r", "AM", "PM");
    EXPECT_TRUE(us.TwelveHour);
    EXPECT_TRUE(us.LeadingZero);
    EXPECT_FALSE(us.DesignatorFirst);
    EXPECT_EQ(FormatTimeOfDay(us, 13, 4, 5), "01:04:05 PM");

    TTimeFormat front = ParseTimePattern("%p %l.%M.%S", "上午", "下午");
    EXPECT_TRUE(front.DesignatorFirst);
    EXPECT_FALSE(front.LeadingZero);
    EXPECT_EQ(FormatTimeOfDay(front, 9, 4, 5), Gbk("上午") + " 9.04.05");

    // A pattern with words between the fields keeps the classic separator.
    EXPECT_EQ(ParseTimePattern("%H时%M分%S秒", "", "").Separator, ":");
}
