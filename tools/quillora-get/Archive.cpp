#include "Archive.h"

#include "core/Exceptions.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

TArchive::TArchive(const std::string& path) : FPath(path) {
    Load();
    FFile = ::open(GbkToFileName(path).c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (FFile < 0)
        throw EFOpenError(Format("Cannot open file \"%s\". %s", ExpandFileName(path).c_str(),
                                 SystemErrorText(errno).c_str()));
    // A last line without its line break (cut off by a crash) is dropped: a
    // line break after it would make "\t12" of "\t12345" a record, and
    // without one it would swallow the first record of this run.
    if (FEndsMidLine && ::ftruncate(FFile, static_cast<off_t>(FWholeLines)) != 0) {
        const int error = errno;
        ::close(FFile);
        throw EFOpenError(Format("Cannot write file \"%s\". %s", ExpandFileName(path).c_str(),
                                 SystemErrorText(error).c_str()));
    }
}

TArchive::~TArchive() {
    if (FFile >= 0) ::close(FFile);
}

void TArchive::Load() {
    std::ifstream in(GbkToFileName(FPath), std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        // A line without its line break may be a record cut short by a crash
        // ("\t12" of "\t12345"): it proves nothing, the picture is looked at again.
        if (in.eof()) {
            FEndsMidLine = true;
            break;
        }
        FWholeLines += line.size() + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t tab = line.rfind('\t');
        if (tab == std::string::npos || tab == 0) continue; // not ours: ignored, kept
        try {
            FEntries[line.substr(0, tab)] = std::stoll(line.substr(tab + 1));
        } catch (const std::exception&) {
            // A line that names no size is no record; the picture is fetched again.
        }
    }
}

bool TArchive::Contains(const std::string& url) {
    std::lock_guard<std::mutex> guard(FLock);
    return FEntries.count(url) > 0;
}

void TArchive::Append(const std::string& text) {
    struct stat st {};
    const off_t before = ::fstat(FFile, &st) == 0 ? st.st_size : -1;
    const ssize_t n = ::write(FFile, text.data(), text.size());
    int error = n < 0 ? errno : ENOSPC; // a short write: the disk (or the size limit) is full
    if (n == static_cast<ssize_t>(text.size())) {
        if (::fdatasync(FFile) == 0) return;
        error = errno;
    }
    // Half a record could read back as another one ("\t12" of "\t12345"): it is taken back.
    if (n > 0 && before >= 0 && ::ftruncate(FFile, before) != 0) error = errno;
    throw EInOutError(Format("Cannot write to the archive \"%s\". %s", ExpandFileName(FPath).c_str(),
                             SystemErrorText(error).c_str()),
                      error);
}

void TArchive::Record(const std::string& url, int64_t size) {
    // An address with a line break would read back as two records.
    if (url.find_first_of("\t\r\n") != std::string::npos) return;
    std::lock_guard<std::mutex> guard(FLock);
    if (FEntries.count(url)) return;
    Append(url + "\t" + std::to_string(size) + "\n");
    FEntries[url] = size;
}

size_t TArchive::Count() {
    std::lock_guard<std::mutex> guard(FLock);
    return FEntries.size();
}
