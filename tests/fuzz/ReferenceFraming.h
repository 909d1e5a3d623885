#pragma once
// Where a reply's body is and where the reply ends, worked out from the raw
// bytes by rules written down here once more, without the client's header
// list or parser: the fuzz target holds the parser to them. The rules are
// RFC 9112's as this client applies them:
//   - a status line is "HTTP/1.x", a blank, a code from 100 to 599, then
//     nothing or a blank and a reason; 1xx replies but 101 are interim (at
//     most 10 in a row), and their heads say nothing about any body;
//   - a head ends with an empty line, and a close before it fails the reply;
//     at most 1000 lines, 300 KiB counting two line-end bytes per line;
//   - a line ends at LF (a CR before it is dropped); a limit counts the bytes
//     before the LF, also of a line that has not ended yet; any other CR, or
//     a NUL, in a status, header or trailer line refuses the reply;
//   - a header or trailer line without a colon refuses the reply, unless it
//     starts with a blank or tab and follows another line of its block;
//   - a header's name is the bytes before its first colon, matched without
//     regard to case; a Content-Length or Transfer-Encoding name with blanks
//     around it refuses the reply; a line that starts with a blank continues
//     the value before it;
//   - every Transfer-Encoding line is one list; chunked twice is refused;
//     chunked last frames the body in chunks; when a body follows, a coding
//     other than chunked and identity, or chunked before another, is refused;
//     identity alone (or an empty list) reads to the close, and the
//     Content-Length is then ignored;
//   - every Content-Length value (comma lists too) is digits within 63 bits,
//     all the same; otherwise the reply is refused;
//   - no body after HEAD, 1xx, 204, 304;
//   - a chunk size is hex digits (63 bits), blanks, then nothing or ";..."; the
//     data is followed by an empty line; size 0 ends with a trailer up to an
//     empty line (held to the head's limits); a close inside a trailer line
//     ends the reply after the body.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace reference {

enum class TResult { Whole, NotWhole };

struct TFramed {
    TResult Result = TResult::NotWhole;
    std::string Body;
    size_t End = 0; // bytes of the input the reply takes
};

struct TRules {
    bool ReplyToHead = false;
    bool Closes = false;      // the peer closes after the last byte
    size_t MaxLineLength = 0; // 0: none
};

class TFramer {
  public:
    TFramer(std::string_view bytes, const TRules& rules) : FBytes(bytes), FRules(rules) {}

    TFramed Run() {
        TFramed out;
        std::vector<std::string> head;
        int code = 0;
        for (int interim = 0;; ++interim) {
            if (interim > 10) return out;
            std::optional<std::string> status = Line();
            if (!status || Forbidden(*status) || !StatusCode(*status, code)) return out;
            if (!ReadBlock(head, /*emptyEndsAtClose=*/false)) return out;
            if (code / 100 != 1 || code == 101) break;
        }
        bool ok = true;
        const bool chunked = DecideChunked(head, ok);
        if (!ok) return out;
        const bool coded = FCoded;
        const bool bodyless = FRules.ReplyToHead || code / 100 == 1 || code == 204 || code == 304;
        if (bodyless) return Whole(out);
        if (FCodingLeft) return out;
        if (chunked) return Chunks(out);
        if (coded || FLength < 0) {
            if (!FRules.Closes) return out;
            out.Body.assign(FBytes.substr(FAt));
            FAt = FBytes.size();
            return Whole(out);
        }
        if (FBytes.size() - FAt < static_cast<uint64_t>(FLength)) return out;
        out.Body.assign(FBytes.substr(FAt, static_cast<size_t>(FLength)));
        FAt += static_cast<size_t>(FLength);
        return Whole(out);
    }

