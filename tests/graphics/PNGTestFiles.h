#pragma once
// Builds PNG files in memory for the reader's tests: chunks with their CRC,
// image data deflated by zlib, rows filtered and interlaced as an encoder would.

#include "graphics/PNGGraphic.h"

#include <zlib.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace pngtest {

inline std::string Be32(uint32_t v) {
    return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

inline std::string Chunk(const std::string& type, const std::string& data, bool badCrc = false) {
    const std::string body = type + data;
    uint32_t crc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(body.data()), uInt(body.size())));
    return Be32(uint32_t(data.size())) + body + Be32(badCrc ? crc ^ 1 : crc);
}

inline const std::string kSignature = "\x89PNG\r\n\x1a\n";

inline std::string Ihdr(uint32_t w, uint32_t h, int depth, int colorType, int interlace = 0,
                        int compression = 0) {
    return Chunk("IHDR",
                 Be32(w) + Be32(h) +
                     std::string{char(depth), char(colorType), char(compression), 0, char(interlace)});
}

inline std::string Deflate(const std::string& raw) {
    uLongf size = compressBound(uLong(raw.size()));
    std::string out(size, '\0');
    compress2(reinterpret_cast<Bytef*>(out.data()), &size, reinterpret_cast<const Bytef*>(raw.data()),
              uLong(raw.size()), 6);
    out.resize(size);
    return out;
}

inline std::string Idat(const std::string& raw) {
    return Chunk("IDAT", Deflate(raw));
}

inline std::string Iend() {
    return Chunk("IEND", "");
}

// Filters a row the way an encoder does (type 0-4) against the row above.
inline std::string FilterRow(int type, const std::string& row, const std::string& above, int step) {
    std::string out(1, char(type));
    for (size_t i = 0; i < row.size(); ++i) {
        int x = uint8_t(row[i]), a = i >= size_t(step) ? uint8_t(row[i - step]) : 0, b = uint8_t(above[i]),
            c = i >= size_t(step) ? uint8_t(above[i - step]) : 0;
        int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
        int paeth = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
        int predictions[5] = {0, a, b, (a + b) / 2, paeth};
        out += char(x - predictions[type]);
    }
    return out;
}

// The raw image data of rows (unfiltered bytes, one string per row), each
// filtered with the type (index mod 5) that follows the one before.
inline std::string FilteredData(const std::vector<std::string>& rows, int step, int firstType = 0) {
    std::string out;
    for (size_t y = 0; y < rows.size(); ++y) {
        const std::string above = y == 0 ? std::string(rows[y].size(), '\0') : rows[y - 1];
        out += FilterRow(int((firstType + y) % 5), rows[y], above, step);
    }
    return out;
}

inline std::unique_ptr<TPNGGraphic> Decode(const std::string& bytes) {
    TStringStream stream(bytes);
    auto picture = std::make_unique<TPNGGraphic>();
    picture->ReadPicture(stream);
    return picture;
}

} // namespace pngtest
