#include "transfer/PictureFetcher.h"

#include "archive/Sha256.h"

#include "core/Classes.h"
#include "core/ConfinedFiles.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"
#include "core/TextUtils.h"
#include "http/BoundedFetch.h"
#include "http/ClientSettings.h"
#include "http/IdHTTP.h"
#include "http/IdHTTPDate.h"
#include "http/IdURI.h"
#include "net/IdCancelSignal.h"
#include "net/IdIOHandlerSocket.h"
#include "transfer/FailureText.h"
#include "transfer/PartFile.h"
#include "transfer/RatePacer.h"
#include "transfer/RetryPolicy.h"
#include "transfer/StallWatchdog.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <thread>

namespace {

// The validator (ETag or Last-Modified) of the reply a part file was
// started from, kept with the file itself so that nothing else is left beside
// the pictures. Where the file system keeps no attributes a resume goes
// without If-Range, and a changed picture is then only caught by its offset.
constexpr const char* ValidatorAttribute = "user.quillora.validator";
// How many bytes of the part were on the disk when it was last left (a
// failure, a stop, or every SyncEvery bytes on the way). A resume builds on
// these only: after a power loss, what lay beyond may be holes or garbage of
// the right length. A part that never was synced is started again; where
// the file system keeps no attributes, a part is trusted by its length.
constexpr const char* SyncedAttribute = "user.quillora.synced";
constexpr int64_t SyncEvery = int64_t{8} << 20;

// The part open to read its attributes: a plain file only (a FIFO would
// hold the open), never through a link.
int OpenPartAttributes(const std::string& part) {
    return OpenConfined(part, O_RDONLY | O_NONBLOCK | O_NOFOLLOW);
}

std::string StoredValidator(const std::string& part) {
    const int fd = OpenPartAttributes(part);
    if (fd < 0) return {};
    char buffer[512];
    const ssize_t n = ::fgetxattr(fd, ValidatorAttribute, buffer, sizeof buffer);
    ::close(fd);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

void StoreValidator(int handle, const std::string& validator) {
    if (validator.empty() || validator.size() > 500)
        ::fremovexattr(handle, ValidatorAttribute);
    else
        ::fsetxattr(handle, ValidatorAttribute, validator.data(), validator.size(), 0);
}

// The part's bytes that a resume may build on (see SyncedAttribute); 0: none.
// Whatever stands at the part's name that is no plain file of ours goes.
int64_t ResumableLength(const std::string& part) {
    struct stat st {};
    if (StatConfined(part, st, false) != 0) return 0;
    if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
        RemoveUnlockedFile(part);
        return 0;
    }
    char text[32];
    const int fd = OpenPartAttributes(part);
    if (fd < 0) return 0;
    const ssize_t n = ::fgetxattr(fd, SyncedAttribute, text, sizeof text - 1);
    const int error = errno;
    ::close(fd);
    errno = error;
    int64_t synced = 0;
    if (n > 0) {
        text[n] = '\0';
        synced = std::strtoll(text, nullptr, 10);
    } else if (n < 0 && errno == ENOTSUP) {
        synced = st.st_size;
    }
    synced = std::min<int64_t>(synced, st.st_size);
    return synced > 0 && synced < FileReplyLimit ? synced : 0;
}

std::string ValidatorOf(const TIdHTTPResponse& reply) {
    // A weak tag may not stand in If-Range: the byte ranges of two weakly equal bodies differ.
    const std::string tag = TextTrim(reply.HeaderLines.ValueOf("ETag"));
    if (!tag.empty() && tag.rfind("W/", 0) != 0) return tag;
    return TextTrim(reply.HeaderLines.ValueOf("Last-Modified"));
}

// The pool hands out the client as a fresh one's; only the range and the
// validator of this request are added.
void PrepareRequest(TIdHTTP& client, int64_t offset, const std::string& validator) {
    TIdHTTPRequest& request = client.Request();
    request.ContentRangeStart = offset;
    request.ContentRangeEnd = 0;
    if (!validator.empty()) request.CustomHeaders.Add("If-Range: " + validator);
}

// A recorded picture asked whether it changed. Only for a whole request: a
// part file holds bytes of a newer picture that the server already sent.
bool AddConditions(TIdHTTP& client, const TPictureJob& job, int64_t offset) {
    if (offset > 0) return false;
    // A validator that would split the header line is not sent.
    const auto usable = [](const std::string& v) {
        return !v.empty() && std::none_of(v.begin(), v.end(), [](char c) {
            return static_cast<unsigned char>(c) < 0x20 || c == 0x7f;
        });
    };
    bool any = false;
    if (usable(job.IfNoneMatch)) {
        client.Request().CustomHeaders.Add("If-None-Match: " + job.IfNoneMatch);
        any = true;
    }
    if (usable(job.IfModifiedSince)) {
        client.Request().CustomHeaders.Add("If-Modified-Since: " + job.IfModifiedSince);
        any = true;
    }
    return any;
}

int SocketOf(TIdHTTP& client) {
    const auto* io = dynamic_cast<TIdIOHandlerSocket*>(client.IOHandler());
    return io && io->Binding() ? io->Binding()->Handle() : -1;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

// The body of one GET on its way into the part file: counts what arrives,
// and cuts the transfer when the run is being stopped. The file is opened
// only when a 2xx reply comes, so that a refused picture leaves nothing.
class TPartStream : public TStream {
  public:
    // part: where the bytes go; picture: the file named in messages.
    TPartStream(const TFetchContext& context, TIdHTTP& client, std::string part, std::string picture)
        : FContext(context), FClient(client),
          FStall(context.Options.MinSpeed, context.Options.MinSpeedSeconds), FPart(std::move(part)),
          FPicture(std::move(picture)) {}

    // A part left by a failure is on the disk, and says so, before anyone may take it up.
    ~TPartStream() override {
        if (FFile) MarkSynced();
    }

    // keep: the part continues at offset (a longer one loses what lies past
    // it); otherwise the part starts empty. Locked while open, never opened
    // through a link or a name another program holds.
    void Open(bool keep, int64_t offset) {
        const int fd = OpenLockedForWriting(FPart, !keep);
        if (fd < 0) RaiseOpenFailure(errno, keep);
        FFile = std::make_unique<TFileStream>(fd);
        struct stat st {};
        if (keep && (::fstat(fd, &st) != 0 || st.st_size < offset))
            throw EGetRestart("the part file changed since it was looked at");
        if (!keep) ::fremovexattr(fd, SyncedAttribute);
        if (::ftruncate(fd, keep ? offset : 0) != 0)
            throw EGetDisk(Format("Cannot write \"%s\". %s", ExpandFileName(FPicture).c_str(),
                                  SystemErrorText(errno).c_str()));
        // The bytes of an earlier run are read once, to go into the hash
        // before those that continue them; every later byte is hashed as it is written.
        FHash.Reset();
        if (keep) HashFile();
        FFile->Seek(0, TSeekOrigin::soEnd);
        FStall.Attach(SocketOf(FClient)); // --min-speed
    }
    // The SHA-256 of what the part holds.
    std::string Digest() {
        if (FFile && static_cast<int64_t>(FHash.Bytes()) != FFile->Size()) {
            // Written out of order (never by the client as it is): the file decides.
            FHash.Reset();
            HashFile();
        }
        return FHash.HexDigest();
    }
    int Handle() const { return FFile->Handle(); }
    // The watchdog cut a transfer that trickled.
    const TStallWatch& Stall() const { return FStall; }
    void Restart() {
        ::fremovexattr(FFile->Handle(), SyncedAttribute);
        FFile->SetSize(0);
        FFile->SetPosition(0);
        FHash.Reset();
    }
    bool IsOpen() const { return FFile != nullptr; }
    // Gives the complete part the server's time before it takes its name, and
    // syncs it with the data (a bare fdatasync may leave the time behind), so
    // that a crash never leaves a whole picture with the download time. False
    // when the time could not be set.
    bool SetModified(int64_t unixSeconds) {
        const timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(unixSeconds), 0}};
        return ::futimens(FFile->Handle(), times) == 0 && ::fsync(FFile->Handle()) == 0;
    }
    // Gives the complete part the picture's name, still under its lock. A
    // part that cannot take its name is of no use to any later run.
    void Commit(const std::string& path) {
        ::fremovexattr(FFile->Handle(), ValidatorAttribute);
        ::fremovexattr(FFile->Handle(), SyncedAttribute);
        try {
            CommitFileAs(FFile->Handle(), FPart, path);
        } catch (const EFCreateError&) {
            UnlinkConfined(FPart);
            FFile.reset();
            throw;
        }
        FFile.reset();
    }

