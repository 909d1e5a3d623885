#include "GraphicsTestFiles.h"

#include "graphics/Bitmap.h"
#include "graphics/JPEGImage.h"
#include "graphics/Picture.h"

using namespace gfxtest;

namespace {

std::string LoadError(TPicture& picture, const std::string& path) {
    try {
        picture.LoadPictureFile(path);
    } catch (const Exception& e) {
        return std::string(e.ClassName()) + ": " + e.Message();
    }
    return "no error";
}

std::string SmallBmp() {
    TBmpFile layout;
    layout.Pixels = std::string("\x01\x02\x03\x00", 4);
    return MakeBmp(layout);
}
} // namespace

TEST(PictureFormats, BuiltInEntriesInOrderAndLookups) {
    TFileFormatsList& formats = PictureFormats();
    ASSERT_GE(formats.Count(), 6);
    const char* extensions[] = {"wmf", "emf", "ico", "bmp", "jpeg", "jpg"};
    const char* classes[] = {"TMetafile", "TMetafile", "TIcon", "TBitmap", "TJPEGImage", "TJPEGImage"};
    const char* descriptions[] = {"Metafiles", "Enhanced Metafiles", "Icons",
                                  "Bitmaps",   "JPEG Image File",    "JPEG Image File"};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(formats[i].Extension, extensions[i]);
        EXPECT_EQ(formats[i].GraphicClass.Name, classes[i]);
        EXPECT_EQ(formats[i].Description, descriptions[i]);
        EXPECT_EQ(formats[i].DescResID, 0);
    }
    EXPECT_EQ(formats.FindByExtension("JPG")->Name, "TJPEGImage");
    EXPECT_EQ(formats.FindByExtension("Bmp")->Name, "TBitmap");
    EXPECT_EQ(formats.FindByExtension("gif"), nullptr);
    EXPECT_EQ(formats.FindByExtension(""), nullptr);
    EXPECT_EQ(formats.FindByExtension(".jpg"), nullptr);
    EXPECT_EQ(formats.FindByClassName("TIcon")->Name, "TIcon");
    EXPECT_EQ(formats.FindByClassName("ticon"), nullptr);
}

TEST(PictureFormats, LaterRegistrationsWin) {
    TFileFormatsList list;
    list.Add("BMP", "first", TGraphicClass{"TFirst", nullptr});
    list.Add("bmp", "second", TGraphicClass{"TSecond", nullptr});
    EXPECT_EQ(list[0].Extension, "bmp");
    EXPECT_EQ(list.FindByExtension("bmp")->Name, "TSecond");
    list.Remove("TSecond");
    EXPECT_EQ(list.FindByExtension("bmp")->Name, "TFirst");
}

TEST(PictureFileExtension, LastDotSlashOrColonDecides) {
    EXPECT_EQ(PictureFileExtension("photo.JPG"), "JPG");
    EXPECT_EQ(PictureFileExtension("/pics/a.b/photo"), "");
    EXPECT_EQ(PictureFileExtension("/pics/x.jpg?v=1"), "jpg?v=1");
    EXPECT_EQ(PictureFileExtension("c:photo"), "");
    EXPECT_EQ(PictureFileExtension("archive.tar.bmp"), "bmp");
    EXPECT_EQ(PictureFileExtension("ends.with.dot."), "");
    EXPECT_EQ(PictureFileExtension(""), "");
    EXPECT_EQ(PictureFileExtension("/相册/图片.jpeg"), "jpeg");
}

TEST(LoadPictureFile, ChoosesTheClassByExtensionIgnoringCase) {
    TScratch scratch;
    TPicture picture;
    int changes = 0;
    picture.OnChange = [&](TPicture&) { ++changes; };
    picture.LoadPictureFile(scratch.Write("photo.BMP", SmallBmp()));
    EXPECT_STREQ(picture.Graphic()->ClassName(), "TBitmap");
    EXPECT_EQ(picture.Width(), 1);
    EXPECT_EQ(changes, 1);
    // An empty file loads as JPEG, whatever the case of jpg or jpeg.
    for (const char* name : {"photo.JPG", "photo.jpeg", "photo.Jpeg"}) {
        picture.LoadPictureFile(scratch.Write(name, ""));
        EXPECT_STREQ(picture.Graphic()->ClassName(), "TJPEGImage") << name;
    }
    // A change of the graphic itself reaches the picture's owner.
    int before = changes;
    picture.Graphic()->Changed();
    EXPECT_EQ(changes, before + 1);
}

