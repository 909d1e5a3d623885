#include "TermText.h"

#include "core/TextUtils.h"

#include <algorithm>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace {

struct TRange {
    char32_t First, Last;
};

// ZeroWidth (combining marks, joiners, format characters, the Hangul vowels
// and finals that join a syllable) and Wide (East Asian Wide and Full-width,
// the emoji shown wide), generated at build time from the Unicode data.
#include "TermWidths.inc"

template <size_t N> bool InRanges(const TRange (&ranges)[N], char32_t c) {
    const TRange* end = ranges + N;
    const TRange* at =
        std::upper_bound(ranges, end, c, [](char32_t v, const TRange& r) { return v < r.First; });
    return at != ranges && c <= (at - 1)->Last;
}

// One character of a UTF-8 text: its bytes and its code point; a byte that
// starts no valid sequence is a character of its own (shown as "?").
struct TChar {
    std::string Bytes;
    char32_t Code;
    bool Valid;
};

std::vector<TChar> Split(const std::string& text) {
    std::vector<TChar> out;
    for (size_t k = 0; k < text.size();) {
        char32_t cp = 0;
        const size_t n = DecodeUtf8At(text, k, cp);
        const bool control = cp < 0x20 || cp == 0x7F || (cp >= 0x80 && cp < 0xA0);
        if (n == 0 || control)
            out.push_back({"?", U'?', false});
        else
            out.push_back({text.substr(k, n), cp, true});
        k += n > 0 ? n : 1;
    }
    return out;
}

// Characters with the combining marks that follow them, so that a cut never
// separates a mark from its base.
struct TCluster {
    std::string Bytes;
    size_t Columns = 0;
};

std::vector<TCluster> Clusters(const std::string& text) {
    std::vector<TCluster> out;
    for (const TChar& c : Split(text)) {
        const int columns = CharColumns(c.Code);
        if (columns == 0 && !out.empty()) {
            out.back().Bytes += c.Bytes;
            continue;
        }
        out.push_back({c.Bytes, static_cast<size_t>(columns)});
    }
    return out;
}

const std::string Ellipsis = "\xe2\x80\xa6"; // "…", one column

} // namespace

int CharColumns(char32_t c) {
    if (c == 0) return 0;
    if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return 0;
    if (c < 0x300) return 1;
    if (InRanges(ZeroWidth, c)) return 0;
    return InRanges(Wide, c) ? 2 : 1;
}

size_t TextColumns(const std::string& utf8) {
    size_t columns = 0;
    for (const TCluster& c : Clusters(utf8))
        columns += c.Columns;
    return columns;
}

std::string FitMiddle(const std::string& utf8, size_t width) {
    const std::vector<TCluster> clusters = Clusters(utf8);
    size_t total = 0;
    for (const TCluster& c : clusters)
        total += c.Columns;
    std::string out;
    if (total <= width) {
        for (const TCluster& c : clusters)
            out += c.Bytes;
        return out;
    }
    if (width == 0) return out;
    // The head gets the odd column: the start of a name says most.
    const size_t room = width - 1, headRoom = (room + 1) / 2;
    size_t head = 0, used = 0;
    while (head < clusters.size() && used + clusters[head].Columns <= headRoom)
        used += clusters[head++].Columns;
    size_t tail = clusters.size(), tailUsed = 0;
    while (tail > head && used + tailUsed + clusters[tail - 1].Columns <= room)
        tailUsed += clusters[--tail].Columns;
    for (size_t k = 0; k < head; ++k)
        out += clusters[k].Bytes;
    out += Ellipsis;
    for (size_t k = tail; k < clusters.size(); ++k)
        out += clusters[k].Bytes;
    return out;
}

std::string FitEnd(const std::string& utf8, size_t width) {
    const std::vector<TCluster> clusters = Clusters(utf8);
    std::string out;
    size_t used = 0, k = 0;
    for (; k < clusters.size() && used + clusters[k].Columns <= width; ++k) {
        out += clusters[k].Bytes;
        used += clusters[k].Columns;
    }
    if (k == clusters.size()) return out;
    // No room for all: make room for the ellipsis.
    while (!out.empty() && used + 1 > width) {
        used -= clusters[--k].Columns;
        out.resize(out.size() - clusters[k].Bytes.size());
    }
    return width == 0 ? std::string() : out + Ellipsis;
}

std::string PadTo(const std::string& utf8, size_t width) {
    const size_t columns = TextColumns(utf8);
    return columns >= width ? utf8 : utf8 + std::string(width - columns, ' ');
}

TTermSize TerminalSize(std::FILE* out) {
    winsize size{};
    if (::ioctl(::fileno(out), TIOCGWINSZ, &size) != 0) return {};
    return {size.ws_col, size.ws_row};
}
