#include "Progress.h"

#include "../common/NetworkError.h"
#include "Shown.h"
#include "TermText.h"
#include "core/Gbk.h"
#include "http/ClientSettings.h"
#include "http/IdURI.h"

#include <algorithm>
#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

const char* const Green = "32";
const char* const Yellow = "33";
const char* const Dim = "2";
const char* const Bold = "1";

// The live lines never use a terminal's last column: a character there
// leaves the cursor waiting to wrap, which terminals handle differently.
int UsableColumns(std::FILE* out) {
    const int columns = TerminalSize(out).Columns;
    return (columns > 0 ? columns : 80) - 1;
}

// A socket error names the picture's host and the proxy the request went
// through, the client's frame in brackets; other texts stay as they are.
std::string FailureShown(const TPictureJob& job) {
    if (job.Message.rfind("Socket Error # ", 0) != 0) return job.Message;
    std::string proxy;
    try {
        if (const std::optional<TProxySetting> setting = ProxyFromEnvironment(job.Url))
            proxy = setting->Host + ":" + std::to_string(setting->Port);
    } catch (const Exception&) {
        // A proxy setting that cannot be read: the host is named alone.
    }
    return NetworkErrorText(job.Message, TIdURI(job.Url).HostName, proxy);
}

} // namespace

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

TDisplayMode DisplayModeFor(std::FILE* out) {
    TDisplayMode mode;
    const char* term = std::getenv("TERM");
    const bool terminal = ::isatty(::fileno(out)) != 0;
    mode.Live = terminal && !(term && std::strcmp(term, "dumb") == 0);
    const char* noColour = std::getenv("NO_COLOR");
    mode.Colour = mode.Live && !(noColour && *noColour);
    return mode;
}

TProgress::TProgress(std::FILE* out, TDisplayMode mode, int verbosity, const TRunResult& run)
    : FOut(out), FMode(mode), FVerbosity(verbosity), FRun(run), FStart(std::chrono::steady_clock::now()) {
    FMode.Live = FMode.Live && verbosity > 0;
}

void TProgress::Begin(int workers) {
    std::lock_guard<std::mutex> guard(FLock);
    FSlots.assign(static_cast<size_t>(workers), TSlot{});
    FTotal = FRun.Pictures.size();
    FDone = FFailed = 0;
    for (const TPictureJob& job : FRun.Pictures) {
        if (job.Outcome != TOutcome::Pending && job.Outcome != TOutcome::Interrupted) ++FDone;
        if (job.Outcome == TOutcome::Failed) ++FFailed;
    }
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
    const TOutcome outcome = FRun.Pictures[picture].Outcome;
    // A picture cut by the stop is not done: the next run finishes it.
    if (outcome != TOutcome::Interrupted && outcome != TOutcome::Pending) ++FDone;
    if (outcome == TOutcome::Failed) ++FFailed;
    Clear();
    PrintEvent(FRun.Pictures[picture]);
}

std::string TProgress::Label(const TPictureJob& job, size_t width) const {
    const std::string album = Shown(FRun.Albums[job.Album].Album.Name);
    const std::string name = Shown(job.Path.empty() ? job.Url : job.Path.substr(job.Path.rfind('/') + 1));
    if (TextColumns(album) + 1 + TextColumns(name) <= width) return album + "/" + name;
    // Too wide: the picture's name keeps up to most of the room, the album's gives way first.
    const std::string shortName = FitMiddle(name, std::min(TextColumns(name), width * 3 / 5));
    const size_t albumRoom = width - std::min(width, TextColumns(shortName) + 1);
    return albumRoom >= 2 ? FitMiddle(album, albumRoom) + "/" + shortName : FitMiddle(name, width);
}

std::string TProgress::Where(const TAlbumJob& album) const {
    // The account even when it is the run's only one: a scheduled backup's
    // journal, or a line pasted elsewhere, has no command line beside it.
    const std::string& account = album.Account.empty() ? FPlanningAccount : album.Account;
    const std::string where = "album " + Shown(album.Album.Name);
    return account.empty() ? where : "account " + Shown(account) + ": " + where;
}

