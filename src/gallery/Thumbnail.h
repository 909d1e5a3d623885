#pragma once
// The small pictures of the gallery: a picture file's bytes decoded by the
// program's own readers, scaled down to fit a square by an area average,
// and written as an 8-bit RGB PNG.

#include <cstdint>
#include <string>
#include <vector>

// The longest side of a thumbnail, in pixels: a row of them fits a phone.
constexpr int ThumbnailSide = 200;

struct TThumbnail {
    int Width = 0;
    int Height = 0;
    std::vector<uint8_t> Rgb; // rows top-down, 3 bytes a pixel
};

// Shrinks rows of 8-bit RGBA to fit side x side (never enlarges): every
// source pixel falls into exactly one target pixel, which is the average of
// its own, composited over white. Only the target's sums are held, so a
// picture of any size costs a few rows of the thumbnail.
class TBoxScaler {
  public:
    explicit TBoxScaler(int side = ThumbnailSide) : FSide(side) {}
    void Start(int width, int height);
    // The next source row, width * 4 bytes (red, green, blue, alpha).
    void AddRow(const uint8_t* rgba);
    // The thumbnail, once every row has come; EInvalidGraphic when rows are missing.
    TThumbnail Finish();

  private:
    void EmitRow();
    int FSide;
    int FSourceWidth = 0, FSourceHeight = 0, FRowsIn = 0, FTargetRow = 0;
    TThumbnail FOut;
    std::vector<int> FColumn;    // target column of each source column
    std::vector<uint64_t> FSums; // red, green, blue and count per target pixel of the current row
};

// Whether MakeThumbnail reads files of this extension (any case).
bool HasThumbnailReader(const std::string& extension);
// The thumbnail of a picture file's bytes, read by its extension (jpg, jpeg,
// png, bmp); EInvalidGraphic or the reader's own error when it is no
// picture the program can show.
TThumbnail MakeThumbnail(const std::string& bytes, const std::string& extension);
// The thumbnail as a PNG file's bytes.
std::string EncodePng(const TThumbnail& thumbnail);
