#include "catalogue/Service.h"

#include "app/TextUtils.h"

std::string MakeServicePictureUrl(const std::string& path) {
    int slash = TextPos("/", path);
    std::string head = TextCopy(path, 1, slash - 1);
    std::string tail = TextCopy(path, slash, static_cast<int64_t>(path.size()));
    return "http://" + Service::PictureHostPrefix + head + Service::PictureHostSuffix + tail;
}

std::string QuotedPathBetween(const std::string& record, const std::string& marker,
                              const std::string& endMarker) {
    // From the second byte after the marker (its opening quote skipped) to the
    // second byte before the end marker (the closing quote dropped).
    const int64_t start = TextPos(marker, record), end = TextPos(endMarker, record);
    const int64_t from = start + static_cast<int64_t>(marker.size()) + 1;
    return TextCopy(record, from, end - (from + 1));
}
