#include "graphics/qt/Image.h"
#include "graphics/Bitmap.h"
#include "graphics/JPEGImage.h"
#include "graphics/PNGGraphic.h"

#include <QApplication>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

namespace {

// A picture of a given size that draws a plain colour, or fails the first
// time it is drawn (as a JPEG whose data is broken does) and draws nothing after.
class TFakeGraphic : public TGraphic {
  public:
    TFakeGraphic(int width, int height) : FWidth(width), FHeight(height) {}
    const char* ClassName() const override { return "TFakeGraphic"; }
    void DrawInRect(TCanvas& canvas, const TRect& rect) override {
        ++Draws;
        if (FailOnce && !FFailed) {
            FFailed = true;
            throw EInvalidGraphic("Broken picture");
        }
        for (int y = std::max(rect.Top, 0); y < std::min(rect.Bottom, canvas.Height()); ++y)
            for (int x = std::max(rect.Left, 0); x < std::min(rect.Right, canvas.Width()); ++x)
                canvas.ScanLine(y)[x] = 0xFFFF0000;
    }
    bool Empty() const override { return false; }
    int Height() const override { return FHeight; }
    int Width() const override { return FWidth; }
    void SetHeight(int value) override { FHeight = value; }
    void SetWidth(int value) override { FWidth = value; }
    void ReadPicture(TStream&) override {}

    bool FailOnce = false;
    int Draws = 0;

  private:
    int FWidth, FHeight;
    bool FFailed = false;
};

TRect RectFor(int controlWidth, int controlHeight, int pictureWidth, int pictureHeight,
              void (*configure)(TImage&)) {
    TImage image;
    image.resize(controlWidth, controlHeight);
    configure(image);
    image.Picture().SetGraphic(std::make_unique<TFakeGraphic>(pictureWidth, pictureHeight));
    return image.PictureRect();
}

void Proportional(TImage& image) {
    image.SetProportional(true);
}
void Stretch(TImage& image) {
    image.SetStretch(true);
}
void Centered(TImage& image) {
    image.SetCenter(true);
}
void Plain(TImage&) {}

} // namespace

TEST(ImagePictureRect, ProportionalShrinksToFitAndNeverEnlarges) {
    EXPECT_EQ(RectFor(481, 226, 800, 600, Proportional), Rect(0, 0, 301, 226));
    EXPECT_EQ(RectFor(481, 226, 300, 200, Proportional), Rect(0, 0, 300, 200));
    EXPECT_EQ(RectFor(481, 226, 600, 600, Proportional), Rect(0, 0, 226, 226));
    // The stored ratio is just below 2/3; in extended precision 300 x ratio stays below 200.
    EXPECT_EQ(RectFor(500, 300, 400, 600, Proportional), Rect(0, 0, 199, 300));
    // Wide picture limited by the height.
    EXPECT_EQ(RectFor(100, 10, 400, 100, Proportional), Rect(0, 0, 40, 10));
}

TEST(ImagePictureRect, StretchFillsCenterMovesAndPlainSitsTopLeft) {
    EXPECT_EQ(RectFor(140, 137, 800, 600, Stretch), Rect(0, 0, 140, 137));
    EXPECT_EQ(RectFor(140, 137, 20, 300, Stretch), Rect(0, 0, 140, 137));
    EXPECT_EQ(RectFor(100, 100, 150, 50, Centered), Rect(-25, 25, 125, 75));
    EXPECT_EQ(RectFor(100, 100, 150, 50, Plain), Rect(0, 0, 150, 50));
    TImage empty;
    EXPECT_EQ(empty.PictureRect(), Rect(0, 0, 0, 0));
    EXPECT_EQ(empty.width(), 105);
    EXPECT_EQ(empty.height(), 105);
}

