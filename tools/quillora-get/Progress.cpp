#include "Progress.h"

#include "Shown.h"

#include <algorithm>
#include <cinttypes>

std::string HumanBytes(double bytes) {
    const char* units[] = {"B", "KB", "MB", "GB", "TB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 4) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

TProgress::TProgress(std::FILE* out, bool live, int verbosity, const TRunResult& run)
    : FOut(out), FLive(live && verbosity > 0), FVerbosity(verbosity), FRun(run),
      FStart(std::chrono::steady_clock::now()) {}

void TProgress::Begin(int workers) {
    std::lock_guard<std::mutex> guard(FLock);
    FSlots.assign(static_cast<size_t>(workers), TSlot{});
    FTotal = FRun.Pictures.size();
    FDone = 0;
    for (const TPictureJob& job : FRun.Pictures)
        if (job.Outcome != TOutcome::Pending) ++FDone;
    FStart = std::chrono::steady_clock::now();
}

void TProgress::JobStarted(int worker, size_t picture) {
    std::lock_guard<std::mutex> guard(FLock);
    FSlots[static_cast<size_t>(worker)] = TSlot{picture, true, 0};
}

void TProgress::Bytes(int worker, int64_t count) {
    std::lock_guard<std::mutex> guard(FLock);
    FSlots[static_cast<size_t>(worker)].Bytes += count;
    FBytes += count;
}

void TProgress::JobFinished(int worker, size_t picture) {
    std::lock_guard<std::mutex> guard(FLock);
    FSlots[static_cast<size_t>(worker)].Busy = false;
    ++FDone;
    Clear();
    PrintEvent(FRun.Pictures[picture]);
}

std::string TProgress::Label(const TPictureJob& job) const {
    const std::string& album = FRun.Albums[job.Album].Album.Name;
    const std::string name = job.Path.empty() ? job.Url : job.Path.substr(job.Path.rfind('/') + 1);
    return Shown(album) + "/" + Shown(name);
}

void TProgress::PrintEvent(const TPictureJob& job) {
    switch (job.Outcome) {
    case TOutcome::Failed:
        std::fprintf(stderr, "quillora-get: album %s: picture %s: %s\n",
                     Shown(FRun.Albums[job.Album].Album.Name).c_str(), Shown(job.Url).c_str(),
                     Shown(job.Message).c_str());
        return;
    case TOutcome::Interrupted:
        if (FVerbosity > 1) std::fprintf(FOut, "stopped %s\n", Label(job).c_str());
        return;
    case TOutcome::Saved:
        if (FVerbosity > 0)
            std::fprintf(FOut, "saved   %s (%s%s)\n", Label(job).c_str(), HumanBytes(job.Bytes).c_str(),
                         job.Resumed ? ", resumed" : "");
        return;
    case TOutcome::Skipped:
        if (FVerbosity > 0) std::fprintf(FOut, "skipped %s (%s)\n", Label(job).c_str(), job.Message.c_str());
        return;
    case TOutcome::Pending:
        return;
    }
}

void TProgress::Note(const TPictureJob& job, const std::string& text) {
    if (FVerbosity < 2) return;
    std::lock_guard<std::mutex> guard(FLock);
    Clear();
    std::fprintf(FOut, "note    %s: %s\n", Label(job).c_str(), Shown(text).c_str());
}

void TProgress::AlbumFailed(const TAlbumJob& album) {
    std::lock_guard<std::mutex> guard(FLock);
    Clear();
    std::fprintf(stderr, "quillora-get: album %s: %s\n", Shown(album.Album.Name).c_str(),
                 Shown(album.Error).c_str());
}

void TProgress::PictureRefused(const TAlbumJob& album, const TPictureJob& job) {
    std::lock_guard<std::mutex> guard(FLock);
    Clear();
    std::fprintf(stderr, "quillora-get: album %s: picture %s: %s\n", Shown(album.Album.Name).c_str(),
                 Shown(job.Url).c_str(), Shown(job.Message).c_str());
}

void TProgress::Tick() {
    if (!FLive) return;
    std::lock_guard<std::mutex> guard(FLock);
    Clear();
    Draw();
    std::fflush(FOut);
}

void TProgress::End() {
    std::lock_guard<std::mutex> guard(FLock);
    Clear();
    if (FVerbosity > 0) std::fprintf(FOut, "%s\n", TotalLine().c_str());
    std::fflush(FOut);
}

void TProgress::Clear() {
    if (!FLive || FDrawn == 0) return;
    std::fprintf(FOut, "\x1b[%dA\r\x1b[J", FDrawn);
    FDrawn = 0;
}

namespace {

// At most width characters of a UTF-8 text, padded with blanks: printf's
// widths count bytes and would cut a character in two.
std::string Column(const std::string& text, size_t width) {
    std::string out;
    size_t chars = 0;
    for (size_t k = 0; k < text.size() && chars < width; ++chars) {
        size_t n = 1;
        while (k + n < text.size() && (static_cast<unsigned char>(text[k + n]) & 0xC0) == 0x80)
            ++n;
        out.append(text, k, n);
        k += n;
    }
    return out + std::string(width - chars, ' ');
}

} // namespace

void TProgress::Draw() {
    for (const TSlot& slot : FSlots) {
        if (!slot.Busy) continue;
        std::fprintf(FOut, "  %s %10s\n", Column(Label(FRun.Pictures[slot.Picture]), 60).c_str(),
                     HumanBytes(static_cast<double>(slot.Bytes)).c_str());
        ++FDrawn;
    }
    std::fprintf(FOut, "%s\n", TotalLine().c_str());
    ++FDrawn;
}

std::string TProgress::TotalLine() const {
    const double seconds =
        std::max(0.001, std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count());
    const double speed = static_cast<double>(FBytes) / seconds;
    std::string left = "--";
    if (FDone > 0 && FDone < FTotal) {
        const double rest = seconds / static_cast<double>(FDone) * static_cast<double>(FTotal - FDone);
        char text[32];
        std::snprintf(text, sizeof text, "%d:%02d", static_cast<int>(rest) / 60, static_cast<int>(rest) % 60);
        left = text;
    } else if (FDone == FTotal) {
        left = "0:00";
    }
    char line[256];
    std::snprintf(line, sizeof line, "%zu/%zu pictures, %s, %s/s, %.1f s, %s left", FDone, FTotal,
                  HumanBytes(static_cast<double>(FBytes)).c_str(), HumanBytes(speed).c_str(), seconds,
                  left.c_str());
    return line;
}
