#include "core/Gbk.h"

#include <cerrno>
#include <cstdint>
#include <iconv.h>
#include <stdexcept>

namespace {

// iconv descriptors are costly to open; one per direction and thread (a
// descriptor keeps state, and quillora-get's workers convert file names at
// the same time), reset before use.
class TConverter {
  public:
    TConverter(const char* to, const char* from) : FCd(iconv_open(to, from)) {
        if (FCd == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open failed");
    }
    ~TConverter() { iconv_close(FCd); }

    // Converts as much as it can; on an invalid input sequence calls onBad
    // with the offending byte and goes on after it.
    template <typename Bad> std::string Run(const char* in, size_t inLeft, Bad onBad) {
        iconv(FCd, nullptr, nullptr, nullptr, nullptr);
        std::string out;
        out.resize(inLeft * 4 + 16);
        char* src = const_cast<char*>(in);
        char* dst = out.data();
        size_t dstLeft = out.size();
        while (inLeft > 0) {
            size_t r = iconv(FCd, &src, &inLeft, &dst, &dstLeft);
            if (r != static_cast<size_t>(-1)) break;
            if (errno == E2BIG) {
                size_t used = static_cast<size_t>(dst - out.data());
                out.resize(out.size() * 2);
                dst = out.data() + used;
                dstLeft = out.size() - used;
                continue;
            }
            // EILSEQ or EINVAL (a sequence cut at the end): hand over one byte.
            size_t used = static_cast<size_t>(dst - out.data());
            out.resize(used);
            onBad(out, static_cast<unsigned char>(*src));
            ++src;
            --inLeft;
            size_t grown = out.size();
            out.resize(grown + inLeft * 4 + 16);
            dst = out.data() + grown;
            dstLeft = out.size() - grown;
            iconv(FCd, nullptr, nullptr, nullptr, nullptr);
        }
        out.resize(static_cast<size_t>(dst - out.data()));
        return out;
    }

  private:
    iconv_t FCd;
};

void HexEscape(std::string& out, unsigned char b) {
    static const char digits[] = "0123456789ABCDEF";
    out += '%';
    out += digits[b >> 4];
    out += digits[b & 15];
}

} // namespace

bool IsGbkTrailByte(std::string_view s, size_t i) {
    size_t k = 0;
    while (k < i)
        k += IsGbkLeadByte(static_cast<unsigned char>(s[k])) ? 2 : 1;
    return k != i;
}

std::string GbkToUtf8(std::string_view gbk) {
    static thread_local TConverter conv("UTF-8", "GB18030");
    return conv.Run(gbk.data(), gbk.size(), HexEscape);
}

std::string Utf8ToGbk(std::string_view utf8) {
    static thread_local TConverter conv("GB18030", "UTF-8");
    return conv.Run(utf8.data(), utf8.size(),
                    [](std::string& out, unsigned char b) { out += static_cast<char>(b); });
}

std::u16string GbkToUtf16(std::string_view gbk) {
    static thread_local TConverter conv("UTF-16LE", "GB18030");
    std::string bytes = conv.Run(gbk.data(), gbk.size(), [](std::string& out, unsigned char b) {
        // U+FFFD in UTF-16LE for a byte that is not text
        (void)b;
        out += '\xFD';
        out += '\xFF';
    });
    std::u16string result(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < result.size(); ++i)
        result[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                          (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
    return result;
}

std::string Utf16ToGbk(std::u16string_view utf16) {
    static thread_local TConverter conv("GB18030", "UTF-16LE");
    std::string bytes;
    bytes.reserve(utf16.size() * 2);
    for (size_t i = 0; i < utf16.size(); ++i) {
        char16_t c = utf16[i];
        // A lone surrogate is no character; it becomes "?".
        bool high = c >= 0xD800 && c <= 0xDBFF, low = c >= 0xDC00 && c <= 0xDFFF;
        if (high && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
            bytes += static_cast<char>(c & 0xFF);
            bytes += static_cast<char>(c >> 8);
            c = utf16[++i];
        } else if (high || low) {
            c = u'?';
        }
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>(c >> 8);
    }
    return conv.Run(bytes.data(), bytes.size(), [](std::string& out, unsigned char) { out += '?'; });
}
