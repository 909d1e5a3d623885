#include "app/LogMemo.h"
#include "core/Gbk.h"
#include "support/QtBoxes.h"

#include <gtest/gtest.h>

TEST(TLogMemo, SplitsAtEveryKindOfLineBreak) {
    TestApplication();
    TLogMemo memo;
    memo.AppendLine("a\r\nb\rc\nd");
    memo.AppendLine("");
    memo.AppendLine("e\r\n");
    ASSERT_EQ(memo.LineCount(), 7);
    EXPECT_EQ(memo.Text(), "a\nb\nc\nd\n\ne\n");
    EXPECT_EQ(memo.Line(3), "d");
    memo.AppendLine(Gbk("像册名:旅行"));
    EXPECT_EQ(memo.Text().split('\n').last(), "像册名:旅行");
    memo.Clear();
    EXPECT_EQ(memo.LineCount(), 0);
    EXPECT_EQ(memo.Text(), "");
}

TEST(TLogMemo, KeepsItsEndInView) {
    TestApplication();
    TLogMemo memo;
    memo.resize(200, 100);
    memo.show();
    for (int i = 0; i < 100; ++i)
        memo.AppendLine("line " + std::to_string(i));
    QApplication::processEvents();
    EXPECT_GT(memo.TopLine(), 80);
    EXPECT_LT(memo.TopLine(), 100);
    // A long line wraps: fewer lines fit, so the top moves down further.
    int top = memo.TopLine();
    memo.AppendLine(std::string(400, 'x'));
    EXPECT_GT(memo.TopLine(), top + 1);
    // Paints without trouble at any width.
    memo.resize(20, 100);
    QImage shot = memo.grab().toImage();
    EXPECT_FALSE(shot.isNull());
}
