#include "graphics/qt/RzProgressBar.h"

#include <QApplication>
#include <gtest/gtest.h>
#include <vector>

namespace {

// Records every percentage the bar reports, in order.
struct TPercentLog {
    std::vector<int> Values;
    void Attach(TRzProgressBar& bar) {
        bar.OnChange = [this](TRzProgressBar*, int percent) { Values.push_back(percent); };
    }
};

// Drives the bar the way the commands do for a run of n items.
std::vector<int> RunOf(TRzProgressBar& bar, int n) {
    TPercentLog log;
    log.Attach(bar);
    std::vector<int> shown;
    bar.SetTotalParts(static_cast<TUnsignedLongint>(n - 1));
    bar.SetPartsComplete(0);
    shown.push_back(bar.Percent());
    for (int i = 0; i < n; ++i) {
        bar.SetPartsComplete(static_cast<TUnsignedLongint>(i));
        shown.push_back(bar.Percent());
    }
    bar.OnChange = nullptr;
    return shown;
}

QRgb Pixel(const QImage& image, int x, int y) {
    return image.pixel(x, y) & 0xFFFFFF;
}
QRgb Rgb(const QColor& color) {
    return color.rgb() & 0xFFFFFF;
}

// Counts paints, to tell an immediate repaint from a deferred one.
class TCountingBar : public TRzProgressBar {
  public:
    int Paints = 0;

  protected:
    void paintEvent(QPaintEvent* event) override {
        ++Paints;
        TRzProgressBar::paintEvent(event);
    }
};

} // namespace

TEST(RzProgressBarPercent, RoundsInExtendedPrecisionWithTiesToEven) {
    EXPECT_EQ(ProgressPercent(1, 8), 12);
    EXPECT_EQ(ProgressPercent(3, 8), 38);
    EXPECT_EQ(ProgressPercent(23, 40), 58);
    EXPECT_EQ(ProgressPercent(2, 3), 67);
    EXPECT_EQ(ProgressPercent(1, 200), 0); // 0.5 to even
    EXPECT_EQ(ProgressPercent(3, 200), 2); // 1.5 to even
    EXPECT_EQ(ProgressPercent(2147483647u, 2147483647u), 100);
}

TEST(RzProgressBarPercent, RunsOfOneTwoFourAndFortyOneItems) {
    TRzProgressBar bar;
    // n = 1: the total stays 0, nothing is computed, the bar never moves.
    EXPECT_EQ(RunOf(bar, 1), (std::vector<int>{0, 0}));
    EXPECT_EQ(RunOf(bar, 2), (std::vector<int>{0, 0, 100}));
    EXPECT_EQ(RunOf(bar, 4), (std::vector<int>{0, 0, 33, 67, 100}));
    const std::vector<int> fortyOne = RunOf(bar, 41);
    EXPECT_EQ(fortyOne[1 + 23], 58);
    EXPECT_EQ(fortyOne.back(), 100);
}

TEST(RzProgressBarPercent, SecondRunWithSameTotalStartsFromZeroAgain) {
    TRzProgressBar bar;
    TPercentLog log;
    RunOf(bar, 4);
    ASSERT_EQ(bar.Percent(), 100);
    log.Attach(bar);
    bar.SetTotalParts(3); // unchanged: no reset
    EXPECT_EQ(bar.Percent(), 100);
    EXPECT_EQ(bar.PartsComplete(), 3u);
    bar.SetPartsComplete(0);
    EXPECT_EQ(bar.Percent(), 0);
    EXPECT_EQ(log.Values, (std::vector<int>{0}));
}

TEST(RzProgressBarPercent, NewTotalResetsAndCountIsClampedToTotal) {
    TRzProgressBar bar;
    bar.SetTotalParts(10);
    bar.SetPartsComplete(5);
    EXPECT_EQ(bar.Percent(), 50);
    bar.SetTotalParts(20);
    EXPECT_EQ(bar.PartsComplete(), 0u);
    EXPECT_EQ(bar.Percent(), 0);
    bar.SetPartsComplete(25);
    EXPECT_EQ(bar.PartsComplete(), 20u);
    EXPECT_EQ(bar.Percent(), 100);
}