    int64_t Read(void* buffer, int64_t count) override { return FFile ? FFile->Read(buffer, count) : 0; }
    int64_t Write(const void* buffer, int64_t count) override {
        if (FContext.Stop.load()) throw EGetInterrupted("Interrupted");
        if (!FFile) throw EGetRefused("A body came before its reply was accepted");
        errno = 0;
        const int64_t at = FFile->Seek(0, TSeekOrigin::soCurrent);
        const int64_t n = FFile->Write(buffer, count);
        if (n != count)
            throw EGetDisk(Format("Cannot write \"%s\". %s", ExpandFileName(FPicture).c_str(),
                                  SystemErrorText(errno != 0 ? errno : ENOSPC).c_str()));
        if (at == static_cast<int64_t>(FHash.Bytes())) FHash.Update(buffer, static_cast<size_t>(n));
        if (FContext.OnBytes) FContext.OnBytes(n);
        if ((FUnsynced += n) >= SyncEvery) MarkSynced();
        FStall.Received(n); // --min-speed
        Pace(n);            // --limit-rate
        return n;
    }
    int64_t Seek(int64_t offset, TSeekOrigin origin) override {
        return FFile ? FFile->Seek(offset, origin) : 0;
    }
    // The connection grows a stream ahead of a body of known length; on disk
    // that would leave zeros that a resume takes for received bytes if the
    // process dies mid-body. Only shrinking is passed on.
    void SetSize(int64_t newSize) override {
        if (FFile && newSize < FFile->Size()) FFile->SetSize(newSize);
    }
    int64_t Size() override { return FFile ? FFile->Size() : 0; }

