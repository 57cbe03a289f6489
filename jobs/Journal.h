#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "jobs/EncItem.h"

// The job journal: the job table kept in an SQLite file (WAL mode) so that it
// survives a closed window and a crash. docs/journal.md.

// What the journal keeps of a job: every field needed to rebuild it.
struct TJobSnapshot {
  int64_t Key = 0;  // the job's journal row; rows in Key order are the table's order
  TJobState State = jsNew;
  int32_t Mode = 0;
  int32_t LastDownloadMode = 0;
  int32_t QualityIndex = -1;
  bool IsLink = false;
  bool IsVideo = false;
  bool DeleteSource = false;
  std::string Source;
  std::string Title;
  int32_t DurationSec = 0;
  std::string StreamUrl;
  double Progress = 0;
  std::string MediaFile;
  std::string OutputFile;
  bool OutputReserved = false;
  std::string Notes;
  TQualityList Qualities;
  TCnvtSettings Settings;
  TDownloadResume Resume;
  // Identity of MediaFile when Resume was committed (0 = unknown): a file
  // replaced by another one is never continued.
  uint64_t FileInode = 0;
  // Who read the link and its page (TEncItem::Resolver, WebpageUrl).
  std::string Resolver;
  std::string WebpageUrl;
};

TJobSnapshot SnapshotOf(const TEncItem& job, int64_t key);
// The fields of the snapshot into the job (its row is not touched).
void RestoreFields(const TJobSnapshot& snapshot, TEncItem& job);

// The file and its writer thread. The owner thread only hands snapshots over
// (coalesced: the latest snapshot of a job wins, so the queue holds at most
// one entry per job); the writer commits them. A snapshot that claims bytes of
// a download (Resume segments) is committed only after an fdatasync of its
// MediaFile made after the snapshot was taken; a file that cannot be synced
// gets no claim.
class TJournal {
 public:
  // 2: output_reserved; 3: the extractor's tables (jobs/JournalStreams.h).
  static constexpr int kVersion = 3;

  // openBusyWait: how long Open waits for a file another program holds.
  explicit TJournal(std::string path,
                    std::chrono::milliseconds openBusyWait = std::chrono::seconds(3));
  // Flushes with a bounded wait, then ends the writer.
  ~TJournal();
  TJournal(const TJournal&) = delete;
  TJournal& operator=(const TJournal&) = delete;

  // Takes the folder's lock (jobs.db.lock) without opening the file; Open
  // takes it too. False when another instance holds it (why is in LastError()):
  // that window must write nothing of the first one's.
  bool LockFolder();
  bool HoldsLock() const { return lockFd_ >= 0; }
  // Opens (or creates, 0600) the file and reads its jobs in table order. A file
  // that is not a database, corrupt, from a newer version or not a journal is
  // moved aside ("<path>.bad-<time>"), one "Error: " line is logged and an
  // empty journal takes its place. False when the journal cannot be used now
  // (another instance holds the lock, another program holds the file past
  // openBusyWait, it cannot be read or created): the file is left as it is,
  // the journal stays closed, every call is a no-op, and why is in LastError().
  bool Open(std::vector<TJobSnapshot>& jobs);
  bool IsOpen() const { return db_ != nullptr; }
  const std::string& LastError() const { return lastError_; }
  // When the file (or its write-ahead log) was last written before this Open,
  // in nanoseconds of the system clock; 0 when there was no file. Anything the
  // previous run made after it, the journal does not know.
  int64_t WrittenBeforeOpen() const { return writtenBeforeOpen_; }
  // Where a bad file was moved to by Open; empty when none was.
  const std::string& MovedAside() const { return movedAside_; }

  // A key for a new job: after every key in the file.
  int64_t NewKey() { return ++lastKey_; }
  void Put(TJobSnapshot snapshot);
  void Remove(int64_t key);
  // Waits until everything handed over so far is committed, at most limit.
  bool Flush(std::chrono::milliseconds limit);
  // Why the last commit failed; empty once one succeeds. A failed commit is
  // tried again every kRetryDelay with everything it held.
  std::string WriteError() const;
  static constexpr std::chrono::milliseconds kRetryDelay{1000};

  struct TStats {
    uint64_t Commits = 0;
    uint64_t JobsWritten = 0;
    uint64_t Syncs = 0;
    double CommitSeconds = 0;  // in transactions, fdatasync included
    double LongestCommitSeconds = 0;
  };
  TStats Stats() const;

 private:
  enum class TOpenResult { Ok, Bad, Unusable };
  TOpenResult OpenFile(std::vector<TJobSnapshot>& jobs, std::string& error);
  static constexpr int kCommitBusyWaitMs = 1000;
  void MoveAside(const std::string& why);
  void Close();
  void WriterLoop();
  void Commit(std::map<int64_t, TJobSnapshot>& puts, std::set<int64_t>& removals);

  std::string path_;
  int64_t writtenBeforeOpen_ = 0;
  std::chrono::milliseconds openBusyWait_;
  struct sqlite3* db_ = nullptr;
  int lockFd_ = -1;
  std::string lastError_;
  std::string movedAside_;
  int64_t lastKey_ = 0;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable idle_;
  std::map<int64_t, TJobSnapshot> puts_;
  std::set<int64_t> removals_;
  bool busy_ = false;  // the writer holds a batch
  bool stop_ = false;
  std::string writeError_;
  TStats stats_;
  std::thread writer_;
};

// Binds a journal to the job list: keys the jobs, turns change notifications
// into snapshots and rebuilds the table at start-up. Owner (main) thread only.
class TJobJournal {
 public:
  // defer runs a call once the current event has been handled, so that the
  // several field changes of one step give one snapshot of their end result.
  TJobJournal(TJournal& journal, std::function<TJobList*()> jobs,
              std::function<void(std::function<void()>)> defer);
  ~TJobJournal();  // removes the listener
  TJobJournal(const TJobJournal&) = delete;
  TJobJournal& operator=(const TJobJournal&) = delete;

  // Appends the journal's jobs to the list and the grid, in their order: a job
  // that was downloading or encoding comes back stopped (an encoding's
  // half-written output is deleted), the others as they were. A download
  // whose file is missing, shorter or another file loses its claim.
  void Restore(const std::vector<TJobSnapshot>& jobs, TJobList& list, IJobGrid& grid);
  // The change listener's work; public for the owner's own calls.
  void Notify(TEncItem& job, TJobChange change);
  // Snapshots every job changed since the last call.
  void SnapshotChanged();
  // Snapshots every job that downloads or converts (the running ones' tick).
  void SnapshotRunning();

 private:
  int64_t KeyOf(const TEncItem& job);

  TJournal& journal_;
  std::function<TJobList*()> jobs_;
  std::function<void(std::function<void()>)> defer_;
  std::map<uint64_t, int64_t> keys_;  // job reference -> journal key
  std::set<uint64_t> changed_;
  bool scheduled_ = false;
};