TEST(RzProgressBarPercent, TotalFromMinusOneShowsZeroAndNeverGoesNegative) {
    TRzProgressBar bar;
    bar.SetTotalParts(10);
    bar.SetPartsComplete(7);
    bar.SetTotalParts(static_cast<TUnsignedLongint>(-1));
    EXPECT_EQ(bar.TotalParts(), 4294967295u);
    EXPECT_EQ(bar.PartsComplete(), 0u);
    EXPECT_EQ(bar.Percent(), 0);
    bar.SetPartsComplete(5);
    EXPECT_EQ(bar.Percent(), 0);
    bar.SetPartsComplete(4294967295u);
    EXPECT_EQ(bar.Percent(), 100);
}

TEST(RzProgressBarPercent, LoadingStoresCountsWithoutComputing) {
    TRzProgressBar bar;
    bar.SetPercent(40);
    bar.SetLoading(true);
    bar.SetTotalParts(10);
    bar.SetPartsComplete(5);
    bar.SetLoading(false);
    EXPECT_EQ(bar.PartsComplete(), 5u);
    EXPECT_EQ(bar.Percent(), 40);
}

TEST(RzProgressBarProperties, DefaultsAndStyleSideEffects) {
    TRzProgressBar bar;
    EXPECT_EQ(bar.width(), 200);
    EXPECT_EQ(bar.height(), 24);
    EXPECT_TRUE(bar.ShowPercent());
    EXPECT_FALSE(bar.ShowParts());
    EXPECT_EQ(bar.NumSegments(), 20);
    EXPECT_EQ(bar.BorderOuter(), TFrameStyleEx::fsLowered);
    EXPECT_EQ(bar.BorderInner(), TFrameStyleEx::fsNone);
    EXPECT_EQ(bar.BarColor(), TSysColors::clHighlight);
    EXPECT_EQ(bar.BackColor(), TSysColors::clWhite);
    EXPECT_EQ(bar.FlatColorAdjustment(), 30);

    bar.SetBarStyle(TBarStyle::bsLED);
    EXPECT_FALSE(bar.ShowPercent());
    EXPECT_EQ(bar.InteriorOffset(), 1);
    bar.SetBarStyle(TBarStyle::bsGradient);
    EXPECT_TRUE(bar.ShowPercent());
    EXPECT_EQ(bar.InteriorOffset(), 0);

    bar.SetBarColor(Qt::red);
    EXPECT_EQ(bar.FontColor(), QColor(Qt::red));
    bar.SetNumSegments(500);
    EXPECT_EQ(bar.NumSegments(), 100);
    bar.SetNumSegments(0);
    EXPECT_EQ(bar.NumSegments(), 1);
}

TEST(RzProgressBarPaint, RepaintsAtOnceOnlyWhenThePercentChanges) {
    TCountingBar bar;
    bar.show();
    QApplication::processEvents();
    bar.SetShowParts(true);
    bar.SetTotalParts(1000);
    const int before = bar.Paints;
    bar.SetPartsComplete(500); // 50 %: painted without the event loop
    EXPECT_EQ(bar.Paints, before + 1);
    bar.SetPartsComplete(501); // still 50 %: the "%u / %u" text stays old
    EXPECT_EQ(bar.Paints, before + 1);
    bar.SetFlatColor(Qt::green); // deferred
    EXPECT_EQ(bar.Paints, before + 1);
}