  private:
    // Waits for the bytes' share of the rate limit. The stall watch's clock
    // stands still meanwhile: the server is not slow while we hold it back.
    void Pace(int64_t bytes) {
        const auto until = SharedRatePacer().Book(bytes, TRatePacer::TClock::now());
        if (until <= TRatePacer::TClock::now()) return;
        FStall.Hold(true);
        SleepUntil(until, FContext.Stop);
        FStall.Hold(false);
    }
    void HashFile() {
        FFile->Seek(0, TSeekOrigin::soBeginning);
        std::vector<char> buffer(1 << 16);
        for (int64_t n; (n = FFile->Read(buffer.data(), static_cast<int64_t>(buffer.size()))) > 0;)
            FHash.Update(buffer.data(), static_cast<size_t>(n));
        FFile->Seek(0, TSeekOrigin::soEnd);
    }
    [[noreturn]] void RaiseOpenFailure(int error, bool keep) const {
        if (error == EWOULDBLOCK)
            throw EGetBusy(Format("Its temporary file \"%s\" is being written by another program",
                                  ExpandFileName(FPart).c_str()));
        if (keep && (error == ENOENT || error == EEXIST))
            throw EGetRestart("the part file changed since it was looked at");
        RaiseCreateError(FPart, error);
    }
    // Records how much of the part is on the disk; a failure to sync leaves
    // the last record, which a resume then keeps to.
    void MarkSynced() noexcept {
        FUnsynced = 0;
        const int fd = FFile->Handle();
        struct stat st {};
        if (::fdatasync(fd) != 0 || ::fstat(fd, &st) != 0) return;
        const std::string length = std::to_string(static_cast<long long>(st.st_size));
        ::fsetxattr(fd, SyncedAttribute, length.data(), length.size(), 0);
    }

    const TFetchContext& FContext;
    TIdHTTP& FClient;
    TStallWatch FStall;
    std::string FPart;
    std::string FPicture;
    std::unique_ptr<TFileStream> FFile;
    int64_t FUnsynced = 0;
    TSha256 FHash;
};

int64_t FileSizeOf(const std::string& path) {
    struct stat st {};
    if (StatConfined(path, st, true) != 0 || !S_ISREG(st.st_mode)) return -1;
    return st.st_size;
}

TPictureFetcher::TPictureFetcher(TFetchContext context)
    : FContext(std::move(context)), FPool(FContext.Cancel, KeptConnectionsPerWorker),
      FRandom(std::random_device{}()) {}

TPictureFetcher::~TPictureFetcher() = default;

TIdHTTP& TPictureFetcher::ClientFor(const std::string& url) {
    TIdHTTP& client = FPool.ClientFor(url);
    client.Intercept = &FWatch;
    // With --min-speed the body comes in pieces small enough to show progress.
    if (FContext.Options.MinSpeed > 0)
        client.RecvBufferSize = PieceSizeFor(FContext.Options.MinSpeed, FContext.Options.MinSpeedSeconds);
    return client;
}

