#include "catalogue/Service.h"

#include "core/TextUtils.h"

#include <cctype>

std::string MakeServicePictureUrl(std::string_view path) {
    const size_t slash = path.find('/');
    const std::string_view head =
        slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
    const std::string_view tail = slash == std::string_view::npos ? path : path.substr(slash);
    std::string url = "http://" + Service::PictureHostPrefix;
    url.append(head).append(Service::PictureHostSuffix).append(tail);
    return url;
}

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view head) {
    if (text.size() < head.size()) return false;
    for (size_t k = 0; k < head.size(); ++k)
        if (std::tolower(static_cast<unsigned char>(text[k])) != head[k]) return false;
    return true;
}

bool IsServiceHost(std::string host) {
    for (char& c : host) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-') return false;
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    const std::string& home = Service::HomeHost;
    return host == home || (host.size() > home.size() + 1 &&
                            host.compare(host.size() - home.size(), home.size(), home) == 0 &&
                            host[host.size() - home.size() - 1] == '.');
}

} // namespace

std::string ServiceAddressProblem(std::string_view url) {
    const bool https = StartsWithNoCase(url, "https://");
    if (!https && !StartsWithNoCase(url, "http://"))
        return "Address refused: only http:// and https:// addresses of the service are fetched";
    const std::string_view rest = url.substr(https ? 8 : 7);
    // The authority ends at the first "/", "?" or "#", whatever follows.
    const std::string_view authority = rest.substr(0, rest.find_first_of("/?#"));
    const size_t colon = authority.find(':');
    const std::string_view host = authority.substr(0, colon);
    if (!IsServiceHost(std::string(host)))
        return "Address refused: its host is not one of the service's (" + Service::HomeHost +
               " and the names under it)";
    if (colon != std::string_view::npos && authority.substr(colon + 1) != (https ? "443" : "80"))
        return "Address refused: the service is reached on the default port only";
    return {};
}

std::string QuotedPathBetween(const std::string& record, const std::string& marker,
                              const std::string& endMarker) {
    return std::string(TRecordCursor(record).QuotedPath(marker, endMarker));
}

// ---------------------------------------------------------------- TRecordCursor

int64_t TRecordCursor::Pos(std::string_view marker) {
    if (marker.empty() || FOffset >= FText.size()) return 0;
    TNext* next = nullptr;
    for (TNext& entry : FNext)
        if (entry.Marker == marker) next = &entry;
    if (next == nullptr) {
        FNext.push_back({marker, 0});
        next = &FNext.back();
        next->At = FText.find(marker, FOffset);
    } else if (next->At != std::string_view::npos && next->At < FOffset) {
        next->At = FText.find(marker, FOffset);
    }
    if (next->At == std::string_view::npos) return 0;
    return static_cast<int64_t>(next->At - FOffset) + 1;
}

std::string_view TRecordCursor::Copy(int64_t start, int64_t count) const {
    // The clamping of TextCopy: a start before the text does not shorten the count.
    const std::string_view rest = Rest();
    const auto length = static_cast<int64_t>(rest.size());
    if (length == 0 || count < 0) return {};
    if (start < 1) start = 1;
    if (start > length) return {};
    if (count > length - start + 1) count = length - start + 1;
    return rest.substr(static_cast<size_t>(start - 1), static_cast<size_t>(count));
}

std::string_view TRecordCursor::Between(std::string_view open, std::string_view close) {
    const int64_t start = Pos(open) + static_cast<int64_t>(open.size());
    return Copy(start, Pos(close) - start);
}

std::string_view TRecordCursor::QuotedPath(std::string_view marker, std::string_view endMarker) {
    // From the second byte after the marker (its opening quote skipped) to the
    // second byte before the end marker (the closing quote dropped).
    const int64_t start = Pos(marker), end = Pos(endMarker);
    const int64_t from = start + static_cast<int64_t>(marker.size()) + 1;
    return Copy(from, end - (from + 1));
}

void TRecordCursor::SkipRecord() {
    Drop(Pos("'}") + 1);
}

void TRecordCursor::Drop(int64_t count) {
    if (count <= 0) return;
    const size_t left = FText.size() - FOffset;
    FOffset += static_cast<uint64_t>(count) < left ? static_cast<size_t>(count) : left;
}

// ---------------------------------------------------------------- TListBudget

void TListBudget::AddRecord() {
    if (++FRecords > FMaxRecords)
        throw EServiceListTooLarge(
            Format("%s refused: more than %zu %s", FListName, FMaxRecords, FRecordName));
}

const std::string& TListBudget::Keep(const std::string& text) {
    FBytes += text.size();
    if (FBytes > FMaxBytes)
        throw EServiceListTooLarge(
            Format("%s refused: more than %zu bytes of %s", FListName, FMaxBytes, FRecordName));
    return text;
}
