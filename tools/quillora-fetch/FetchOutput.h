#pragma once
// Where quillora-fetch writes: the output of the bodies (standard output, a
// device, or a regular file renamed into place when complete), and each URL's
// share of it.

#include "core/Classes.h"
#include "core/FileUtils.h"

#include <memory>
#include <string>

// Where the bodies go. A regular file (or a new one) is written beside its
// name and renamed at the end; anything else is written straight through.
class TFetchOutput {
  public:
    // "" or "-": standard output.
    explicit TFetchOutput(const std::string& path);
    TStream& Stream() { return *FStream; }
    // Gives a regular file its name; nothing for anything else.
    void Finish();

  private:
    void OpenForward(const std::string& path, int flags = 0);

    std::unique_ptr<TStream> FStream;
    TAtomicFileStream* FFile = nullptr;
};

// One URL's share of an output: the heads of its replies (-I, -i) and its
// body. The body's positions count from the end of the last head written, so
// that the client, going back to the body's start after a redirect, lands
// after the heads shown and never before them.
class TReplySink : public TStream {
  public:
    explicit TReplySink(TStream& out) : FOut(out), FBase(out.Position()) {}
    // A reply's status line and header lines as curl -i writes them.
    void WriteHead(const std::string& statusLine, const std::string& headerText);
    // The body's bytes so far (curl's size_download).
    int64_t BodySize() { return Size(); }

    int64_t Read(void* buffer, int64_t count) override { return FOut.Read(buffer, count); }
    int64_t Write(const void* buffer, int64_t count) override { return FOut.Write(buffer, count); }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void SetSize(int64_t newSize) override { FOut.SetSize(FBase + newSize); }
    int64_t Size() override { return FOut.Size() - FBase; }

  private:
    TStream& FOut;
    int64_t FBase;
};