TEST(ImagePictureChanged, AutoSizeTakesThePictureSize) {
    TImage image;
    image.SetAutoSize(true);
    image.Picture().SetGraphic(std::make_unique<TFakeGraphic>(64, 48));
    EXPECT_EQ(image.width(), 64);
    EXPECT_EQ(image.height(), 48);
    image.Picture().SetGraphic(std::make_unique<TFakeGraphic>(0, 30)); // no size: kept
    EXPECT_EQ(image.width(), 64);
    EXPECT_EQ(image.height(), 48);
}

TEST(ImagePictureChanged, OpaqueOnlyWhenAnOpaquePictureCoversTheControl) {
    TImage image;
    image.resize(100, 80);
    EXPECT_FALSE(image.Opaque());
    image.Picture().SetGraphic(std::make_unique<TFakeGraphic>(120, 90));
    EXPECT_TRUE(image.Opaque());
    EXPECT_TRUE(image.testAttribute(Qt::WA_OpaquePaintEvent));
    image.SetTransparent(true); // passed on to the picture
    EXPECT_TRUE(image.Picture().Graphic()->Transparent());
    EXPECT_FALSE(image.Opaque());
    image.SetTransparent(false);
    EXPECT_TRUE(image.Opaque());
    image.SetCenter(true); // (-10, -5, 110, 85) still covers
    EXPECT_TRUE(image.Opaque());
    image.SetProportional(true); // shrunk to 100 x 75
    EXPECT_FALSE(image.Opaque());
    image.SetProportional(false);
    image.show();          // a hidden widget hears of its new size only when shown
    image.resize(200, 80); // no longer covered
    EXPECT_FALSE(image.Opaque());
    EXPECT_FALSE(image.testAttribute(Qt::WA_OpaquePaintEvent));
}

TEST(ImagePaint, StretchedBitmapOverTheParentsBackground) {
    QWidget parent;
    QPalette palette = parent.palette();
    palette.setColor(QPalette::Window, QColor(0x12, 0x34, 0x56));
    parent.setPalette(palette);
    TImage* image = new TImage(&parent);
    image->resize(40, 30);
    auto bitmap = std::make_unique<TBitmap>();
    bitmap->SetPixelFormat(TPixelFormat::pf24bit);
    bitmap->SetSize(2, 1);
    uint8_t* row = bitmap->ScanLine(0);
    const uint8_t pixels[] = {0, 0, 255, 255, 0, 0}; // red, blue (blue, green, red order)
    std::copy(std::begin(pixels), std::end(pixels), row);
    image->Picture().SetGraphic(std::move(bitmap));

    QImage plain = image->PaintImage(); // not opaque: the parent's colour around the picture
    EXPECT_FALSE(image->Opaque());
    EXPECT_EQ(plain.pixel(0, 0), 0xFFFF0000u);
    EXPECT_EQ(plain.pixel(1, 0), 0xFF0000FFu);
    EXPECT_EQ(plain.pixel(5, 5), 0xFF123456u);

    image->SetStretch(true); // covers the control: opaque, each source pixel 20 x 30
    ASSERT_TRUE(image->Opaque());
    const QImage stretched = image->PaintImage();
    EXPECT_EQ(stretched.pixel(19, 29), 0xFFFF0000u);
    EXPECT_EQ(stretched.pixel(20, 0), 0xFF0000FFu);

    image->SetStretch(false);
    image->Picture().SetGraphic(std::make_unique<TFakeGraphic>(50, 50));
    image->Picture().Graphic()->SetTransparent(false);
    ASSERT_TRUE(image->Opaque());
    image->SetCenter(true);
    parent.show();
    image->resize(60, 60);
    EXPECT_FALSE(image->Opaque());
}

