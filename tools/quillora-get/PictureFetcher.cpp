#include "PictureFetcher.h"

#include "RateLimit.h"
#include "RetryPolicy.h"
#include "core/Classes.h"
#include "core/FileUtils.h"
#include "core/Gbk.h"
#include "core/TextUtils.h"
#include "http/BoundedFetch.h"
#include "http/ClientSettings.h"
#include "http/IdHTTP.h"
#include "http/IdURI.h"
#include "net/IdIOHandlerSocket.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <thread>

namespace {

// The validator (ETag or Last-Modified) of the reply a ".part" file was
// started from, kept with the file itself so that nothing else is left beside
// the pictures. Where the file system keeps no attributes a resume goes
// without If-Range, and a changed picture is then only caught by its offset.
constexpr const char* ValidatorAttribute = "user.quillora.validator";

// The ".part" file cannot be continued: start it again from its first byte.
QUILLORA_EXCEPTION(EGetRestart, Exception);

std::string StoredValidator(const std::string& part) {
    char buffer[512];
    const ssize_t n = ::getxattr(GbkToFileName(part).c_str(), ValidatorAttribute, buffer, sizeof buffer);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

void StoreValidator(const std::string& part, const std::string& validator) {
    const std::string native = GbkToFileName(part);
    if (validator.empty() || validator.size() > 500)
        ::removexattr(native.c_str(), ValidatorAttribute);
    else
        ::setxattr(native.c_str(), ValidatorAttribute, validator.data(), validator.size(), 0);
}

std::string ValidatorOf(const TIdHTTPResponse& reply) {
    // A weak tag may not stand in If-Range: the byte ranges of two weakly equal bodies differ.
    const std::string tag = TextTrim(reply.HeaderLines.ValueOf("ETag"));
    if (!tag.empty() && tag.rfind("W/", 0) != 0) return tag;
    return TextTrim(reply.HeaderLines.ValueOf("Last-Modified"));
}

std::string HostKey(const std::string& url) {
    const TIdURI uri(url);
    return uri.HostName + ":" + uri.PortText;
}

// Clears the client's reply hook when the fetch is over, however it ends:
// the hook refers to this fetch's locals.
struct THookGuard {
    TIdHTTP& Client;
    ~THookGuard() { Client.OnReplyHeaders = nullptr; }
};

void PrepareRequest(TIdHTTP& client, int64_t offset, const std::string& validator) {
    TIdHTTPRequest& request = client.Request();
    request.CustomHeaders.Clear();
    request.ContentRangeStart = static_cast<int32_t>(offset);
    request.ContentRangeEnd = 0;
    if (!validator.empty()) request.CustomHeaders.Add("If-Range: " + validator);
}

int SocketOf(TIdHTTP& client) {
    const auto* io = dynamic_cast<TIdIOHandlerSocket*>(client.IOHandler());
    return io && io->Binding() ? io->Binding()->Handle() : -1;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

// The body of one GET on its way into the ".part" file: counts what arrives,
// and cuts the transfer when the run is being stopped. The file is opened
// only when a 2xx reply comes, so that a refused picture leaves nothing.
class TPartStream : public TStream {
  public:
    TPartStream(const TFetchContext& context, TIdHTTP& client)
        : FContext(context), FClient(client),
          FWatch(context.Options.MinSpeed, context.Options.MinSpeedSeconds) {}

    void Open(const std::string& part, bool keep) {
        FFile = std::make_unique<TFileStream>(part, keep ? TFileMode::fmOpenReadWrite : TFileMode::fmCreate);
        FFile->Seek(0, TSeekOrigin::soEnd);
        FWatch.Attach(SocketOf(FClient)); // --min-speed
    }
    // The watchdog cut a transfer that trickled.
    const TTransferWatch& Watch() const { return FWatch; }
    void Restart() {
        FFile->SetSize(0);
        FFile->SetPosition(0);
    }
    bool IsOpen() const { return FFile != nullptr; }

    int64_t Read(void* buffer, int64_t count) override { return FFile ? FFile->Read(buffer, count) : 0; }
    int64_t Write(const void* buffer, int64_t count) override {
        if (FContext.Stop.load()) throw EGetInterrupted("Interrupted");
        if (!FFile) throw EInOutError("A body came before its reply was accepted", 0);
        const int64_t n = FFile->Write(buffer, count);
        if (FContext.OnBytes) FContext.OnBytes(n);
        FWatch.Received(n, FContext.Stop); // --limit-rate, --min-speed
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
    const TFetchContext& FContext;
    TIdHTTP& FClient;
    TTransferWatch FWatch;
    std::unique_ptr<TFileStream> FFile;
};

int64_t FileSizeOf(const std::string& path) {
    struct stat st {};
    if (::stat(GbkToFileName(path).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return st.st_size;
}

TPictureFetcher::TPictureFetcher(TFetchContext context)
    : FContext(std::move(context)), FRandom(std::random_device{}()) {}

TPictureFetcher::~TPictureFetcher() = default;

TIdHTTP& TPictureFetcher::ClientFor(const std::string& url) {
    std::unique_ptr<TIdHTTP>& client = FClients[HostKey(url)];
    if (!client) {
        client = std::make_unique<TIdHTTP>();
        ApplyClientSettings(*client, url);
        if (FContext.Options.MinSpeed > 0)
            client->RecvBufferSize =
                PieceSizeFor(FContext.Options.MinSpeed, FContext.Options.MinSpeedSeconds);
    }
    return *client;
}

void TPictureFetcher::DropClient(const std::string& url) {
    FClients.erase(HostKey(url));
}

void TPictureFetcher::Fetch(TPictureJob& job) {
    const auto start = std::chrono::steady_clock::now();
    if (FContext.Archive && FContext.Archive->Contains(job.Url)) {
        job.Outcome = TOutcome::Skipped;
        job.Message = "recorded in the archive";
        job.Bytes = std::max<int64_t>(0, FileSizeOf(job.Path));
    } else if (!SkipExisting(job)) {
        FetchWithRetries(job);
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
    if (FContext.Archive) FContext.Archive->Record(job.Url, size);
    return true;
}

std::optional<int64_t> TPictureFetcher::ServerSize(const std::string& url) {
    try {
        TIdHTTP& client = ClientFor(url);
        PrepareRequest(client, 0, "");
        client.RunRequest(hmHead, url, nullptr, nullptr);
        if (client.ResponseCode() == 200 && client.Response().LengthKnown())
            return client.Response().ContentLength();
    } catch (const EIdHTTPProtocolException&) {
        // Asked again by the GET, which reports the failure properly.
    } catch (const Exception&) {
        DropClient(url);
    }
    return std::nullopt;
}

void TPictureFetcher::FetchWithRetries(TPictureJob& job) {
    for (int attempt = 1;; ++attempt) {
        if (FContext.Stop.load()) {
            job.Outcome = TOutcome::Interrupted;
            job.Message = "not finished: the run was stopped";
            return;
        }
        job.Attempts = attempt;
        try {
            Attempt(job);
            return;
        } catch (const EGetInterrupted&) {
            job.Outcome = TOutcome::Interrupted;
            job.Message = "not finished: the run was stopped";
            return;
        } catch (...) {
            bool retry = false;
            const int wait = WaitAfter(std::current_exception(), attempt, job.Message, retry);
            if (!retry || attempt > FContext.Options.Retries) {
                job.Outcome = TOutcome::Failed;
                return;
            }
            if (FContext.OnNote)
                FContext.OnNote(job, Format("attempt %d failed (%s); next in %.1f s", attempt,
                                            job.Message.c_str(), wait / 1000.0));
            if (!Wait(wait)) continue; // the loop's first check reports the stop
        }
    }
}

void TPictureFetcher::Attempt(TPictureJob& job) {
    const std::string& part = job.PartPath;
    // A client whose exchange broke off starts the next one afresh (the hook
    // that refers to the broken fetch is gone by then).
    struct TDropBroken {
        TPictureFetcher& Fetcher;
        const std::string& Url;
        ~TDropBroken() {
            if (Fetcher.FBroken) Fetcher.DropClient(Url);
            Fetcher.FBroken = false;
        }
    } dropBroken{*this, job.Url};
    try {
        // A part past what any picture may hold was not ours to continue.
        const int64_t offset = FileSizeOf(part);
        RunGet(job, part, offset > 0 && offset < FileReplyLimit ? offset : 0);
    } catch (const EGetRestart& e) {
        if (FContext.OnNote) FContext.OnNote(job, e.Message() + "; starting again from the first byte");
        job.Resumed = false;
        if (FBroken) DropClient(job.Url);
        FBroken = false;
        RemoveFile(part);
        RunGet(job, part, 0);
    }
    Finish(job, part);
}

void TPictureFetcher::RunGet(TPictureJob& job, const std::string& part, int64_t offset) {
    TIdHTTP& client = ClientFor(job.Url);
    const std::string validator = offset > 0 ? StoredValidator(part) : std::string();
    PrepareRequest(client, offset, validator);
    TPartStream body(FContext, client);
    TBoundedStream bounded(body, FileReplyLimit, job.Url);
    int64_t expected = -1; // the file's size once the body is complete, when the reply says
    THookGuard guard{client};
    client.OnReplyHeaders = [&](TIdComponent*, const std::string&, const TIdHeaderList&) {
        TIdHTTPResponse& reply = client.Response();
        if (reply.StatusCode() / 100 != 2) return;
        AcceptReply(reply, job, part, offset, validator, body);
        if (reply.LengthKnown()) expected = body.Position() + reply.ContentLength();
        if (expected > bounded.Limit()) bounded.RaiseTooLarge();
    };
    try {
        client.FetchToStream(job.Url, bounded);
    } catch (const EIdHTTPProtocolException& e) {
        FLastRetryAfter = client.Response().HeaderLines.ValueOf("Retry-After");
        if (e.ReplyCode == 416 && offset > 0) throw EGetRestart("the server has no bytes past the part file");
        throw;
    } catch (const EConvertError&) {
        // An unreadable Content-Range: the part cannot be trusted to continue.
        FBroken = true;
        if (offset > 0) throw EGetRestart("the server's range reply cannot be read");
        throw;
    } catch (const Exception&) {
        FBroken = true;
        if (body.Watch().TooSlow()) throw EGetTooSlow(body.Watch().TooSlowMessage());
        throw;
    }
    // The client keeps what arrived before a server closed early; a picture
    // must be whole, and the part is continued by the next attempt.
    if (body.Watch().TooSlow()) {
        FBroken = true;
        throw EGetTooSlow(body.Watch().TooSlowMessage());
    }
    if (!body.IsOpen()) throw EInOutError("The server sent no picture", 0);
    if (expected >= 0 && body.Size() != expected) {
        FBroken = true;
        throw EIdException(Format("The connection ended after %lld of %lld bytes",
                                  static_cast<long long>(body.Size()), static_cast<long long>(expected)));
    }
}

void TPictureFetcher::AcceptReply(TIdHTTPResponse& reply, TPictureJob& job, const std::string& part,
                                  int64_t offset, const std::string& validator, TPartStream& body) {
    const std::string current = ValidatorOf(reply);
    const bool ranged = offset > 0 && reply.StatusCode() == 206;
    if (ranged) {
        if (reply.ContentRangeStart != offset)
            throw EGetRestart("the server sent another range than asked for");
        if (!validator.empty() && !current.empty() && current != validator)
            throw EGetRestart("the picture changed on the server");
        job.Resumed = true;
    }
    body.Open(part, ranged);
    if (offset > 0 && !ranged) {
        // The whole picture again: what the part holds is replaced.
        body.Restart();
        job.Resumed = false;
        if (FContext.OnNote) FContext.OnNote(job, "the server sent the whole picture; starting again");
    }
    StoreValidator(part, current);
}

void TPictureFetcher::Finish(TPictureJob& job, const std::string& part) {
    const std::string native = GbkToFileName(part);
    ::removexattr(native.c_str(), ValidatorAttribute);
    if (::rename(native.c_str(), GbkToFileName(job.Path).c_str()) != 0)
        throw EInOutError(Format("Cannot rename \"%s\" to \"%s\". %s", ExpandFileName(part).c_str(),
                                 ExpandFileName(job.Path).c_str(), SystemErrorText(errno).c_str()),
                          errno);
    job.Outcome = TOutcome::Saved;
    job.Message.clear();
    job.Bytes = FileSizeOf(job.Path);
    if (FContext.Archive) FContext.Archive->Record(job.Url, job.Bytes);
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

int TPictureFetcher::WaitAfter(const std::exception_ptr& failure, int attempt, std::string& message,
                               bool& retry) {
    const int capMs = static_cast<int>(std::min(FContext.Options.MaxWaitSeconds * 1000.0, 2e9));
    const int backoff = BackoffMs(attempt, FContext.Options.BackoffMs, capMs, FRandom);
    try {
        std::rethrow_exception(failure);
    } catch (const EIdHTTPProtocolException& e) {
        message = e.Message();
        retry = RetryableStatus(e.ReplyCode);
        const std::optional<double> after = RetryAfterSeconds(FLastRetryAfter, NowLocal());
        if ((e.ReplyCode == 429 || e.ReplyCode == 503) && after)
            return static_cast<int>(std::min(*after * 1000, 1.0 * capMs));
    } catch (const EIdReplyTooLarge& e) {
        message = e.Message();
    } catch (const EStreamError& e) {
        message = e.Message(); // the disk, not the server: asking again would not help
    } catch (const EInOutError& e) {
        message = e.Message();
    } catch (const Exception& e) {
        message = e.Message();
        retry = true;
    } catch (const std::exception& e) {
        message = e.what();
    }
    return backoff;
}
