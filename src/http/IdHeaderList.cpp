#include "http/IdHeaderList.h"

#include "core/Gbk.h"
#include "core/TextUtils.h"
#include "http/IdURI.h"

#include <algorithm>

namespace {

bool IsBreakChar(char c) {
    return c == ' ' || c == '\t' || c == ',';
}

std::string TrimRight(std::string_view s) {
    size_t n = s.size();
    while (n > 0 && static_cast<unsigned char>(s[n - 1]) <= 0x20)
        --n;
    return std::string(s.substr(0, n));
}

size_t SkipBreakChars(std::string_view text, size_t from) {
    while (from < text.size() && (IsBreakChar(text[from]) || text[from] == '\r' || text[from] == '\n'))
        ++from;
    return from;
}

} // namespace

// One walk over the text. The quote state only decides which blanks and
// commas are break opportunities: a line still goes at its last opportunity
// once it is too long, also when it ends inside a quoted string, and a CR LF
// already in the text always breaks.
std::string WrapHeaderLine(std::string_view text, int width) {
    constexpr size_t none = std::string_view::npos;
    const size_t n = text.size();
    std::string out;
    size_t lineStart = 0, lastBreak = none, i = 0;
    bool inQuote = false;
    while (i < n) {
        const auto c = static_cast<unsigned char>(text[i]);
        bool existing = false;
        if (IsGbkLeadByte(c) && i + 1 < n) {
            i += 2; // never a break opportunity, either byte
        } else if (c == '\r' && i + 1 < n && text[i + 1] == '\n') {
            existing = true;
            lastBreak = i + 1;
            i += 2;
        } else {
            if (c == '"') inQuote = !inQuote;
            if (!inQuote && IsBreakChar(static_cast<char>(c)) && i > lineStart) lastBreak = i;
            ++i;
        }
        if (!existing && (lastBreak == none || static_cast<long>(i - lineStart) <= width)) continue;
        out.append(text.substr(lineStart, lastBreak + 1 - lineStart));
        lineStart = SkipBreakChars(text, lastBreak + 1);
        if (!existing && lineStart < n) out += "\r\n ";
        i = std::max(i, lineStart);
        lastBreak = none;
    }
    if (lineStart < n) out.append(text.substr(lineStart));
    return out;
}

void TIdHeaderList::Insert(int index, std::string line) {
    FLines.insert(FLines.begin() + index, std::move(line));
}

void TIdHeaderList::Delete(int index) {
    FLines.erase(FLines.begin() + index);
}

std::string TIdHeaderList::Text() const {
    std::string s;
    for (const auto& line : FLines)
        s += line + "\r\n";
    return s;
}

void TIdHeaderList::SetText(std::string_view text) {
    FLines.clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find("\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        FLines.emplace_back(text.substr(start, end - start));
        start = end + 2;
    }
}

std::string TIdHeaderList::NameAt(int index) const {
    if (index < 0 || index >= Count()) return {};
    const std::string& line = FLines[static_cast<size_t>(index)];
    const int p = MbPos(TrimRight(Separator), line);
    if (p == 0) return {};
    std::string name = line.substr(0, static_cast<size_t>(p - 1));
    return MatchCase ? name : UpperCaseText(name);
}

bool TIdHeaderList::IsContinuation(int index) const {
    if (index < 0 || index >= Count()) return false;
    const std::string& line = FLines[static_cast<size_t>(index)];
    return !line.empty() && (line[0] == ' ' || line[0] == '\t');
}

std::string TIdHeaderList::ValueAt(int index) const {
    if (index < 0 || index >= Count()) return {};
    const std::string& line = FLines[static_cast<size_t>(index)];
    const size_t from = NameAt(index).size() + TrimRight(Separator).size();
    std::string value =
        TextTrim(from < line.size() ? std::string_view(line).substr(from) : std::string_view());
    if (!JoinContinuations) return value;
    // The trimmed pieces that are not empty, one space between them: built by
    // appending, as re-trimming the whole value for every continuation line
    // would cost the square of the line count.
    for (int k = index + 1; IsContinuation(k); ++k) {
        const std::string piece = TextTrim(FLines[static_cast<size_t>(k)]);
        if (piece.empty()) continue;
        if (!value.empty()) value += ' ';
        value += piece;
    }
    return value;
}

int TIdHeaderList::FindName(std::string_view name) const {
    if (name.empty()) return -1;
    for (int k = 0; k < Count(); ++k) {
        const std::string found = NameAt(k);
        if (!found.empty() && SameText(found, name)) return k;
    }
    return -1;
}

void TIdHeaderList::ExtractAll(std::string_view name, TIdHeaderList* destination) const {
    if (destination == nullptr || name.empty()) return;
    for (int k = 0; k < Count(); ++k) {
        const std::string found = NameAt(k);
        if (!found.empty() && SameText(found, name)) destination->Add(ValueAt(k));
    }
}

void TIdHeaderList::DeleteContinuations(int index) {
    while (IsContinuation(index + 1))
        Delete(index + 1);
}

void TIdHeaderList::SetHeader(std::string_view name, std::string_view value) {
    int idx = FindName(name);
    if (value.empty()) {
        if (idx < 0) return;
        if (FoldOnWrite) DeleteContinuations(idx);
        Delete(idx);
        return;
    }
    if (idx < 0) {
        Add({});
        idx = Count() - 1;
    }
    std::string line = std::string(name) + Separator + std::string(value);
    if (!FoldOnWrite) {
        Put(idx, std::move(line));
        return;
    }
    DeleteContinuations(idx);
    TIdHeaderList pieces;
    pieces.SetText(WrapHeaderLine(line, FoldWidth));
    for (int k = 0; k < pieces.Count(); ++k) {
        std::string piece = TrimRight(pieces[k]);
        // A CR LF in the value breaks without adding the space: text after it
        // would become a header line of its own, of the value's choosing.
        if (k > 0 && (piece.empty() || (piece[0] != ' ' && piece[0] != '\t'))) piece.insert(0, 1, ' ');
        if (k == 0)
            Put(idx, std::move(piece));
        else
            Insert(idx + k, std::move(piece));
    }
}
