#include "core/TextUtils.h"

#include "core/Exceptions.h"
#include "core/Gbk.h"

#include <charconv>
#include <climits>

int TextPos(std::string_view sub, std::string_view s) {
    if (sub.empty() || s.empty()) return 0;
    size_t p = s.find(sub);
    return p == std::string_view::npos ? 0 : static_cast<int>(p) + 1;
}

std::string TextCopy(std::string_view s, int64_t start, int64_t count) {
    const auto len = static_cast<int64_t>(s.size());
    if (len == 0 || count < 0) return {};
    if (start < 1) start = 1; // the count is deliberately not shortened
    if (start > len) return {};
    if (count > len - start + 1) count = len - start + 1;
    return std::string(s.substr(static_cast<size_t>(start - 1), static_cast<size_t>(count)));
}

std::string TextTrim(std::string_view s) {
    size_t first = 0, last = s.size();
    while (first < last && static_cast<unsigned char>(s[first]) <= 0x20)
        ++first;
    while (last > first && static_cast<unsigned char>(s[last - 1]) <= 0x20)
        --last;
    return std::string(s.substr(first, last - first));
}

std::string IntToText(int64_t value) {
    return std::to_string(value);
}

std::optional<uint32_t> ReadDigits(std::string_view text, size_t maxDigits) {
    if (text.empty() || text.size() > maxDigits || text.size() > 9) return std::nullopt;
    // Unsigned, so that no sign is read; from_chars reads no blank either.
    uint32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [at, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc{} || at != end) return std::nullopt;
    return value;
}

namespace {

[[noreturn]] void BadInteger(const std::string& s) {
    throw EConvertError(Format("'%s' is not a valid integer value", s.c_str()));
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

int32_t TextToInt(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && s[i] == ' ')
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';

    bool hex = false;
    if (i < s.size() && (s[i] == '$' || s[i] == 'x' || s[i] == 'X')) {
        hex = true;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        hex = true;
        i += 2;
    }
    if (i >= s.size()) BadInteger(s);

    if (hex) {
        uint64_t value = 0;
        int significant = 0;
        for (; i < s.size(); ++i) {
            int d = HexDigit(s[i]);
            if (d < 0) BadInteger(s);
            if (value != 0 || d != 0) ++significant;
            if (significant > 8) BadInteger(s);
            value = value * 16 + static_cast<uint64_t>(d);
        }
        auto bits = static_cast<uint32_t>(value);
        if (negative) bits = 0u - bits;
        return static_cast<int32_t>(bits);
    }

    int64_t value = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < '0' || s[i] > '9') BadInteger(s);
        value = value * 10 + (s[i] - '0');
        if (value > int64_t(INT32_MAX) + 1) BadInteger(s);
    }
    if (negative) value = -value;
    if (value < INT32_MIN || value > INT32_MAX) BadInteger(s);
    return static_cast<int32_t>(value);
}

int PosOfNth(std::string_view sub, std::string_view s, int n) {
    if (sub.empty() || s.empty() || n < 1) return 0;
    int total = 0;
    std::string rest(s);
    for (int k = 0; k < n; ++k) {
        int p = TextPos(sub, rest);
        if (p == 0) return 0;
        total += p;
        rest = TextCopy(rest, p + 1, static_cast<int64_t>(rest.size()));
    }
    return total;
}

namespace {

char UpperByte(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool MatchesAt(std::string_view sub, std::string_view text, size_t at, bool caseSensitive) {
    if (at + sub.size() > text.size()) return false;
    if (caseSensitive) return text.compare(at, sub.size(), sub) == 0;
    for (size_t i = 0; i < sub.size(); ++i)
        if (UpperByte(text[at + i]) != UpperByte(sub[i])) return false;
    return true;
}

} // namespace

size_t GbkCharLength(std::string_view text, size_t at) {
    return (IsGbkLeadByte(static_cast<unsigned char>(text[at])) && at + 1 < text.size()) ? 2 : 1;
}

int MbPos(std::string_view sub, std::string_view text, int start, bool caseSensitive) {
    if (sub.empty() || sub.size() > text.size()) return 0;
    const size_t from = start > 1 ? static_cast<size_t>(start - 1) : 0;
    const size_t last = text.size() - sub.size();
    for (size_t k = 0; k <= last; k += GbkCharLength(text, k))
        if (k >= from && MatchesAt(sub, text, k, caseSensitive)) return static_cast<int>(k) + 1;
    return 0;
}

std::string SplitAt(std::string& input, std::string_view delimiter, bool remove, bool caseSensitive) {
    const int p = MbPos(delimiter, input, 1, caseSensitive);
    if (p == 0) {
        std::string all = input;
        if (remove) input.clear();
        return all;
    }
    std::string before = input.substr(0, static_cast<size_t>(p - 1));
    if (remove) input.erase(0, static_cast<size_t>(p - 1) + delimiter.size());
    return before;
}

int LastPos(std::string_view sub, std::string_view text, int start) {
    if (sub.empty() || sub.size() > text.size()) return 0;
    const int highest = static_cast<int>(text.size() - sub.size()) + 1;
    if (start == -1 || start > highest) start = highest;
    int found = 0;
    for (size_t k = 0; static_cast<int>(k) + 1 <= start; k += GbkCharLength(text, k))
        if (MatchesAt(sub, text, k, false)) found = static_cast<int>(k) + 1;
    return found;
}

std::string UpperCaseText(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = UpperByte(c);
    return out;
}

bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && MatchesAt(a, b, 0, false);
}

size_t DecodeUtf8At(std::string_view text, size_t at, char32_t& code) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    const size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || at + n > text.size()) return 0;
    char32_t cp = n == 1 ? c : n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
    for (size_t i = 1; i < n; ++i) {
        const unsigned char d = static_cast<unsigned char>(text[at + i]);
        if ((d & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (d & 0x3F);
    }
    code = cp;
    return n;
}