TEST(RzProgressBarPaint, WindowBarAtFiftyPercent) {
    TRzProgressBar bar;
    bar.SetBounds(0, 0, 481, 16);
    bar.SetShowPercent(false);
    bar.SetTotalParts(2);
    bar.SetPartsComplete(1);
    ASSERT_EQ(bar.Percent(), 50);
    const QImage image = bar.PaintImage();
    using namespace TSysColors;
    // Lowered frame: outer ring shadow / highlight, inner ring dark shadow / light.
    EXPECT_EQ(Pixel(image, 0, 0), Rgb(clBtnShadow));
    EXPECT_EQ(Pixel(image, 0, 8), Rgb(clBtnShadow));
    EXPECT_EQ(Pixel(image, 480, 0), Rgb(clBtnHighlight)); // top-right takes the right line's colour
    EXPECT_EQ(Pixel(image, 0, 15), Rgb(clBtnHighlight));  // bottom-left takes the bottom line's colour
    EXPECT_EQ(Pixel(image, 1, 1), Rgb(cl3DDkShadow));
    EXPECT_EQ(Pixel(image, 478, 1), Rgb(cl3DDkShadow));
    EXPECT_EQ(Pixel(image, 479, 1), Rgb(cl3DLight));
    EXPECT_EQ(Pixel(image, 479, 8), Rgb(cl3DLight));
    EXPECT_EQ(Pixel(image, 1, 14), Rgb(cl3DLight));
    // Interior (2, 2, 479, 14); 477 x 50 / 100 = 238.5 gives 238 filled columns.
    EXPECT_EQ(Pixel(image, 2, 2), Rgb(clHighlight));
    EXPECT_EQ(Pixel(image, 239, 13), Rgb(clHighlight));
    EXPECT_EQ(Pixel(image, 240, 2), Rgb(clWhite));
    EXPECT_EQ(Pixel(image, 478, 13), Rgb(clWhite));
}

TEST(RzProgressBarPaint, PercentTextIsWhiteOverTheBarAndBarColouredOverTheRest) {
    TRzProgressBar bar;
    bar.SetBounds(0, 0, 481, 16);
    bar.SetTotalParts(2);
    bar.SetPartsComplete(1);
    const QImage image = bar.PaintImage();
    using namespace TSysColors;
    EXPECT_EQ(Pixel(image, 20, 8), Rgb(clHighlight));
    EXPECT_EQ(Pixel(image, 440, 8), Rgb(clWhite));
    bool lightOverBar = false, darkOverRest = false;
    for (int y = 2; y < 14; ++y) {
        for (int x = 200; x < 240; ++x)
            lightOverBar |= qGray(image.pixel(x, y)) > 128;
        for (int x = 240; x < 280; ++x)
            darkOverRest |= qGray(image.pixel(x, y)) < 128;
    }
    EXPECT_TRUE(lightOverBar);
    EXPECT_TRUE(darkOverRest);
}

TEST(RzProgressBarPaint, LedSegmentsLightFromTheStart) {
    TRzProgressBar bar;
    bar.SetBounds(0, 0, 206, 24);
    bar.SetBarStyle(TBarStyle::bsLED);
    bar.SetPercent(50);
    const QImage image = bar.PaintImage();
    using namespace TSysColors;
    // Interior (3, 3, 203, 21): 20 segments of 10 pixels, no margin, 10 lit.
    EXPECT_EQ(Pixel(image, 2, 10), Rgb(clWhite)); // interior offset ring
    EXPECT_EQ(Pixel(image, 3, 10), Rgb(clWhite)); // outline of segment 1
    EXPECT_EQ(Pixel(image, 4, 4), Rgb(clHighlight));
    EXPECT_EQ(Pixel(image, 101, 19), Rgb(clHighlight)); // last pixel inside segment 10
    EXPECT_EQ(Pixel(image, 102, 10), Rgb(clWhite));
    EXPECT_EQ(Pixel(image, 103, 10), Rgb(clWhite));
    EXPECT_EQ(Pixel(image, 108, 10), Rgb(clWhite));
    EXPECT_EQ(Pixel(image, 4, 3), Rgb(clWhite));
}