void TPictureFetcher::Fetch(TPictureJob& job) {
    const auto start = std::chrono::steady_clock::now();
    // A recorded picture is asked for because its record says so: a file of
    // the server's size may still be the wrong bytes.
    if (job.Recorded || !SkipExisting(job)) {
        const std::optional<TFailureClass> failed = FetchWithRetries(job);
        if (failed) DiscardUselessPart(job, failed->KeepPart);
    }
    job.Seconds = SecondsSince(start);
}

bool TPictureFetcher::SkipExisting(TPictureJob& job) {
    const int64_t size = FileSizeOf(job.Path);
    if (size < 0) return false;
    const std::optional<int64_t> serverSize = ServerSize(job.Url);
    if (!serverSize || *serverSize != size) return false;
    job.Outcome = TOutcome::Skipped;
    job.Message = "already there with the server's size";
    job.Bytes = size;
    Record(job);
    return true;
}

std::optional<int64_t> TPictureFetcher::ServerSize(const std::string& url) {
    // A second try only when a kept connection turned out to be closed.
    for (int tries = 0; tries < 2; ++tries) {
        TIdHTTP& client = ClientFor(url);
        const TWireWatch::TMark mark = FWatch.Mark();
        try {
            PrepareRequest(client, 0, "");
            client.RunRequest(hmHead, url, nullptr, nullptr);
            if (client.ResponseCode() == 200 && client.Response().LengthKnown())
                return client.Response().ContentLength();
            return std::nullopt;
        } catch (const EIdHTTPProtocolException&) {
            return std::nullopt; // asked again by the GET, which reports the failure properly
        } catch (const Exception& e) {
            const bool stale = FWatch.ClosedBeforeReply(mark, e);
            FPool.Drop(url);
            if (!stale || FContext.Stop.load()) return std::nullopt;
        }
    }
    return std::nullopt;
}

std::optional<TFailureClass> TPictureFetcher::FetchWithRetries(TPictureJob& job) {
    for (int attempt = 1;; ++attempt) {
        if (FContext.Stop.load()) {
            job.Outcome = TOutcome::Interrupted;
            job.Message = "not finished: the run was stopped";
            return std::nullopt;
        }
        job.Attempts = attempt;
        const std::optional<TGetFailure> failure = Attempt(job);
        if (!failure) return std::nullopt;
        // Whatever broke while the run was being stopped was broken by the stop.
        if (FContext.Stop.load()) continue;
        const TFailureClass kind = ClassifyFailure(*failure, NowLocal());
        job.Message = kind.Message;
        if (!RetryAgain(kind, attempt, FContext.Options)) {
            job.Outcome = TOutcome::Failed;
            return kind;
        }
        const int wait = WaitAfter(kind, attempt);
        if (FContext.OnNote)
            FContext.OnNote(job, Format("attempt %d failed (%s); next in %.1f s", attempt,
                                        job.Message.c_str(), wait / 1000.0));
        WaitTakingAhead(wait); // a stop is reported by the loop's first check
    }
}

std::optional<TGetFailure> TPictureFetcher::Attempt(TPictureJob& job) try {
    const std::string& part = job.PartPath;
    std::optional<TGetFailure> failure = GetOnce(job, part, ResumableLength(part));
    if (const auto restart = failure ? FailedWith<EGetRestart>(*failure) : std::nullopt) {
        if (FContext.OnNote)
            FContext.OnNote(job, restart->Message() + "; starting again from the first byte");
        job.Resumed = false;
        if (!RemoveUnlockedFile(part)) return failure;
        failure = GetOnce(job, part, 0);
    }
    if (failure && FailedWith<EGetUnchanged>(*failure)) {
        job.Outcome = TOutcome::Skipped;
        job.Unchanged = true;
        job.Message = "unchanged on the server";
        job.Bytes = std::max<int64_t>(0, FileSizeOf(job.Path));
        return std::nullopt;
    }
    if (!failure) Finish(job);
    return failure;
} catch (...) {
    return TGetFailure{std::current_exception()};
}

// A kept connection may have been closed by the server while it lay idle,
// just as the request went out. That is no failure of the picture: it is
// asked once more on a new connection, without spending a retry. A client
// whose exchange broke off is closed and forgotten.
std::optional<TGetFailure> TPictureFetcher::GetOnce(TPictureJob& job, const std::string& part,
                                                    int64_t offset) {
    std::optional<TGetFailure> failure = RunGet(job, part, offset);
    if (failure && failure->Stale && !FContext.Stop.load()) {
        FPool.Drop(job.Url);
        if (FContext.OnNote) FContext.OnNote(job, "the kept connection had been closed; asking on a new one");
        failure = RunGet(job, part, offset);
    }
    if (failure && failure->Broken) FPool.Drop(job.Url);
    return failure;
}

