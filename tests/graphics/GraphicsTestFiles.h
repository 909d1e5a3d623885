#pragma once
// Small writers for the picture tests: BMP and ICO files built byte by byte,
// a scratch folder per test, and running the command-line tools.

#include "core/Classes.h"
#include "core/Exceptions.h"
#include "graphics/Bitmap.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace gfxtest {

// What an action raised, as the tools print it ("Class: message"), or "no error".
inline std::string ErrorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const Exception& e) {
        return std::string(e.ClassName()) + ": " + e.Message();
    }
    return "no error";
}

inline void Le16(std::string& s, uint32_t v) {
    s += char(v & 255);
    s += char((v >> 8) & 255);
}
inline void Le32(std::string& s, uint32_t v) {
    Le16(s, v & 0xFFFF);
    Le16(s, v >> 16);
}

// A BMP file: 14-byte file header, a 40-byte (or 12-byte core) header, the
// colour table, optional masks, then the pixel bytes exactly as given.
struct TBmpFile {
    int32_t Width = 1;
    int32_t Height = 1;
    uint16_t Planes = 1;
    uint16_t BitCount = 24;
    uint32_t Compression = 0;
    uint32_t ClrUsed = 0;
    uint32_t SizeImage = 0;
    bool Core = false;
    std::vector<uint32_t> Masks;   // written after a 40-byte header
    std::vector<uint32_t> Palette; // 0x00RRGGBB
    std::string Pixels;
    bool OffBitsZero = false;
};

inline std::string MakeBmp(const TBmpFile& b) {
    std::string info;
    if (b.Core) {
        Le32(info, 12);
        Le16(info, uint32_t(b.Width));
        Le16(info, uint32_t(b.Height));
        Le16(info, b.Planes);
        Le16(info, b.BitCount);
    } else {
        Le32(info, 40);
        Le32(info, uint32_t(b.Width));
        Le32(info, uint32_t(b.Height));
        Le16(info, b.Planes);
        Le16(info, b.BitCount);
        Le32(info, b.Compression);
        Le32(info, b.SizeImage);
        Le32(info, 2835);
        Le32(info, 2835);
        // A table shorter than the depth's full one has to say how long it is.
        uint32_t clrUsed = b.ClrUsed;
        if (!clrUsed && !b.Palette.empty() && b.Palette.size() != (size_t(1) << b.BitCount))
            clrUsed = uint32_t(b.Palette.size());
        Le32(info, clrUsed);
        Le32(info, 0);
    }
    for (uint32_t m : b.Masks)
        Le32(info, m);
    for (uint32_t c : b.Palette) {
        info += char(c & 255);
        info += char((c >> 8) & 255);
        info += char((c >> 16) & 255);
        if (!b.Core) info += '\0';
    }
    std::string file = "BM";
    Le32(file, uint32_t(14 + info.size() + b.Pixels.size()));
    Le32(file, 0);
    Le32(file, b.OffBitsZero ? 0 : uint32_t(14 + info.size()));
    return file + info + b.Pixels;
}

// One ICO entry: the directory fields and the image bytes (a DIB or a PNG).
struct TIcoEntry {
    int Width = 32;
    int Height = 32;
    int ColorCount = 0;
    int Planes = 1;
    int BitCount = 32;
    std::string Image;
};

inline std::string MakeIco(const std::vector<TIcoEntry>& entries, int type = 1) {
    std::string file;
    Le16(file, 0);
    Le16(file, uint32_t(type));
    Le16(file, uint32_t(entries.size()));
    uint32_t offset = uint32_t(6 + 16 * entries.size());
    for (const TIcoEntry& e : entries) {
        file += char(e.Width & 255);
        file += char(e.Height & 255);
        file += char(e.ColorCount);
        file += '\0';
        Le16(file, uint32_t(e.Planes));
        Le16(file, uint32_t(e.BitCount));
        Le32(file, uint32_t(e.Image.size()));
        Le32(file, offset);
        offset += uint32_t(e.Image.size());
    }
    for (const TIcoEntry& e : entries)
        file += e.Image;
    return file;
}

// The DIB of an icon entry, 32 bits per pixel: colour rows then the AND mask,
// both bottom-up. color(x, y) gives 0xAARRGGBB, masked(x, y) the mask bit.
template <class Color, class Masked> std::string MakeIconDib(int w, int h, Color color, Masked masked) {
    std::string dib;
    Le32(dib, 40);
    Le32(dib, uint32_t(w));
    Le32(dib, uint32_t(2 * h));
    Le16(dib, 1);
    Le16(dib, 32);
    for (int i = 0; i < 6; ++i)
        Le32(dib, 0);
    for (int y = h - 1; y >= 0; --y)
        for (int x = 0; x < w; ++x)
            Le32(dib, color(x, y));
    const int maskRow = (w + 31) / 32 * 4;
    for (int y = h - 1; y >= 0; --y) {
        std::string row(size_t(maskRow), '\0');
        for (int x = 0; x < w; ++x)
            if (masked(x, y)) row[size_t(x / 8)] = char(row[size_t(x / 8)] | (0x80 >> (x % 8)));
        dib += row;
    }
    return dib;
}

inline void ReadInto(TGraphic& graphic, const std::string& bytes) {
    TStringStream stream(bytes);
    graphic.ReadPicture(stream);
}

// A scratch folder removed at the end of the test.
class TScratch {
  public:
    TScratch() {
        char pattern[] = "/tmp/quillora-gfx-XXXXXX";
        FPath = ::mkdtemp(pattern);
    }
    ~TScratch() { std::filesystem::remove_all(FPath); }
    std::string Path(const std::string& name) const { return FPath + "/" + name; }
    std::string Write(const std::string& name, const std::string& bytes) const {
        std::filesystem::create_directories(std::filesystem::path(Path(name)).parent_path());
        std::ofstream(Path(name), std::ios::binary) << bytes;
        return Path(name);
    }

  private:
    std::string FPath;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Runs a shell command; answers its exit status (-1 when it did not exit).
inline int RunCommand(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline std::string Quote(const std::string& s) {
    return "'" + s + "'";
}

} // namespace gfxtest
