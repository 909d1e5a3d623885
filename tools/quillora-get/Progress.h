#pragma once
// What the user sees while the run goes on. On a terminal: one line per
// running job and a total line, redrawn in place. Elsewhere (a pipe, a log
// file): one plain line per finished picture. Failures always go to standard
// error, naming the album and the picture.

#include "GetTypes.h"

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

class TProgress {
  public:
    // out: where progress goes (standard output, or standard error when the
    // report takes standard output); live: redraw in place.
    TProgress(std::FILE* out, bool live, int verbosity, const TRunResult& run);

    void Begin(int workers);
    void JobStarted(int worker, size_t picture);
    void Bytes(int worker, int64_t count);
    void JobFinished(int worker, size_t picture);
    void Note(const TPictureJob& job, const std::string& text);
    void AlbumFailed(const TAlbumJob& album);
    // A picture refused before any request (its file name would leave the album's folder).
    void PictureRefused(const TAlbumJob& album, const TPictureJob& job);
    // Redraws the live lines; called by the main thread a few times a second.
    void Tick();
    void End();

  private:
    struct TSlot {
        size_t Picture = 0;
        bool Busy = false;
        int64_t Bytes = 0;
    };
    std::string Label(const TPictureJob& job) const;
    void PrintEvent(const TPictureJob& job);
    void Clear();
    void Draw();
    std::string TotalLine() const;

    std::FILE* FOut;
    bool FLive;
    int FVerbosity;
    const TRunResult& FRun;
    std::mutex FLock;
    std::vector<TSlot> FSlots;
    int FDrawn = 0; // live lines on the screen now
    size_t FDone = 0;
    size_t FTotal = 0;
    int64_t FBytes = 0;
    std::chrono::steady_clock::time_point FStart;
};

std::string HumanBytes(double bytes);