namespace {

// Some refusals of a conditional or a ranged request say what became of the picture.
TGetFailure MeaningOf(TGetFailure failure, bool conditional, int64_t offset) {
    const auto refused = FailedWith<EIdHTTPProtocolException>(failure);
    if (!refused) return failure;
    if (refused->ReplyCode == 304 && conditional)
        failure.Error = std::make_exception_ptr(EGetUnchanged("unchanged on the server"));
    else if (refused->ReplyCode == 416 && offset > 0)
        failure.Error = std::make_exception_ptr(EGetRestart("the server has no bytes past the part file"));
    else if (refused->ReplyCode == 206 && offset > 0)
        failure.Error = std::make_exception_ptr(EGetRestart("the server's range is not the one asked for"));
    return failure;
}

TGetFailure TooSlow(const TStallWatch& stall) {
    return {std::make_exception_ptr(EGetTooSlow(stall.TooSlowMessage())), true};
}

// The client raises on a body cut short of its framing; this is the last
// word on the length, whatever the framing was.
std::optional<TGetFailure> CheckWhole(TPartStream& body, int64_t expected) {
    if (!body.IsOpen())
        return TGetFailure{std::make_exception_ptr(EGetRefused("The server sent no picture"))};
    if (expected >= 0 && body.Size() != expected)
        return TGetFailure{std::make_exception_ptr(EIdException(Format(
                               "The connection ended after %lld of %lld bytes",
                               static_cast<long long>(body.Size()), static_cast<long long>(expected)))),
                           true};
    return std::nullopt;
}

} // namespace

std::optional<TGetFailure> TPictureFetcher::RunGet(TPictureJob& job, const std::string& part,
                                                   int64_t offset) try {
    TIdHTTP& client = ClientFor(job.Url);
    const std::string validator = offset > 0 ? StoredValidator(part) : std::string();
    PrepareRequest(client, offset, validator);
    const bool conditional = AddConditions(client, job, offset);
    SendAhead(client, job, offset, conditional);
    TPartStream body(FContext, client, part, job.Path);
    TBoundedStream bounded(body, FileReplyLimit, job.Url);
    int64_t expected = -1; // the file's size once the body is complete; -1: the framing says
    const TReplyLengthHook hook(client, bounded, [&](TIdHTTPResponse& reply) {
        return expected = AcceptReply(reply, job, offset, validator, body);
    });
    if (const auto failure = Transfer(client, job.Url, bounded, body.Stall()))
        return MeaningOf(*failure, conditional, offset);
    if (auto failure = CheckWhole(body, expected)) return failure;
    const TIdHTTPRoute route = client.Request().Route;
    job.OverTls = route == RouteTls || route == RouteTlsProxy;
    job.Sha256 = body.Digest();
    if (FContext.Options.RemoteTime) KeepServerTime(job, body);
    body.Commit(job.Path);
    return std::nullopt;
} catch (...) {
    return TGetFailure{std::current_exception()};
}

// The GET itself, and how its exchange ended when it failed.
std::optional<TGetFailure> TPictureFetcher::Transfer(TIdHTTP& client, const std::string& url, TStream& body,
                                                     const TStallWatch& stall) {
    const TWireWatch::TMark mark = FWatch.Mark();
    try {
        client.FetchToStream(url, body);
    } catch (const EIdHTTPProtocolException&) {
        return TGetFailure{std::current_exception(), false, false,
                           client.Response().HeaderLines.ValueOf("Retry-After")};
    } catch (const Exception& e) {
        if (stall.TooSlow()) return TooSlow(stall);
        return TGetFailure{std::current_exception(), true, FWatch.ClosedBeforeReply(mark, e)};
    }
    if (stall.TooSlow()) return TooSlow(stall);
    return std::nullopt;
}

