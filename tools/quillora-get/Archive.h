#pragma once
// The record of pictures saved by earlier runs: one line per picture, its
// address, a tab and its size. A picture recorded here is skipped without
// asking the server. A line is appended (and on the disk) only once its
// picture is, so a run that is cut off keeps what it finished and names
// nothing else.

#include "transfer/TransferJob.h"

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

class TArchive : public TSavedRecord {
  public:
    // Reads path when it exists; EFOpenError when it cannot be read or written.
    explicit TArchive(const std::string& path);
    ~TArchive() override;
    TArchive(const TArchive&) = delete;
    TArchive& operator=(const TArchive&) = delete;

    bool Contains(const std::string& url) override;
    // EInOutError when the line cannot be written; nothing of it stays then.
    void Record(const std::string& url, int64_t size) override;
    size_t Count();

  private:
    void Load();
    void Append(const std::string& text);

    std::string FPath;
    std::mutex FLock;
    std::unordered_map<std::string, int64_t> FEntries;
    int FFile = -1;
    bool FEndsMidLine = false;
    uint64_t FWholeLines = 0; // bytes of the lines that end with their line break
};
