#include "gallery/HtmlText.h"

#include <cstdint>

namespace {

constexpr const char* Replacement = "\xEF\xBF\xBD"; // U+FFFD

// The length of the well-formed UTF-8 sequence at text[at] (shortest form,
// no surrogates, at most U+10FFFF); 0 when there is none.
// The lead bytes of multi-byte sequences: their length, and the code
// points they may stand for (shorter forms and beyond U+10FFFF are no UTF-8).
struct TLead {
    unsigned char First, Last;
    size_t Length;
    uint32_t Low, High, Bits;
};
constexpr TLead Leads[] = {{0xC2, 0xDF, 2, 0x80, 0x7FF, 0x1F},
                           {0xE0, 0xEF, 3, 0x800, 0xFFFF, 0x0F},
                           {0xF0, 0xF4, 4, 0x10000, 0x10FFFF, 0x07}};

size_t SequenceLength(std::string_view text, size_t at) {
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[at + k]); };
    if (byte(0) < 0x80) return 1;
    for (const TLead& lead : Leads) {
        if (byte(0) < lead.First || byte(0) > lead.Last) continue;
        if (at + lead.Length > text.size()) return 0;
        uint32_t code = byte(0) & lead.Bits;
        for (size_t k = 1; k < lead.Length; ++k) {
            if ((byte(k) & 0xC0) != 0x80) return 0;
            code = (code << 6) | (byte(k) & 0x3Fu);
        }
        const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
        return code < lead.Low || code > lead.High || surrogate ? 0 : lead.Length;
    }
    return 0;
}

// C1 controls (U+0080..U+009F) are as unwelcome in a page as C0 ones.
bool IsC1Control(std::string_view text, size_t at) {
    return static_cast<unsigned char>(text[at]) == 0xC2 && static_cast<unsigned char>(text[at + 1]) < 0xA0;
}

void AppendEscaped(std::string& out, char c) {
    switch (c) {
    case '&':
        out += "&amp;";
        break;
    case '<':
        out += "&lt;";
        break;
    case '>':
        out += "&gt;";
        break;
    case '"':
        out += "&quot;";
        break;
    case '\'':
        out += "&#39;";
        break;
    default:
        out += c;
    }
}

std::string Escape(std::string_view text, bool lines) {
    std::string out;
    out.reserve(text.size() + text.size() / 8);
    for (size_t at = 0; at < text.size();) {
        const size_t length = SequenceLength(text, at);
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (lines && c == '\r' && at + 1 < text.size() && text[at + 1] == '\n') {
            ++at; // the line feed that follows makes the break
        } else if (lines && (c == '\n' || c == '\r')) {
            out += "<br>";
            ++at;
        } else if (length == 0 || (length == 1 && c < 0x20 && c != '\t' && c != '\n') || c == 0x7F ||
                   (length == 2 && IsC1Control(text, at))) {
            out += Replacement;
            at += length == 0 ? 1 : length;
        } else if (length == 1) {
            AppendEscaped(out, static_cast<char>(c));
            ++at;
        } else {
            out.append(text.substr(at, length));
            at += length;
        }
    }
    return out;
}

bool IsUnreserved(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

} // namespace

std::string HtmlText(std::string_view utf8) {
    return Escape(utf8, false);
}

std::string HtmlLines(std::string_view utf8) {
    return Escape(utf8, true);
}

std::string UrlPath(std::string_view path) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsUnreserved(c) || c == '/') {
            out += ch;
        } else {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        }
    }
    return out;
}