TEST(LoadPictureFile, FailuresKeepThePreviousPicture) {
    TScratch scratch;
    TPicture picture;
    picture.LoadPictureFile(scratch.Write("first.bmp", SmallBmp()));
    TGraphic* first = picture.Graphic();

    EXPECT_EQ(LoadError(picture, scratch.Write("photo.gif", "GIF89a")),
              "EInvalidGraphic: Unknown picture file extension (.gif)");
    EXPECT_EQ(LoadError(picture, scratch.Write("a.b/photo", SmallBmp())),
              "EInvalidGraphic: Unknown picture file extension (.)");
    EXPECT_EQ(LoadError(picture, scratch.Write("x.jpg?v=1", "")),
              "EInvalidGraphic: Unknown picture file extension (.jpg?v=1)");
    EXPECT_EQ(LoadError(picture, scratch.Write("page.jpg", "<html>gone</html>")), "EJPEG: JPEG error #53");
    EXPECT_EQ(LoadError(picture, scratch.Write("broken.bmp", "BX" + std::string(60, 'z'))),
              "EInvalidGraphic: Bitmap image is not valid");
    EXPECT_EQ(LoadError(picture, scratch.Path("missing.bmp")), "EFOpenError: Cannot open file \"" +
                                                                   scratch.Path("missing.bmp") +
                                                                   "\". No such file or directory");
    EXPECT_EQ(picture.Graphic(), first);
    EXPECT_EQ(picture.Width(), 1);
}

TEST(LoadPictureFile, EmptyBitmapFileLoadsAndDrawsNothing) {
    TScratch scratch;
    TPicture picture;
    picture.LoadPictureFile(scratch.Write("empty.bmp", ""));
    ASSERT_NE(picture.Graphic(), nullptr);
    EXPECT_TRUE(picture.Graphic()->Empty());
    TCanvas canvas(2, 2, 0xFF010203);
    picture.Graphic()->DrawInRect(canvas, Rect(0, 0, 2, 2));
    EXPECT_EQ(canvas.ScanLine(1)[1], 0xFF010203u);
}

TEST(PictureStoredData, ClassNameThenTheClassData) {
    std::string bmp = SmallBmp();
    std::string stored = std::string(1, char(7)) + "TBitmap";
    Le32(stored, uint32_t(bmp.size()));
    TStringStream stream(stored + bmp);
    TPicture picture;
    picture.ReadStoredData(stream);
    EXPECT_STREQ(picture.Graphic()->ClassName(), "TBitmap");

    TStringStream unknown(std::string(1, char(4)) + "TGif");
    EXPECT_THROW(picture.ReadStoredData(unknown), EInvalidGraphic);
    TStringStream cut(std::string(1, char(20)) + "TBit");
    EXPECT_THROW(picture.ReadStoredData(cut), EReadError);
    EXPECT_STREQ(picture.Graphic()->ClassName(), "TBitmap");
}

TEST(Canvas, SizesAreChecked) {
    EXPECT_THROW(TCanvas(1 << 20, 1 << 20), EOutOfMemory);
    EXPECT_THROW(TCanvas(-1, 5), EOutOfMemory);
    EXPECT_EQ(CheckedPixelCount(1 << 14, 1 << 14), int64_t(1) << 28);
    EXPECT_EQ(CheckedPixelCount((1 << 14) + 1, 1 << 14), -1);
    EXPECT_EQ(CheckedPixelCount(INT64_MAX, 2), -1);
    TColor32 block[6] = {};
    TCanvas wrapped(block, 2, 2, 3);
    wrapped.Fill(7);
    EXPECT_EQ(block[1], 7u);
    EXPECT_EQ(block[2], 0u); // the stride's spare pixel is not part of the canvas
    EXPECT_EQ(block[4], 7u);
}