namespace {

// A 206 continues the part only when it is exactly the rest of the picture:
// from where the part ends to the picture's last byte, of the picture the
// part was started from.
void CheckRange(const TIdHTTPResponse& reply, int64_t offset, const std::string& validator,
                const std::string& current) {
    if (offset == 0)
        throw EGetRefused("The server sent part of the picture although the whole was asked for");
    if (reply.ContentRangeStart != offset) throw EGetRestart("the server sent another range than asked for");
    if (!validator.empty() && !current.empty() && current != validator)
        throw EGetRestart("the picture changed on the server");
    const int64_t total = reply.ContentRangeInstanceLength;
    if (total < 0) throw EGetRestart("the server's range does not say how long the picture is");
    if (reply.ContentRangeEnd != total - 1)
        throw EGetRestart("the server's range stops short of the end of the picture");
    if (reply.AnnouncedLength() >= 0 && reply.AnnouncedLength() != total - offset)
        throw EGetRestart("the server's range and length disagree");
}

} // namespace

int64_t TPictureFetcher::AcceptReply(TIdHTTPResponse& reply, TPictureJob& job, int64_t offset,
                                     const std::string& validator, TPartStream& body) {
    const int code = reply.StatusCode();
    if (code != 200 && code != 206)
        throw EGetRefused(
            Format("The server answered \"%s\" instead of the picture", reply.StatusLine.c_str()));
    // A framing the client refuses is reported by the client.
    if (reply.Framing == TBodyFraming::Refused) return -1;
    // A body that simply runs to the close cannot be told from one cut short.
    if (code == 200 && reply.Framing == TBodyFraming::UntilClose)
        throw EGetRefused("The server sent the picture without its length: it cannot be told complete");
    const std::string current = ValidatorOf(reply);
    const bool ranged = code == 206;
    if (ranged) {
        CheckRange(reply, offset, validator, current);
        job.Resumed = true;
    }
    body.Open(ranged, offset);
    if (offset > 0 && !ranged) {
        // The whole picture again: what the part holds is replaced.
        body.Restart();
        job.Resumed = false;
        if (FContext.OnNote) FContext.OnNote(job, "the server sent the whole picture; starting again");
    }
    StoreValidator(body.Handle(), current);
    job.ETag = TextTrim(reply.HeaderLines.ValueOf("ETag"));
    job.LastModified = TextTrim(reply.HeaderLines.ValueOf("Last-Modified"));
    if (ranged) return reply.ContentRangeInstanceLength;
    return reply.AnnouncedLength();
}

// A reply without a readable Last-Modified leaves the file its download time.
void TPictureFetcher::KeepServerTime(const TPictureJob& job, TPartStream& body) {
    if (job.LastModified.empty()) return;
    const std::optional<int64_t> time = InternetDateToUnixTime(job.LastModified);
    if (time && body.SetModified(*time)) return;
    if (FContext.OnNote)
        FContext.OnNote(job, Format(time ? "the server's time %s could not be set; the file keeps its own"
                                         : "Last-Modified \"%s\" is no date; the file keeps its own time",
                                    job.LastModified.c_str()));
}

// The picture took its name once its bytes were on the disk (the part's
// Commit); the archive names it only now.
void TPictureFetcher::Finish(TPictureJob& job) {
    job.Outcome = TOutcome::Saved;
    job.Message.clear();
    job.Bytes = FileSizeOf(job.Path);
    Record(job);
}

// The archive's failures are the run's: a picture on the disk under its
// name is saved whatever became of its record.
void TPictureFetcher::Record(const TPictureJob& job) {
    if (!FContext.Archive) return;
    try {
        FContext.Archive->Record(job);
    } catch (...) {
        RecordFailed(std::current_exception());
    }
}

void TPictureFetcher::RecordFailed(const std::exception_ptr& failure) {
    std::string message = "The archive failed";
    try {
        std::rethrow_exception(failure);
    } catch (const Exception& e) {
        message = OneLineMessage(e);
    } catch (const std::exception& e) {
        message = e.what();
    }
    if (FContext.OnRecordFailed) FContext.OnRecordFailed(message);
}

// A failed picture keeps its part only when a later run can continue it;
// one another program is writing is not ours to remove.
void TPictureFetcher::DiscardUselessPart(const TPictureJob& job, bool keepPart) {
    if (job.PartPath.empty()) return;
    if (keepPart && ResumableLength(job.PartPath) > 0) return;
    RemoveUnlockedFile(job.PartPath);
}

bool TPictureFetcher::Wait(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (FContext.Stop.load()) return false;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
            std::chrono::milliseconds(50), end - std::chrono::steady_clock::now()));
    }
    return !FContext.Stop.load();
}

int TPictureFetcher::WaitAfter(const TFailureClass& failure, int attempt) {
    return RetryWaitMs(failure, attempt, FContext.Options, FRandom);
}