TEST(RzProgressBarPaint, ShortLedBarUsesTenSegmentsWithMargins) {
    TRzProgressBar bar;
    bar.SetBounds(0, 0, 81, 20);
    bar.SetBarStyle(TBarStyle::bsLED);
    bar.SetPercent(100);
    const QImage image = bar.PaintImage();
    using namespace TSysColors;
    // d = 75: k = 7, s = 10, margin 2 at each end; segment 1 starts at x = 5.
    EXPECT_EQ(Pixel(image, 4, 10), Rgb(clWhite));
    EXPECT_EQ(Pixel(image, 5, 10), Rgb(clWhite));
    EXPECT_EQ(Pixel(image, 6, 10), Rgb(clHighlight));
    EXPECT_EQ(Pixel(image, 73, 10), Rgb(clHighlight)); // inside segment 10 (x 68..74)
    EXPECT_EQ(Pixel(image, 75, 10), Rgb(clWhite));
    EXPECT_EQ(Pixel(image, 76, 10), Rgb(clWhite));
}

TEST(RzProgressBarPaint, TallBarTurnsVerticalAndFillsFromTheBottom) {
    TRzProgressBar bar;
    bar.SetShowPercent(false);
    bar.SetPercent(50);
    bar.SetBounds(0, 0, 20, 100);
    EXPECT_EQ(bar.Orientation(), TOrientation::orVertical);
    const QImage image = bar.PaintImage();
    using namespace TSysColors;
    // Interior (2, 2, 18, 98): the lower 48 rows are filled.
    EXPECT_EQ(Pixel(image, 10, 97), Rgb(clHighlight));
    EXPECT_EQ(Pixel(image, 10, 50), Rgb(clHighlight));
    EXPECT_EQ(Pixel(image, 10, 49), Rgb(clWhite));
    EXPECT_EQ(Pixel(image, 10, 2), Rgb(clWhite));

    bar.show();
    bar.resize(300, 20); // through the resize event of a shown widget
    QApplication::processEvents();
    EXPECT_EQ(bar.Orientation(), TOrientation::orHorizontal);
}

TEST(RzProgressBarPaint, VerticalLedSegmentsLightFromTheBottom) {
    TRzProgressBar bar;
    bar.SetBounds(0, 0, 24, 206);
    bar.SetBarStyle(TBarStyle::bsLED);
    bar.SetPercent(50);
    ASSERT_EQ(bar.Orientation(), TOrientation::orVertical);
    const QImage image = bar.PaintImage();
    using namespace TSysColors;
    // Interior (3, 3, 21, 203): segment j spans y = 3 + 10 (20 - j) for 10 rows.
    EXPECT_EQ(Pixel(image, 10, 198), Rgb(clHighlight)); // segment 1
    EXPECT_EQ(Pixel(image, 10, 108), Rgb(clHighlight)); // segment 10
    EXPECT_EQ(Pixel(image, 10, 103), Rgb(clWhite));     // its outline
    EXPECT_EQ(Pixel(image, 10, 98), Rgb(clWhite));      // segment 11, dark
}

TEST(RzProgressBarPaint, GradientBarSplitsAtThePercentage) {
    TRzProgressBar bar;
    bar.SetBounds(0, 0, 204, 24);
    bar.SetBarStyle(TBarStyle::bsGradient);
    bar.SetShowPercent(false);
    bar.SetBarColor(Qt::red);
    bar.SetBarColorStop(Qt::red);
    bar.SetBackColor(Qt::green);
    bar.SetBackColorStop(Qt::green);
    bar.SetPercent(25);
    const QImage image = bar.PaintImage();
    // Interior (2, 2, 202, 22): 50 columns filled.
    EXPECT_EQ(Pixel(image, 2, 12), 0xFF0000u);
    EXPECT_EQ(Pixel(image, 51, 12), 0xFF0000u);
    EXPECT_EQ(Pixel(image, 52, 12), 0x00FF00u);
    EXPECT_EQ(Pixel(image, 201, 12), 0x00FF00u);
}
