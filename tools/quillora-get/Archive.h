#pragma once
// The record of pictures saved by earlier runs: one line per picture, its
// address, a tab and its size. A picture recorded here is skipped without
// asking the server. Lines are appended as pictures are saved, so a run that
// is cut off keeps what it finished.

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <unordered_map>

class TArchive {
  public:
    // Reads path when it exists; EFOpenError when it cannot be read or written.
    explicit TArchive(const std::string& path);
    ~TArchive();
    TArchive(const TArchive&) = delete;
    TArchive& operator=(const TArchive&) = delete;

    bool Contains(const std::string& url);
    void Record(const std::string& url, int64_t size);
    size_t Count();

  private:
    void Load();

    std::string FPath;
    std::mutex FLock;
    std::unordered_map<std::string, int64_t> FEntries;
    std::FILE* FFile = nullptr;
    bool FEndsMidLine = false;
};
