#include "http/IdHeaderList.h"

#include "app/Gbk.h"
#include "app/TextUtils.h"
#include "http/IdURI.h"

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

// Scans one output line from lineStart; answers whether it must be cut and
// where its last break opportunity is (for an existing CR LF: at the LF).
bool FindCut(std::string_view text, size_t lineStart, int width, size_t& cutAt, bool& existing) {
    const size_t n = text.size();
    bool inQuote = false;
    long column = 0;
    cutAt = std::string_view::npos;
    existing = false;
    for (size_t i = lineStart; i < n;) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (IsGbkLeadByte(c) && i + 1 < n) {
            i += 2; // never a break opportunity, either byte
            column += 2;
        } else if (!inQuote && c == '\r' && i + 1 < n && text[i + 1] == '\n') {
            cutAt = i + 1;
            existing = true;
            return true;
        } else {
            if (c == '"') inQuote = !inQuote;
            if (!inQuote && IsBreakChar(static_cast<char>(c))) cutAt = i;
            ++i;
            ++column;
        }
        if (!inQuote && column > width && cutAt != std::string_view::npos && cutAt > lineStart) return true;
    }
    return false;
}

} // namespace

std::string WrapHeaderLine(std::string_view text, int width) {
    const size_t n = text.size();
    std::string out;
    size_t lineStart = 0;
    size_t cutAt = 0;
    bool existing = false;
    while (lineStart < n && FindCut(text, lineStart, width, cutAt, existing)) {
        out.append(text.substr(lineStart, cutAt + 1 - lineStart));
        size_t next = cutAt + 1;
        while (next < n && (IsBreakChar(text[next]) || text[next] == '\r' || text[next] == '\n'))
            ++next;
        if (!existing && next < n) out += "\r\n ";
        lineStart = next;
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
        size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) end = text.size();
        FLines.emplace_back(text.substr(start, end - start));
        if (end < text.size() && text[end] == '\r' && end + 1 < text.size() && text[end + 1] == '\n') ++end;
        start = end + 1;
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
    std::string value = from < line.size() ? line.substr(from) : std::string();
    if (JoinContinuations)
        for (int k = index + 1; IsContinuation(k); ++k)
            value = TextTrim(value) + " " + TextTrim(FLines[static_cast<size_t>(k)]);
    return TextTrim(value);
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
        if (k == 0)
            Put(idx, TrimRight(pieces[k]));
        else
            Insert(idx + k, TrimRight(pieces[k]));
    }
}
