#include "Archive.h"

#include "core/Exceptions.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"

#include <cerrno>
#include <fstream>

TArchive::TArchive(const std::string& path) : FPath(path) {
    Load();
    FFile = std::fopen(GbkToFileName(path).c_str(), "ab");
    if (!FFile)
        throw EFOpenError(Format("Cannot open file \"%s\". %s", ExpandFileName(path).c_str(),
                                 SystemErrorText(errno).c_str()));
    // A last line without its line break (cut off, or written by hand) must
    // not swallow the first record of this run.
    if (FEndsMidLine) std::fputc('\n', FFile);
}

TArchive::~TArchive() {
    if (FFile) std::fclose(FFile);
}

void TArchive::Load() {
    std::ifstream in(GbkToFileName(FPath), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        FEndsMidLine = in.eof();
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t tab = line.rfind('\t');
        if (tab == std::string::npos || tab == 0) continue; // not ours: ignored, kept
        try {
            FEntries[line.substr(0, tab)] = std::stoll(line.substr(tab + 1));
        } catch (const std::exception&) {
            // A line cut short by a crash names no size; the picture is fetched again.
        }
    }
}

bool TArchive::Contains(const std::string& url) {
    std::lock_guard<std::mutex> guard(FLock);
    return FEntries.count(url) > 0;
}

void TArchive::Record(const std::string& url, int64_t size) {
    // An address with a line break would read back as two records.
    if (url.find_first_of("\t\r\n") != std::string::npos) return;
    std::lock_guard<std::mutex> guard(FLock);
    if (FEntries.count(url)) return;
    FEntries[url] = size;
    std::fprintf(FFile, "%s\t%lld\n", url.c_str(), static_cast<long long>(size));
    std::fflush(FFile);
}

size_t TArchive::Count() {
    std::lock_guard<std::mutex> guard(FLock);
    return FEntries.size();
}