TEST(ImagePaint, OpaqueControlStartsFromTheParentsBackgroundColour) {
    QWidget parent;
    QPalette palette = parent.palette();
    palette.setColor(QPalette::Window, QColor(0x12, 0x34, 0x56));
    parent.setPalette(palette);
    TImage* image = new TImage(&parent);
    image->resize(10, 10);
    image->SetStretch(true);
    // Draws only a 4 x 4 corner although it claims to cover the control.
    class TCornerGraphic : public TFakeGraphic {
      public:
        TCornerGraphic() : TFakeGraphic(10, 10) {}
        void DrawInRect(TCanvas& canvas, const TRect&) override {
            TFakeGraphic::DrawInRect(canvas, Rect(0, 0, 4, 4));
        }
    };
    image->Picture().SetGraphic(std::make_unique<TCornerGraphic>());
    ASSERT_TRUE(image->Opaque());
    const QImage painted = image->PaintImage();
    EXPECT_EQ(painted.pixel(1, 1), 0xFFFF0000u);
    EXPECT_EQ(painted.pixel(8, 8), 0xFF123456u);
}

TEST(ImagePaint, DrawingFailureReachesTheHandlerOnceAfterThePaint) {
    std::vector<std::string> reported;
    auto saved = OnPaintError;
    OnPaintError = [&](const Exception& e) {
        reported.push_back(std::string(e.ClassName()) + ": " + e.Message());
    };
    {
        TImage image;
        image.resize(30, 30);
        auto graphic = std::make_unique<TFakeGraphic>(30, 30);
        graphic->FailOnce = true;
        TFakeGraphic* fake = graphic.get();
        image.Picture().SetGraphic(std::move(graphic));
        image.show();
        image.repaint();
        EXPECT_TRUE(reported.empty()); // not from inside the paint
        EXPECT_FALSE(image.Drawing());
        QApplication::processEvents();
        image.repaint();
        QApplication::processEvents();
        EXPECT_GE(fake->Draws, 2);
        EXPECT_EQ(reported, (std::vector<std::string>{"EInvalidGraphic: Broken picture"}));
    }
    OnPaintError = saved;
}

TEST(ImagePaint, EmptyJpegReportsErrorFortyTwoOnceAndThenDrawsNothing) {
    std::vector<std::string> reported;
    auto saved = OnPaintError;
    OnPaintError = [&](const Exception& e) {
        reported.push_back(std::string(e.ClassName()) + ": " + e.Message());
    };
    {
        TImage image;
        image.resize(40, 40);
        auto jpeg = std::make_unique<TJPEGImage>();
        TMemoryStream empty;
        jpeg->ReadPicture(empty); // zero bytes load without error
        image.Picture().SetGraphic(std::move(jpeg));
        image.show();
        for (int i = 0; i < 3; ++i) {
            image.repaint();
            QApplication::processEvents();
        }
    }
    OnPaintError = saved;
    EXPECT_EQ(reported, (std::vector<std::string>{"EJPEG: JPEG error #42"}));
}

TEST(ImagePaint, PictureWithAlphaShowsWhenItDoesNotCoverTheControl) {
    QWidget parent;
    QPalette palette = parent.palette();
    palette.setColor(QPalette::Window, Qt::white);
    parent.setPalette(palette);
    TImage* image = new TImage(&parent);
    image->resize(50, 50);
    image->SetCenter(true);
    auto png = std::make_unique<TPNGGraphic>();
    png->SetPixelFormat(TPixelFormat::pf32bit);
    png->SetSize(2, 1);
    png->SetHasAlpha(true);
    const uint8_t pixels[] = {0, 0, 255, 255, 0, 0, 255, 128}; // opaque red, half red
    std::copy(std::begin(pixels), std::end(pixels), png->ScanLine(0));
    image->Picture().SetGraphic(std::move(png));
    ASSERT_FALSE(image->Opaque());
    const QImage painted = image->PaintImage();
    EXPECT_EQ(painted.pixel(24, 24), 0xFFFF0000u); // centred at (24, 24, 26, 25)
    const QRgb half = painted.pixel(25, 24);
    EXPECT_EQ(qAlpha(half), 255);
    EXPECT_EQ(qRed(half), 255);
    EXPECT_NEAR(qGreen(half), 127, 2);
    EXPECT_EQ(painted.pixel(10, 10), 0xFFFFFFFFu);
}
