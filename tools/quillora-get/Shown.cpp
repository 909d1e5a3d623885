#include "Shown.h"

#include "core/Gbk.h"

#include <cstdio>

namespace {

void AppendEscaped(std::string& out, unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "\\x%02X", value & 0xFFu);
    out += text;
}

} // namespace

std::string Shown(const std::string& gbk) {
    const std::string utf8 = GbkToUtf8(gbk);
    std::string out;
    out.reserve(utf8.size());
    for (size_t k = 0; k < utf8.size(); ++k) {
        const auto c = static_cast<unsigned char>(utf8[k]);
        if (c < 0x20 || c == 0x7F) {
            AppendEscaped(out, c);
        } else if (c == 0xC2 && k + 1 < utf8.size() && static_cast<unsigned char>(utf8[k + 1]) >= 0x80 &&
                   static_cast<unsigned char>(utf8[k + 1]) <= 0x9F) {
            AppendEscaped(out, static_cast<unsigned char>(utf8[++k])); // U+0080..U+009F
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

bool HasControlCharacter(const std::string& text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}