  private:
    static bool Blank(char c) { return static_cast<unsigned char>(c) <= 0x20; }
    static char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
    static bool Same(std::string_view a, std::string_view b) {
        if (a.size() != b.size()) return false;
        for (size_t k = 0; k < a.size(); ++k)
            if (Lower(a[k]) != Lower(b[k])) return false;
        return true;
    }
    static std::string_view Trim(std::string_view s) {
        while (!s.empty() && Blank(s.front()))
            s.remove_prefix(1);
        while (!s.empty() && Blank(s.back()))
            s.remove_suffix(1);
        return s;
    }
    static int Hex(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    TFramed& Whole(TFramed& out) {
        out.Result = TResult::Whole;
        out.End = FAt;
        return out;
    }

    // The next whole line, within the limit; none when it has not ended (or
    // is over the limit). FCut: the bytes left hold part of a line.
    std::optional<std::string> Line() {
        const size_t feed = FBytes.find('\n', FAt);
        const size_t length = (feed == std::string_view::npos ? FBytes.size() : feed) - FAt;
        FCut = feed == std::string_view::npos && length > 0;
        if (FRules.MaxLineLength > 0 && length > FRules.MaxLineLength) {
            FTooLong = true;
            return std::nullopt;
        }
        if (feed == std::string_view::npos) return std::nullopt;
        std::string line(FBytes.substr(FAt, length));
        if (!line.empty() && line.back() == '\r') line.pop_back();
        FAt = feed + 1;
        return line;
    }

    static bool Forbidden(const std::string& line) {
        return line.find('\r') != std::string::npos || line.find('\0') != std::string::npos;
    }

    static bool StatusCode(const std::string& line, int& code) {
        if (line.size() < 12 || line.compare(0, 7, "HTTP/1.") != 0 || line[8] != ' ') return false;
        if (line[7] < '0' || line[7] > '9') return false;
        if (line[9] < '1' || line[9] > '5' || line[10] < '0' || line[10] > '9' || line[11] < '0' ||
            line[11] > '9')
            return false;
        if (line.size() > 12 && line[12] != ' ') return false;
        code = (line[9] - '0') * 100 + (line[10] - '0') * 10 + (line[11] - '0');
        return true;
    }

    // Lines up to the empty one, held to the head's limits. A trailer cut by
    // the close inside a line is over (closeInsideLineEnds).
    bool ReadBlock(std::vector<std::string>& lines, bool closeInsideLineEnds) {
        lines.clear();
        size_t bytes = 0;
        for (;;) {
            std::optional<std::string> line = Line();
            if (!line) return closeInsideLineEnds && FRules.Closes && FCut && !FTooLong;
            if (line->empty()) return true;
            bytes += line->size() + 2;
            if (lines.size() + 1 > 1000 || bytes > 300 * 1024) return false;
            const bool folded = (*line)[0] == ' ' || (*line)[0] == '\t';
            if (Forbidden(*line)) return false;
            if (line->find(':') == std::string::npos && !(folded && !lines.empty())) return false;
            lines.push_back(std::move(*line));
        }
    }

    // The value of line k with the continuation lines after it.
    static std::string Value(const std::vector<std::string>& lines, size_t k, size_t colon) {
        std::string value(Trim(std::string_view(lines[k]).substr(colon + 1)));
        for (size_t n = k + 1;
             n < lines.size() && !lines[n].empty() && (lines[n][0] == ' ' || lines[n][0] == '\t'); ++n) {
            const std::string_view piece = Trim(lines[n]);
            if (piece.empty()) continue;
            if (!value.empty()) value += ' ';
            value += piece;
        }
        return value;
    }

    static std::vector<std::string_view> Items(std::string_view value, bool keepEmpty) {
        std::vector<std::string_view> items;
        for (size_t from = 0; from <= value.size();) {
            size_t comma = value.find(',', from);
            if (comma == std::string_view::npos) comma = value.size();
            const std::string_view item = Trim(value.substr(from, comma - from));
            if (keepEmpty || !item.empty()) items.push_back(item);
            from = comma + 1;
        }
        return items;
    }

    static bool Length(std::string_view text, int64_t& value) {
        if (text.empty()) return false;
        uint64_t v = 0;
        for (char c : text) {
            if (c < '0' || c > '9') return false;
            v = v * 10 + static_cast<uint64_t>(c - '0');
            if (v > static_cast<uint64_t>(INT64_MAX)) return false;
        }
        value = static_cast<int64_t>(v);
        return true;
    }

    bool DecideChunked(const std::vector<std::string>& head, bool& ok) {
        std::vector<std::string_view> codings;
        std::vector<std::string> values; // keeps the codings' text
        values.reserve(head.size());
        for (size_t k = 0; k < head.size() && ok; ++k) {
            const size_t colon = head[k].find(':');
            if (colon == std::string::npos) continue;
            const std::string_view name = std::string_view(head[k]).substr(0, colon);
            const std::string_view trimmed = Trim(name);
            const bool length = Same(trimmed, "content-length");
            const bool coding = Same(trimmed, "transfer-encoding");
            if ((length || coding) && trimmed.size() != name.size()) ok = false;
            if (!ok || !(length || coding)) continue;
            values.push_back(Value(head, k, colon));
            if (coding) {
                FCoded = true;
                for (std::string_view item : Items(values.back(), false))
                    codings.push_back(item);
                continue;
            }
            for (std::string_view item : Items(values.back(), true)) {
                int64_t value = 0;
                if (!Length(item, value) || (FLength >= 0 && value != FLength)) ok = false;
                FLength = value;
            }
        }
        size_t chunks = 0;
        for (std::string_view c : codings)
            chunks += Same(c, "chunked") ? 1 : 0;
        if (chunks > 1) ok = false;
        for (std::string_view c : codings)
            FCodingLeft = FCodingLeft || !(Same(c, "chunked") || Same(c, "identity"));
        const bool chunked = chunks == 1 && Same(codings.back(), "chunked");
        FCodingLeft = FCodingLeft || (chunks == 1 && !chunked);
        return chunked;
    }

    bool ChunkSize(const std::string& line, uint64_t& size) {
        size = 0;
        size_t at = 0;
        for (; at < line.size() && Hex(line[at]) >= 0; ++at) {
            if (size > (static_cast<uint64_t>(INT64_MAX) >> 4)) return false;
            size = size * 16 + static_cast<uint64_t>(Hex(line[at]));
        }
        if (at == 0) return false;
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
            ++at;
        return at == line.size() || line[at] == ';';
    }

    TFramed Chunks(TFramed& out) {
        for (;;) {
            std::optional<std::string> line = Line();
            uint64_t size = 0;
            if (!line || !ChunkSize(*line, size)) return out;
            if (size == 0) break;
            if (FBytes.size() - FAt < size) return out;
            out.Body.append(FBytes.substr(FAt, size));
            FAt += size;
            std::optional<std::string> end = Line();
            if (!end || !end->empty()) return out;
        }
        std::vector<std::string> trailer;
        if (!ReadBlock(trailer, /*closeInsideLineEnds=*/true)) return out;
        return Whole(out);
    }

    std::string_view FBytes;
    TRules FRules;
    size_t FAt = 0;
    bool FCodingLeft = false; // a coding would stay on the body
    bool FCut = false;
    bool FTooLong = false;
    bool FCoded = false;
    int64_t FLength = -1;
};

inline TFramed Frame(std::string_view bytes, const TRules& rules) {
    return TFramer(bytes, rules).Run();
}

} // namespace reference