std::string TProgress::Paint(const std::string& text, const char* colour) const {
    if (!FMode.Colour || !colour) return text;
    return "\x1b[" + std::string(colour) + "m" + text + "\x1b[0m";
}

// A line of its own above the live lines, about a picture; on a terminal,
// its label gives way so that the line fits the width.
void TProgress::PrintLine(const std::string& head, const TPictureJob& job, const std::string& tail,
                          const char* colour) {
    std::string line;
    if (FMode.Live) {
        const size_t usable = static_cast<size_t>(UsableColumns(FOut));
        const size_t fixed = TextColumns(head) + TextColumns(tail);
        line = usable >= fixed + 8 ? head + Label(job, usable - fixed) + tail
                                   : FitMiddle(head + Label(job) + tail, usable);
    } else {
        line = head + Label(job) + tail;
    }
    std::fprintf(FOut, "%s\n", Paint(line, colour).c_str());
}

void TProgress::PrintEvent(const TPictureJob& job) {
    switch (job.Outcome) {
    case TOutcome::Failed:
        std::fprintf(stderr, "quillora-get: %s: picture %s: %s\n", Where(FRun.Albums[job.Album]).c_str(),
                     Shown(job.Url).c_str(), Shown(FailureShown(job)).c_str());
        return;
    case TOutcome::Interrupted:
        if (FVerbosity > 1) PrintLine("stopped ", job, "", Yellow);
        return;
    case TOutcome::Saved:
        if (FVerbosity > 0)
            PrintLine("saved   ", job,
                      " (" + HumanBytes(static_cast<double>(job.Bytes)) + (job.Resumed ? ", resumed" : "") +
                          ")",
                      Green);
        return;
    case TOutcome::Skipped:
        // One line a picture only with -v: a re-run skips them all; the closing line counts them.
        if (FVerbosity > 1) PrintLine("skipped ", job, " (" + job.Message + ")", Dim);
        return;
    case TOutcome::Pending:
        return;
    }
}

void TProgress::Note(const TPictureJob& job, const std::string& text) {
    if (FVerbosity < 2) return;
    std::lock_guard<std::mutex> guard(FLock);
    Clear();
    PrintLine("note    ", job, ": " + Shown(text));
}

// Said once: every later picture would fail to be recorded the same way.
void TProgress::RecordFailed(const std::string& message) {
    std::lock_guard<std::mutex> guard(FLock);
    if (!FRecordError.empty()) return;
    FRecordError = message.empty() ? "The archive failed" : message;
    Clear();
    std::fprintf(stderr, "quillora-get: %s\n", Shown(FRecordError).c_str());
}

std::string TProgress::RecordError() {
    std::lock_guard<std::mutex> guard(FLock);
    return FRecordError;
}

void TProgress::AlbumFailed(const TAlbumJob& album) {
    std::lock_guard<std::mutex> guard(FLock);
    Clear();
    std::fprintf(stderr, "quillora-get: %s: %s\n", Where(album).c_str(), Shown(album.Error).c_str());
}

void TProgress::PictureRefused(const TAlbumJob& album, const TPictureJob& job) {
    std::lock_guard<std::mutex> guard(FLock);
    Clear();
    std::fprintf(stderr, "quillora-get: %s: picture %s: %s\n", Where(album).c_str(), Shown(job.Url).c_str(),
                 Shown(job.Message).c_str());
}

void TProgress::Tick() {
    if (!FMode.Live) return;
    std::lock_guard<std::mutex> guard(FLock);
    Clear();
    Draw();
    std::fflush(FOut);
}

void TProgress::End() {
    std::lock_guard<std::mutex> guard(FLock);
    Clear();
    bool stopped = FRun.Interrupted;
    for (const TPictureJob& job : FRun.Pictures)
        if (job.Outcome == TOutcome::Pending || job.Outcome == TOutcome::Interrupted) stopped = true;
    if (stopped) {
        // Said even with -q: the run did not do what was asked.
        std::FILE* to = FVerbosity > 0 ? FOut : stderr;
        std::fprintf(to, "%s\n", Paint(StoppedLine(), FVerbosity > 0 ? Yellow : nullptr).c_str());
    } else if (FVerbosity > 0) {
        const size_t width = FMode.Live ? static_cast<size_t>(UsableColumns(FOut)) : SIZE_MAX;
        std::fprintf(FOut, "%s\n", Paint(ClosingLine(width), Bold).c_str());
    }
    std::fflush(FOut);
}

