#pragma once
// What the user sees while the run goes on. On a terminal: one line per
// running job and a total line, fitted to the terminal's width and redrawn
// in place. Elsewhere (a pipe, a log file, TERM=dumb): one plain line per
// finished picture. Failures always go to standard error, naming the album
// and the picture. When the run is stopped, a closing line says how far it
// got and how to go on; otherwise it counts what was saved, skipped and
// failed.

#include "GetTypes.h"
#include "transfer/TransferJob.h"

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

struct TDisplayMode {
    bool Live = false;   // redraw in place (a terminal that can)
    bool Colour = false; // escape sequences for colour
};

// How to show progress on out: live and coloured on a terminal whose TERM is
// not "dumb"; coloured only without NO_COLOR.
TDisplayMode DisplayModeFor(std::FILE* out);

class TProgress : public TTransferEvents {
  public:
    // out: where progress goes (standard output, or standard error when the
    // report takes standard output).
    TProgress(std::FILE* out, TDisplayMode mode, int verbosity, const TRunResult& run);

    void Begin(int workers) override;
    void JobStarted(int worker, size_t picture) override;
    void Bytes(int worker, int64_t count) override;
    void JobFinished(int worker, size_t picture) override;
    void Note(const TPictureJob& job, const std::string& text) override;
    void RecordFailed(const std::string& message) override;
    // The archive's first failure in this run; empty when there was none.
    std::string RecordError();
    void AlbumFailed(const TAlbumJob& album);
    // Planning names albums of this account (with several accounts).
    void SetPlanningAccount(const std::string& account) { FPlanningAccount = account; }
    // A picture refused before any request (its file name would leave the album's folder).
    void PictureRefused(const TAlbumJob& album, const TPictureJob& job);
    // Redraws the live lines; called by the main thread a few times a second,
    // and at once after the terminal's size changed.
    void Tick() override;
    // The closing line: the counts of the run; after a stop, how far it got.
    void End() override;

  private:
    struct TSlot {
        size_t Picture = 0;
        bool Busy = false;
        int64_t Bytes = 0;
    };
    // "album/picture", within width columns.
    std::string Label(const TPictureJob& job, size_t width = SIZE_MAX) const;
    std::string Where(const TAlbumJob& album) const;
    void PrintEvent(const TPictureJob& job);
    void PrintLine(const std::string& head, const TPictureJob& job, const std::string& tail,
                   const char* colour = nullptr);
    void Clear();
    void Draw();
    std::string TotalLine(size_t width) const;
    // The last line of a run that ended by itself, within width columns.
    std::string ClosingLine(size_t width) const;
    std::string StoppedLine() const;
    std::string Paint(const std::string& text, const char* colour) const;

    std::FILE* FOut;
    std::string FPlanningAccount;
    TDisplayMode FMode;
    int FVerbosity;
    const TRunResult& FRun;
    std::mutex FLock;
    std::vector<TSlot> FSlots;
    // The live lines on the screen now: their widths in columns, and the
    // terminal's width when they were drawn.
    std::vector<size_t> FDrawn;
    int FDrawnWidth = 0;
    size_t FDone = 0; // finished: saved, skipped or failed
    size_t FFailed = 0;
    std::string FRecordError;
    size_t FTotal = 0;
    int64_t FBytes = 0;
    std::chrono::steady_clock::time_point FStart;
};

std::string HumanBytes(double bytes);
// "7 of 8 pictures saved, 1 failed": saved of all, then skipped and failed
// when there are any.
std::string PictureCounts(const TRunResult& run);
