#pragma once
// The photo-album service's fixed values, in one place, and the reading of
// its record scripts.

#include "core/Exceptions.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Service {
// Host of the account home pages: http://<HomeHost>/<account>.
inline const std::string HomeHost = "photo.quillora.example";
// Picture hosts are named <PictureHostPrefix><first path segment><PictureHostSuffix>.
inline const std::string PictureHostPrefix = "img";
inline const std::string PictureHostSuffix = ".photo.quillora.example";
} // namespace Service

// Why url is not an address of the service's own, as an archive row may name
// one to fetch: http or https on its default port, at the home host or a
// name under it, nothing else in the authority; empty when it is one.
std::string ServiceAddressProblem(std::string_view url);

// A record script that would yield more records or bytes than a list may hold.
QUILLORA_EXCEPTION(EServiceListTooLarge, Exception);

// The address of a picture or thumbnail path as the service stores it
// ("b12/photo/x.jpg" -> "http://imgb12.photo.quillora.example/photo/x.jpg").
std::string MakeServicePictureUrl(std::string_view path);
// The path between "<marker>" plus its opening quote and the closing quote
// before endMarker, cut out of a record.
std::string QuotedPathBetween(const std::string& record, const std::string& marker,
                              const std::string& endMarker);

// What is left of a record script as the parsers walk through it. Every
// marker is looked up from the start of the rest, so a marker missing from
// many records would be searched for through the whole rest once per record,
// and cutting the rest off as a new text would copy it once per record: a
// script of n bytes would cost n * n. The cursor only moves its start and
// remembers where each marker occurs next, so a whole script costs n.
class TRecordCursor {
  public:
    explicit TRecordCursor(std::string_view text) : FText(text) {}

    std::string_view Rest() const { return FText.substr(FOffset); }
    // TextPos of marker in the rest.
    int64_t Pos(std::string_view marker);
    // TextCopy of the rest, as a view.
    std::string_view Copy(int64_t start, int64_t count) const;
    // The bytes between two markers, each looked up from the start of the rest.
    std::string_view Between(std::string_view open, std::string_view close);
    // The quoted path between marker and endMarker (see QuotedPathBetween).
    std::string_view QuotedPath(std::string_view marker, std::string_view endMarker);
    // Drops the rest up to and including the first "'}", or its first byte
    // when there is none.
    void SkipRecord();
    // Drops the first count bytes of the rest; all of it when it is shorter.
    void Drop(int64_t count);

  private:
    struct TNext {
        std::string_view Marker;
        size_t At; // absolute; npos: not after any offset reached so far
    };
    std::string_view FText;
    size_t FOffset = 0;
    std::vector<TNext> FNext;
};

// What one parsed list may hold. A script with records cut short yields one
// record per remaining "id", each value running on to a marker far behind it;
// past these limits the list is refused instead of filling the memory.
class TListBudget {
  public:
    TListBudget(const char* listName, const char* recordName, size_t maxRecords, size_t maxBytes)
        : FListName(listName), FRecordName(recordName), FMaxRecords(maxRecords), FMaxBytes(maxBytes) {}
    void AddRecord();
    // Counts a text the list keeps; answers it unchanged.
    const std::string& Keep(const std::string& text);

  private:
    const char* FListName;
    const char* FRecordName;
    size_t FMaxRecords;
    size_t FMaxBytes;
    size_t FRecords = 0;
    size_t FBytes = 0;
};
