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

// Zero-width: combining marks, zero-width spaces and joiners, variation selectors.
constexpr TRange ZeroWidth[] = {
    {0x0300, 0x036F},   {0x0483, 0x0489},   {0x0591, 0x05BD}, {0x05BF, 0x05BF}, {0x05C1, 0x05C2},
    {0x05C4, 0x05C5},   {0x05C7, 0x05C7},   {0x0610, 0x061A}, {0x064B, 0x065F}, {0x0670, 0x0670},
    {0x06D6, 0x06DC},   {0x06DF, 0x06E4},   {0x06E7, 0x06E8}, {0x06EA, 0x06ED}, {0x0900, 0x0902},
    {0x093A, 0x093A},   {0x093C, 0x093C},   {0x0941, 0x0948}, {0x094D, 0x094D}, {0x0E31, 0x0E31},
    {0x0E34, 0x0E3A},   {0x0E47, 0x0E4E},   {0x1160, 0x11FF}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},
    {0x200B, 0x200F},   {0x202A, 0x202E},   {0x2060, 0x2064}, {0x20D0, 0x20FF}, {0x302A, 0x302D},
    {0x3099, 0x309A},   {0xFE00, 0xFE0F},   {0xFE20, 0xFE2F}, {0xFEFF, 0xFEFF}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F}, {0xE0100, 0xE01EF},
};

// Two columns: East Asian Wide and Full-width, and the emoji shown wide.
constexpr TRange Wide[] = {
    {0x1100, 0x115F},   {0x231A, 0x231B},   {0x2329, 0x232A},   {0x23E9, 0x23EC},   {0x23F0, 0x23F0},
    {0x23F3, 0x23F3},   {0x25FD, 0x25FE},   {0x2614, 0x2615},   {0x2648, 0x2653},   {0x267F, 0x267F},
    {0x2693, 0x2693},   {0x26A1, 0x26A1},   {0x26AA, 0x26AB},   {0x26BD, 0x26BE},   {0x26C4, 0x26C5},
    {0x26CE, 0x26CE},   {0x26D4, 0x26D4},   {0x26EA, 0x26EA},   {0x26F2, 0x26F3},   {0x26F5, 0x26F5},
    {0x26FA, 0x26FA},   {0x26FD, 0x26FD},   {0x2705, 0x2705},   {0x270A, 0x270B},   {0x2728, 0x2728},
    {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},   {0x2757, 0x2757},   {0x2795, 0x2797},
    {0x27B0, 0x27B0},   {0x27BF, 0x27BF},   {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},   {0x2B55, 0x2B55},
    {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},   {0xA000, 0xA4CF},
    {0xA960, 0xA97F},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},
    {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x16FE0, 0x16FE4}, {0x17000, 0x18CFF}, {0x1B000, 0x1B2FF},
    {0x1F004, 0x1F004}, {0x1F0CF, 0x1F0CF}, {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F200, 0x1F251},
    {0x1F300, 0x1F320}, {0x1F32D, 0x1F335}, {0x1F337, 0x1F37C}, {0x1F37E, 0x1F393}, {0x1F3A0, 0x1F3CA},
    {0x1F3CF, 0x1F3D3}, {0x1F3E0, 0x1F3F0}, {0x1F3F4, 0x1F3F4}, {0x1F3F8, 0x1F43E}, {0x1F440, 0x1F440},
    {0x1F442, 0x1F4FC}, {0x1F4FF, 0x1F53D}, {0x1F54B, 0x1F54E}, {0x1F550, 0x1F567}, {0x1F57A, 0x1F57A},
    {0x1F595, 0x1F596}, {0x1F5A4, 0x1F5A4}, {0x1F5FB, 0x1F64F}, {0x1F680, 0x1F6C5}, {0x1F6CC, 0x1F6CC},
    {0x1F6D0, 0x1F6D2}, {0x1F6D5, 0x1F6D7}, {0x1F6EB, 0x1F6EC}, {0x1F6F4, 0x1F6FC}, {0x1F7E0, 0x1F7EB},
    {0x1F90C, 0x1F93A}, {0x1F93C, 0x1F945}, {0x1F947, 0x1F9FF}, {0x1FA70, 0x1FAFF}, {0x20000, 0x2FFFD},
    {0x30000, 0x3FFFD},
};

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
