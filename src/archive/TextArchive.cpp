#include "archive/TextArchive.h"

#include <algorithm>

namespace {

bool ParseSize(const std::string& text, int64_t& size) {
    // Digits only, and few enough to fit: "12x", "-3" and "" are no sizes.
    if (text.empty() || text.size() > 18) return false;
    if (text.find_first_not_of("0123456789") != std::string::npos) return false;
    size = std::stoll(text);
    return true;
}

void TakeLine(std::string& line, const std::function<void(const std::string&, int64_t)>& onRecord,
              TTextArchiveSummary& summary) {
    ++summary.Lines;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t tab = line.rfind('\t');
    if (tab == std::string::npos || tab == 0) return;
    int64_t size = 0;
    if (!ParseSize(line.substr(tab + 1), size)) return;
    // An address with a tab or a line break in it was never written by us.
    const std::string url = line.substr(0, tab);
    if (url.find_first_of("\t\r") != std::string::npos) return;
    ++summary.Records;
    onRecord(url, size);
}

} // namespace

TTextArchiveSummary ReadTextArchive(std::istream& in,
                                    const std::function<void(const std::string& url, int64_t size)>& onRecord) {
    TTextArchiveSummary summary;
    std::string line;
    bool tooLong = false;
    char buffer[65536];
    while (in) {
        in.read(buffer, sizeof buffer);
        const size_t got = static_cast<size_t>(in.gcount());
        if (got == 0) break;
        const char* begin = buffer;
        const char* end = buffer + got;
        if (std::find(begin, end, '\0') != end) {
            summary.HasNul = true;
            return summary;
        }
        for (const char* at = begin; at < end;) {
            const char* brk = std::find(at, end, '\n');
            if (!tooLong) {
                line.append(at, static_cast<size_t>(brk - at));
                if (line.size() > TextArchiveLineLimit) {
                    tooLong = true;
                    line.clear();
                }
            }
            if (brk == end) break;
            if (tooLong)
                ++summary.Lines;
            else
                TakeLine(line, onRecord, summary);
            line.clear();
            tooLong = false;
            at = brk + 1;
        }
    }
    // What is left is a last line without its break: it proves nothing.
    return summary;
}

bool IsTextArchive(const TTextArchiveSummary& summary) {
    return !summary.HasNul && summary.Records > 0;
}
