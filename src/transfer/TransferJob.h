#pragma once
// What the download engine is asked to move and what became of it: one job
// per file, the settings the workers keep to, the record of files saved by
// earlier runs, and the events a front end shows. Texts are in the program's
// code page (GBK), as the rest of the system keeps them.

#include <cstddef>
#include <cstdint>
#include <string>

struct TTransferOptions {
    int Jobs = 4; // workers, each on its own kept-alive connections
    int Retries = 4;
    int BackoffMs = 1000;        // first back-off; doubled per attempt
    double MaxWaitSeconds = 300; // no single wait (back-off or Retry-After) is longer
    double MinSpeed = 0;         // bytes a second; 0: no minimum
    double MinSpeedSeconds = 30; // how long a transfer may stay below MinSpeed
    // A saved file takes its reply's Last-Modified as its modification time
    // (as wget and curl -R do); otherwise it keeps the time it was written.
    bool RemoteTime = false;
};

enum class TOutcome { Pending, Saved, Skipped, Failed, Interrupted };

const char* OutcomeName(TOutcome outcome);

struct TPictureJob {
    size_t Album = 0; // the front end's group of the job (quillora-get: its album)
    std::string Url;
    std::string Path;     // empty when the name was refused
    std::string PartPath; // where it is written until complete (PartPathFor)
    TOutcome Outcome = TOutcome::Pending;
    int64_t Bytes = 0;
    std::string Message;
    double Seconds = 0;
    int Attempts = 0;
    bool Resumed = false;
    bool OverTls = false; // the bytes that completed it came over TLS
    // Set by the front end for a picture its record knows and wants asked
    // for: no size check of a file already there decides then. With a
    // validator the request is conditional, and a 304 leaves the file as it is.
    bool Recorded = false;
    std::string IfNoneMatch, IfModifiedSince;
    bool Unchanged = false; // the server answered 304
    // Once saved: the SHA-256 of the bytes written (lower-case hex; empty
    // for a file that was already there) and the validators of their reply.
    std::string Sha256, ETag, LastModified;
};

// The record of saved files, kept by the front end (which also decides
// what it skips without a request before the workers start). Record may
// raise when the record cannot be written: that is a failure of the run
// (TTransferEvents::RecordFailed), never of the file.
class TSavedRecord {
  public:
    virtual ~TSavedRecord() = default;
    // Called once the job's file is complete under its name and on the disk,
    // or found there with the server's size; raises when it cannot record it.
    virtual void Record(const TPictureJob& job) = 0;
};

// What the workers report, from their own threads (Tick from the waiting one).
class TTransferEvents {
  public:
    virtual ~TTransferEvents() = default;
    virtual void Begin(int workers) = 0;
    virtual void JobStarted(int worker, size_t job) = 0;
    virtual void JobFinished(int worker, size_t job) = 0;
    virtual void Bytes(int worker, int64_t count) = 0;
    virtual void Note(const TPictureJob& job, const std::string& text) = 0;
    // The record of saved files could not be read or written (its message
    // on one line); the job it was for stands as it ended.
    virtual void RecordFailed(const std::string& message) = 0;
    // A few times a second while the workers run.
    virtual void Tick() = 0;
    virtual void End() = 0;
};