// Moves back over the live lines and erases them. A terminal made narrower
// since they were drawn has wrapped each onto as many rows as it now needs,
// as most do (tmux, VTE, Konsole, kitty); one that cuts lines instead (xterm)
// loses a few lines above from its screen, but never gets stale ones.
void TProgress::Clear() {
    if (!FMode.Live || FDrawn.empty()) return;
    const size_t width = static_cast<size_t>(UsableColumns(FOut) + 1);
    size_t rows = 0;
    for (const size_t columns : FDrawn)
        rows +=
            width < static_cast<size_t>(FDrawnWidth) ? std::max<size_t>(1, (columns + width - 1) / width) : 1;
    std::fprintf(FOut, "\x1b[%zuA\r\x1b[J", rows);
    // Out now: a line on standard error (unbuffered) that follows must land
    // where the live lines were, not be erased by a clear still buffered.
    std::fflush(FOut);
    FDrawn.clear();
}

// The terminal's size is asked at every redraw (five a second), so a resize
// is followed at once without a SIGWINCH handler: one would interrupt the
// workers' waits for their servers (poll and select fail with EINTR whatever
// SA_RESTART says).
void TProgress::Draw() {
    const TTermSize size = TerminalSize(FOut);
    const size_t usable = static_cast<size_t>(UsableColumns(FOut));
    // No more lines than the screen holds: the cursor cannot go back above its top.
    const size_t maxJobs = size.Rows > 3 ? static_cast<size_t>(size.Rows - 2) : 1;
    const size_t bytesWidth = 10;
    const bool withBytes = usable >= 2 + 8 + 1 + bytesWidth;
    const size_t labelWidth = usable - 2 - (withBytes ? 1 + bytesWidth : 0);
    size_t busy = 0;
    for (const TSlot& slot : FSlots) {
        if (!slot.Busy) continue;
        if (++busy > maxJobs) continue;
        std::string line =
            "  " + PadTo(FitMiddle(Label(FRun.Pictures[slot.Picture]), labelWidth), labelWidth);
        std::string bytes;
        if (withBytes) {
            const std::string size = HumanBytes(static_cast<double>(slot.Bytes));
            bytes.assign(1 + bytesWidth - std::min(bytesWidth, size.size()), ' ');
            bytes += size;
        }
        std::fprintf(FOut, "%s%s\n", line.c_str(), Paint(bytes, Dim).c_str());
        FDrawn.push_back(TextColumns(line) + bytes.size());
    }
    if (busy > maxJobs) {
        const std::string more = FitEnd("  and " + std::to_string(busy - maxJobs) + " more", usable);
        std::fprintf(FOut, "%s\n", more.c_str());
        FDrawn.push_back(TextColumns(more));
    }
    const std::string total = TotalLine(usable);
    std::fprintf(FOut, "%s\n", Paint(total, Bold).c_str());
    FDrawn.push_back(TextColumns(total));
    FDrawnWidth = static_cast<int>(usable) + 1;
}

// Shorter forms for narrower terminals; the last resort is cut.
std::string TProgress::TotalLine(size_t width) const {
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
    const std::string bytes = HumanBytes(static_cast<double>(FBytes)), rate = HumanBytes(speed);
    // Done is not saved: the failures so far are said beside it.
    const std::string failed = FFailed ? ", " + std::to_string(FFailed) + " failed" : "";
    char forms[3][256];
    std::snprintf(forms[0], sizeof forms[0], "%zu/%zu pictures%s, %s, %s/s, %.1f s, %s left", FDone, FTotal,
                  failed.c_str(), bytes.c_str(), rate.c_str(), seconds, left.c_str());
    std::snprintf(forms[1], sizeof forms[1], "%zu/%zu pictures%s, %s, %s/s, %s left", FDone, FTotal,
                  failed.c_str(), bytes.c_str(), rate.c_str(), left.c_str());
    std::snprintf(forms[2], sizeof forms[2], "%zu/%zu %s %s/s %s", FDone, FTotal, bytes.c_str(), rate.c_str(),
                  left.c_str());
    for (const char* form : forms)
        if (TextColumns(form) <= width) return form;
    return FitEnd(forms[2], width);
}

