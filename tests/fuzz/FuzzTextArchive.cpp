// The text archive of earlier versions, as the database takes it over: every
// record it yields is an address without a tab or line break and a size of
// digits, and writing the records back as lines reads back as the same records.

#include "FuzzSupport.h"
#include "archive/TextArchive.h"

#include <cstdlib>
#include <sstream>
#include <utility>
#include <vector>

namespace {

using TRecords = std::vector<std::pair<std::string, int64_t>>;

TRecords Read(const std::string& text, TTextArchiveSummary& summary) {
    TRecords records;
    std::istringstream in(text);
    summary = ReadTextArchive(in, [&](const std::string& url, int64_t size) { records.emplace_back(url, size); });
    return records;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    TTextArchiveSummary summary;
    const TRecords records = Read(fuzz::Text(data, size), summary);
    if (summary.Records != records.size() || summary.Records > summary.Lines) std::abort();
    std::string again;
    for (const auto& [url, bytes] : records) {
        if (url.empty() || url.find_first_of("\t\r\n") != std::string::npos || bytes < 0) std::abort();
        again += url + "\t" + std::to_string(bytes) + "\n";
    }
    TTextArchiveSummary second;
    if (Read(again, second) != records || !(IsTextArchive(second) || records.empty())) std::abort();
    return 0;
}