std::string PictureCounts(const TRunResult& run) {
    size_t saved = 0, skipped = 0, failed = 0, updated = 0, unchanged = 0;
    for (const TPictureJob& job : run.Pictures) {
        if (job.Outcome == TOutcome::Saved)
            ++saved;
        else if (job.Outcome == TOutcome::Skipped)
            ++skipped;
        else if (job.Outcome == TOutcome::Failed)
            ++failed;
        if (job.Outcome == TOutcome::Saved && job.Recorded) ++updated;
        if (job.Unchanged) ++unchanged;
    }
    std::string line =
        std::to_string(saved) + " of " + std::to_string(run.Pictures.size()) + " pictures saved";
    if (skipped) line += ", " + std::to_string(skipped) + " skipped";
    if (failed) line += ", " + std::to_string(failed) + " failed";
    // What --refresh found, as the report counts it: saved again, and asked but the same.
    if (updated || unchanged)
        line += " (" + std::to_string(updated) + " updated, " + std::to_string(unchanged) + " unchanged)";
    return line;
}

namespace {

// Accounts that could not be looked up (lookedUp false), or that were but
// lack an album asked for (true).
size_t Failed(const std::vector<TAccountJob>& accounts, bool lookedUp = false) {
    return static_cast<size_t>(
        std::count_if(accounts.begin(), accounts.end(), [lookedUp](const TAccountJob& a) {
            return !a.Error.empty() && a.LookedUp == lookedUp;
        }));
}

size_t Failed(const std::vector<TAlbumJob>& albums) {
    return static_cast<size_t>(
        std::count_if(albums.begin(), albums.end(), [](const TAlbumJob& a) { return !a.Error.empty(); }));
}

std::string Plural(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

} // namespace

// No picture count when no account could be looked up: there was nothing to count.
std::string TProgress::ClosingLine(size_t width) const {
    const size_t accounts = FRun.Accounts.size(), lost = Failed(FRun.Accounts);
    if (accounts > 0 && lost == accounts)
        return FitEnd(accounts == 1 ? "The account could not be looked up; nothing was saved."
                                    : "No account could be looked up; nothing was saved.",
                      width);
    std::string counts = PictureCounts(FRun);
    if (const size_t albums = Failed(FRun.Albums))
        counts += ", " + Plural(albums, "album", "albums") + " failed";
    if (lost) counts += ", " + Plural(lost, "account", "accounts") + " not looked up";
    if (const size_t without = Failed(FRun.Accounts, true))
        counts += ", " + Plural(without, "account", "accounts") + " without the album asked for";
    const double seconds =
        std::max(0.001, std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count());
    const std::string bytes = HumanBytes(static_cast<double>(FBytes));
    const std::string rate = HumanBytes(static_cast<double>(FBytes) / seconds);
    char time[32];
    std::snprintf(time, sizeof time, "%.1f s", seconds);
    const std::string forms[] = {counts + "; " + bytes + ", " + rate + "/s, " + time, counts + "; " + bytes,
                                 counts};
    for (const std::string& form : forms)
        if (TextColumns(form) <= width) return form;
    return FitEnd(counts, width);
}

std::string TProgress::StoppedLine() const {
    size_t done = 0;
    for (const TPictureJob& job : FRun.Pictures)
        if (job.Outcome == TOutcome::Saved || job.Outcome == TOutcome::Skipped ||
            job.Outcome == TOutcome::Failed)
            ++done;
    return "Stopped: " + PictureCounts(FRun) + ", " + std::to_string(FRun.Pictures.size() - done) +
           " not done. Run the same command again to continue.";
}
