#include "jobs/Journal.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "jobs/JournalStreams.h"
#include "log/LogWriter.h"
#include "platform/Files.h"

namespace {

const char* const kSchema =
    "CREATE TABLE jobs("
    " id INTEGER PRIMARY KEY, state INTEGER, mode INTEGER, quality_index INTEGER,"
    " is_link INTEGER, is_video INTEGER, delete_source INTEGER, source TEXT, title TEXT,"
    " duration INTEGER, stream_url TEXT, progress REAL, media_file TEXT, output_file TEXT,"
    " notes TEXT, video_preset INTEGER, preset_index INTEGER, acodec TEXT, vcodec TEXT,"
    " frequency INTEGER, abitrate INTEGER, vbitrate INTEGER, channels INTEGER,"
    " video_size TEXT, out_ext TEXT, preset_name TEXT, resource_size INTEGER, etag TEXT,"
    " last_modified TEXT, file_inode INTEGER, last_download_mode INTEGER,"
    " output_reserved INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE qualities(job INTEGER, n INTEGER, name TEXT, url TEXT, ext TEXT,"
    " PRIMARY KEY(job, n));"
    "CREATE TABLE segments(job INTEGER, n INTEGER, pos INTEGER, size INTEGER, done INTEGER,"
    " PRIMARY KEY(job, n));";

const char* const kJobColumns =
    "id, state, mode, quality_index, is_link, is_video, delete_source, source, title,"
    " duration, stream_url, progress, media_file, output_file, notes, video_preset,"
    " preset_index, acodec, vcodec, frequency, abitrate, vbitrate, channels, video_size,"
    " out_ext, preset_name, resource_size, etag, last_modified, file_inode, last_download_mode,"
    " output_reserved";

// An SQLite failure with its primary result code, so that a busy file is not
// taken for a corrupt one.
struct TSqlError : std::runtime_error {
  TSqlError(const std::string& text, int code) : std::runtime_error(text), Code(code) {}
  int Code;
};

// The file itself is bad (not a journal, corrupt, newer): it is moved aside.
struct TBadFile : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void ThrowSql(sqlite3* db, const std::string& text) {
  throw TSqlError(text, db ? sqlite3_errcode(db) & 0xff : SQLITE_NOMEM);
}

// One prepared statement; throws TSqlError with SQLite's message.
class TStatement {
 public:
  TStatement(sqlite3* db, const std::string& sql) : db_(db) {
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK) Fail();
  }
  ~TStatement() { sqlite3_finalize(stmt_); }
  TStatement(const TStatement&) = delete;
  TStatement& operator=(const TStatement&) = delete;

  TStatement& Bind(int64_t value) {
    Check(sqlite3_bind_int64(stmt_, ++bound_, value));
    return *this;
  }
  TStatement& Bind(double value) {
    Check(sqlite3_bind_double(stmt_, ++bound_, value));
    return *this;
  }
  TStatement& Bind(const std::string& value) {
    Check(sqlite3_bind_text(stmt_, ++bound_, value.data(), static_cast<int>(value.size()),
                            SQLITE_TRANSIENT));
    return *this;
  }
  // True while rows come; false once done.
  bool Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc != SQLITE_DONE) Fail();
    return false;
  }
  void Run() {
    Step();
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    bound_ = 0;
  }
  int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }
  double Real(int col) const { return sqlite3_column_double(stmt_, col); }
  std::string Text(int col) const {
    const auto* text = sqlite3_column_text(stmt_, col);
    return text ? std::string(reinterpret_cast<const char*>(text),
                              static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
                : std::string();
  }

 private:
  void Check(int rc) {
    if (rc != SQLITE_OK) Fail();
  }
  [[noreturn]] void Fail() { ThrowSql(db_, sqlite3_errmsg(db_)); }
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
  int bound_ = 0;
};

void Exec(sqlite3* db, const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    std::string text = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    ThrowSql(db, text);
  }
}

// Brings a file of an older version up to kVersion in one transaction: a
// failure leaves it as it was.
void Upgrade(sqlite3* db, int64_t version) {
  Exec(db, "BEGIN IMMEDIATE");
  try {
    // 2: output_reserved. A job of an older file that was converting cannot
    // tell a reserved output from a finished one, so its output is kept (0).
    if (version < 2)
      Exec(db, "ALTER TABLE jobs ADD COLUMN output_reserved INTEGER NOT NULL DEFAULT 0");
    // 3: the extractor's own tables.
    if (version < 3) journalstreams::EnsureTables(db);
    Exec(db, ("PRAGMA user_version=" + std::to_string(TJournal::kVersion)).c_str());
    Exec(db, "COMMIT");
  } catch (...) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

std::string TimeStamp() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%d-%H%M%S", &local);
  return text;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The claim's bytes reach the disk before the claim: fdatasync of the file
// (any descriptor of it flushes the file's pages). The file's inode, or 0 --
// also when it is no longer the file the claim was taken in (expected, when
// known): a download that started again from zero writes a new file.
uint64_t SyncFile(const std::string& path, uint64_t expected) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st {};
  const bool ok = ::fstat(fd, &st) == 0 &&
                  (expected == 0 || static_cast<uint64_t>(st.st_ino) == expected) &&
                  ::fdatasync(fd) == 0;
  ::close(fd);
  return ok ? static_cast<uint64_t>(st.st_ino) : 0;
}

}  // namespace

TJobSnapshot SnapshotOf(const TEncItem& job, int64_t key) {
  TJobSnapshot s;
  s.Key = key;
  s.State = job.State;
  s.Mode = job.Mode;
  s.LastDownloadMode = job.LastDownloadMode;
  s.QualityIndex = job.QualityIndex;
  s.IsLink = job.IsLink;
  s.IsVideo = job.IsVideo;
  s.DeleteSource = job.DeleteSource;
  s.Source = job.Source;
  s.Title = job.Title;
  s.DurationSec = job.DurationSec;
  s.StreamUrl = job.StreamUrl;
  // What the row shows: a finished job's bar is full although its download
  // figure was never set (a converted file, a local file).
  const int row = JobRow(job);
  s.Progress = row >= 0 ? job.Grid->Progress(row) : job.Progress;
  s.MediaFile = job.MediaFile;
  s.OutputFile = job.OutputFile;
  s.OutputReserved = job.OutputReserved;
  s.Notes = job.Notes;
  s.Qualities = job.Qualities;
  s.Settings = job.Settings;
  s.Resume = job.Resume;
  s.Resolver = job.Resolver;
  s.WebpageUrl = job.WebpageUrl;
  return s;
}

void RestoreFields(const TJobSnapshot& s, TEncItem& job) {
  job.State = s.State;
  job.Mode = s.Mode;
  job.LastDownloadMode = s.LastDownloadMode;
  job.QualityIndex = s.QualityIndex;
  job.IsLink = s.IsLink;
  job.IsVideo = s.IsVideo;
  job.DeleteSource = s.DeleteSource;
  job.Source = s.Source;
  job.Title = s.Title;
  job.DurationSec = s.DurationSec;
  job.StreamUrl = s.StreamUrl;
  job.Progress = s.Progress;
  job.MediaFile = s.MediaFile;
  job.OutputFile = s.OutputFile;
  job.OutputReserved = s.OutputReserved;
  job.Notes = s.Notes;
  job.Qualities = s.Qualities;
  job.Settings = s.Settings;
  job.Resume = s.Resume;
  if (s.FileInode != 0) job.Resume.FileId = s.FileInode;
  job.Resolver = s.Resolver;
  job.WebpageUrl = s.WebpageUrl;
}

// ---- TJournal ----

TJournal::TJournal(std::string path, std::chrono::milliseconds openBusyWait)
    : path_(std::move(path)), openBusyWait_(openBusyWait) {}

TJournal::~TJournal() {
  Flush(std::chrono::seconds(2));
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (writer_.joinable()) writer_.join();
  Close();
}

void TJournal::Close() {
  if (db_) sqlite3_close(db_);
  db_ = nullptr;
  if (lockFd_ >= 0) ::close(lockFd_);  // releases the lock
  lockFd_ = -1;
}

bool TJournal::Open(std::vector<TJobSnapshot>& jobs) {
  jobs.clear();
  if (db_) throw std::logic_error("The job journal is open already");
  if (!LockFolder()) return false;
  // Read before anything here writes to the file. An empty log is no write:
  // a reader's open makes one.
  auto written = [](const struct stat& st) {
    return int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  };
  writtenBeforeOpen_ = 0;
  struct stat st {};
  if (::stat(path_.c_str(), &st) == 0) writtenBeforeOpen_ = written(st);
  if (::stat((path_ + "-wal").c_str(), &st) == 0 && st.st_size > 0)
    writtenBeforeOpen_ = std::max(writtenBeforeOpen_, written(st));
  std::string error;
  TOpenResult result = OpenFile(jobs, error);
  if (result == TOpenResult::Bad) {
    jobs.clear();
    MoveAside(error);
    result = OpenFile(jobs, error);
  }
  if (result != TOpenResult::Ok) {
    // Busy, locked, unreadable for now: the file stays as it is for the next
    // start, and this window runs without it.
    jobs.clear();
    // The folder's lock stays: this is still the folder's one window.
    lastError_ = "The job journal " + path_ + " cannot be used now (" + error + ")";
    if (db_) sqlite3_close(db_);
    db_ = nullptr;
    return false;
  }
  for (const TJobSnapshot& job : jobs) lastKey_ = std::max(lastKey_, job.Key);
  writer_ = std::thread([this] { WriterLoop(); });
  return true;
}

bool TJournal::LockFolder() {
  if (lockFd_ >= 0) return true;
  // An exclusive lock on a file beside the journal: a second instance on the
  // same folder never opens it.
  lockFd_ = ::open((path_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lockFd_ < 0 || ::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
    const bool held = lockFd_ >= 0 && errno == EWOULDBLOCK;
    lastError_ = held ? "The job journal " + path_ + " is in use by another instance"
                      : "Cannot lock the job journal " + path_ + ": " + std::strerror(errno);
    if (lockFd_ >= 0) ::close(lockFd_);
    lockFd_ = -1;
    return false;
  }
  return true;
}

namespace {

// The journal and its side files are the user's alone (they hold stream
// addresses), whatever the umask. SQLite gives the -wal and -shm files it
// creates the mode of the database file.
void MakePrivate(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 077) != 0)
      ::fchmod(fd, 0600);
    ::close(fd);
  }
  for (const char* side : {"-wal", "-shm"}) ::chmod((path + side).c_str(), 0600);
}

bool IsBusy(int code) { return code == SQLITE_BUSY || code == SQLITE_LOCKED; }

}  // namespace

TJournal::TOpenResult TJournal::OpenFile(std::vector<TJobSnapshot>& jobs, std::string& error) {
  try {
    MakePrivate(path_);
    if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
      // Something that is no file at all (a folder) is moved aside like a bad file.
      struct stat st {};
      if (::stat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        throw TBadFile(db_ ? sqlite3_errmsg(db_) : "not a file");
      ThrowSql(db_, db_ ? sqlite3_errmsg(db_) : "out of memory");
    }
    // Another program (a backup, a viewer) may hold the file a moment: wait for it.
    sqlite3_busy_timeout(db_, static_cast<int>(openBusyWait_.count()));
    int64_t version = 0;
    {
      TStatement st(db_, "PRAGMA user_version");
      if (st.Step()) version = st.Int(0);
    }
    if (version > kVersion)
      throw TBadFile("written by a newer version (" + std::to_string(version) + ")");
    {
      TStatement check(db_, "PRAGMA quick_check");
      if (!check.Step() || check.Text(0) != "ok") throw TBadFile(check.Text(0));
    }
    {
      TStatement mode(db_, "PRAGMA journal_mode=WAL");
      if (!mode.Step() || mode.Text(0) != "wal")
        throw TSqlError("WAL mode is not available", SQLITE_ERROR);
    }
    // Commits survive a killed process; a power cut may lose the last ones,
    // never the file (and older claims are never larger than the disk holds).
    Exec(db_, "PRAGMA synchronous=NORMAL");
    if (version == 0) {
      TStatement tables(db_, "SELECT count(*) FROM sqlite_master");
      if (tables.Step() && tables.Int(0) != 0) throw TBadFile("not a job journal");
      Exec(db_, "BEGIN");
      Exec(db_, kSchema);
      journalstreams::EnsureTables(db_);
      Exec(db_, ("PRAGMA user_version=" + std::to_string(kVersion)).c_str());
      Exec(db_, "COMMIT");
      sqlite3_busy_timeout(db_, kCommitBusyWaitMs);
      return TOpenResult::Ok;
    }
    if (version < kVersion) Upgrade(db_, version);
    std::map<int64_t, size_t> index;
    TStatement rows(db_, std::string("SELECT ") + kJobColumns + " FROM jobs ORDER BY id");
    while (rows.Step()) {
      TJobSnapshot s;
      int c = 0;
      s.Key = rows.Int(c++);
      const int64_t state = rows.Int(c++);
      s.State = state >= jsNew && state <= jsReading ? static_cast<TJobState>(state) : jsNew;
      s.Mode = static_cast<int32_t>(rows.Int(c++));
      s.QualityIndex = static_cast<int32_t>(rows.Int(c++));
      s.IsLink = rows.Int(c++) != 0;
      s.IsVideo = rows.Int(c++) != 0;
      s.DeleteSource = rows.Int(c++) != 0;
      s.Source = rows.Text(c++);
      s.Title = rows.Text(c++);
      s.DurationSec = static_cast<int32_t>(rows.Int(c++));
      s.StreamUrl = rows.Text(c++);
      s.Progress = rows.Real(c++);
      s.MediaFile = rows.Text(c++);
      s.OutputFile = rows.Text(c++);
      s.Notes = rows.Text(c++);
      s.Settings.VideoPreset = rows.Int(c++) != 0;
      s.Settings.PresetIndex = static_cast<int32_t>(rows.Int(c++));
      s.Settings.ACodec = rows.Text(c++);
      s.Settings.VCodec = rows.Text(c++);
      s.Settings.Frequency = static_cast<int32_t>(rows.Int(c++));
      s.Settings.ABitrate = static_cast<int32_t>(rows.Int(c++));
      s.Settings.VBitrate = static_cast<int32_t>(rows.Int(c++));
      s.Settings.Channels = static_cast<int32_t>(rows.Int(c++));
      s.Settings.VideoSize = rows.Text(c++);
      s.Settings.OutExt = rows.Text(c++);
      s.Settings.PresetName = rows.Text(c++);
      s.Resume.ResourceSize = rows.Int(c++);
      s.Resume.ETag = rows.Text(c++);
      s.Resume.LastModified = rows.Text(c++);
      s.FileInode = static_cast<uint64_t>(rows.Int(c++));
      s.LastDownloadMode = static_cast<int32_t>(rows.Int(c++));
      s.OutputReserved = rows.Int(c++) != 0;
      index[s.Key] = jobs.size();
      jobs.push_back(std::move(s));
    }
    TStatement qualities(db_, "SELECT job, name, url, ext FROM qualities ORDER BY job, n");
    while (qualities.Step()) {
      auto it = index.find(qualities.Int(0));
      if (it == index.end()) continue;
      jobs[it->second].Qualities.push_back(
          TQuality{qualities.Text(1), TLink{qualities.Text(2), qualities.Text(3)}});
    }
    journalstreams::Read(db_, jobs, index);
    TStatement segments(db_, "SELECT job, pos, size, done FROM segments ORDER BY job, n");
    while (segments.Step()) {
      auto it = index.find(segments.Int(0));
      if (it == index.end()) continue;
      jobs[it->second].Resume.Segments.push_back(
          TSegmentState{segments.Int(1), segments.Int(2), segments.Int(3)});
    }
    sqlite3_busy_timeout(db_, kCommitBusyWaitMs);
    return TOpenResult::Ok;
  } catch (const std::exception& e) {
    TOpenResult result = TOpenResult::Unusable;
    error = e.what();
    if (dynamic_cast<const TBadFile*>(&e)) {
      result = TOpenResult::Bad;
    } else if (const auto* sql = dynamic_cast<const TSqlError*>(&e)) {
      if (sql->Code == SQLITE_NOTADB || sql->Code == SQLITE_CORRUPT) result = TOpenResult::Bad;
      if (IsBusy(sql->Code)) error = "it is in use by another program: " + error;
    }
    if (db_) sqlite3_close(db_);
    db_ = nullptr;
    return result;
  }
}

void TJournal::MoveAside(const std::string& why) {
  const std::string aside = path_ + ".bad-" + TimeStamp();
  std::string where;
  if (std::rename(path_.c_str(), aside.c_str()) == 0) {
    movedAside_ = aside;
    where = "; it was moved to " + aside;
    // The write-ahead log belongs to the bad file; the index is rebuilt.
    std::rename((path_ + "-wal").c_str(), (aside + "-wal").c_str());
    std::remove((path_ + "-shm").c_str());
  } else if (errno != ENOENT) {
    where = "; it could not be moved aside (" + std::string(std::strerror(errno)) + ")";
  }
  LogText("Error: The job journal " + path_ + " cannot be used (" + why + ")" + where +
          "; the job table starts empty");
}

void TJournal::Put(TJobSnapshot snapshot) {
  if (!db_) return;
  {
    std::lock_guard lock(mutex_);
    const int64_t key = snapshot.Key;
    puts_[key] = std::move(snapshot);
  }
  wake_.notify_one();
}

void TJournal::Remove(int64_t key) {
  if (!db_) return;
  {
    std::lock_guard lock(mutex_);
    puts_.erase(key);
    removals_.insert(key);
  }
  wake_.notify_one();
}

bool TJournal::Flush(std::chrono::milliseconds limit) {
  if (!db_) return true;
  std::unique_lock lock(mutex_);
  return idle_.wait_for(lock, limit,
                        [this] { return puts_.empty() && removals_.empty() && !busy_; });
}

TJournal::TStats TJournal::Stats() const {
  std::lock_guard lock(mutex_);
  return stats_;
}

std::string TJournal::WriteError() const {
  std::lock_guard lock(mutex_);
  return writeError_;
}

void TJournal::WriterLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || !puts_.empty() || !removals_.empty(); });
    if (puts_.empty() && removals_.empty()) break;  // stopping, nothing left
    std::map<int64_t, TJobSnapshot> puts;
    std::set<int64_t> removals;
    puts.swap(puts_);
    removals.swap(removals_);
    busy_ = true;
    lock.unlock();
    const auto start = std::chrono::steady_clock::now();
    size_t syncs = 0;
    std::string failure;
    try {
      for (auto& [key, s] : puts) {
        if (s.Resume.Empty() || s.MediaFile.empty()) continue;
        ++syncs;
        // Only bytes in the job's own file are claimed: a work file beside it
        // (a compressed resource) is not kept across a restart.
        s.FileInode = s.Resume.File.empty() ? SyncFile(s.MediaFile, s.Resume.FileId) : 0;
        // What cannot be shown to be on disk is not claimed.
        if (s.FileInode == 0) s.Resume.Segments.clear();
      }
      Commit(puts, removals);
    } catch (const std::exception& e) {
      failure = e.what();
      if (failure.empty()) failure = "unknown error";
    }
    const double seconds = SecondsSince(start);
    lock.lock();
    busy_ = false;
    stats_.Commits++;
    stats_.Syncs += syncs;
    stats_.CommitSeconds += seconds;
    stats_.LongestCommitSeconds = std::max(stats_.LongestCommitSeconds, seconds);
    if (!failure.empty()) {
      // Nothing handed over is dropped: the batch goes back unless a newer
      // snapshot or a removal of the same job came meanwhile, and is tried again.
      for (auto& [key, s] : puts)
        if (!puts_.count(key) && !removals_.count(key)) puts_.emplace(key, std::move(s));
      removals_.insert(removals.begin(), removals.end());
      // Logged once per failing spell: the log must stay readable.
      if (writeError_.empty())
        LogText("Error: The job journal " + path_ + " cannot be written: " + failure +
                "; it is tried again");
      writeError_ = failure;
      if (stop_) break;  // the bounded wait of the end is over
      wake_.wait_for(lock, kRetryDelay, [this] { return stop_; });
      continue;
    }
    if (!writeError_.empty()) {
      writeError_.clear();
      lock.unlock();
      LogText("The job journal " + path_ + " is written again");
      lock.lock();
    }
    stats_.JobsWritten += puts.size() + removals.size();
    if (puts_.empty() && removals_.empty()) idle_.notify_all();
  }
  idle_.notify_all();
}

void TJournal::Commit(std::map<int64_t, TJobSnapshot>& puts, std::set<int64_t>& removals) {
  Exec(db_, "BEGIN IMMEDIATE");
  try {
    TStatement delJob(db_, "DELETE FROM jobs WHERE id = ?");
    TStatement delQualities(db_, "DELETE FROM qualities WHERE job = ?");
    TStatement delSegments(db_, "DELETE FROM segments WHERE job = ?");
    TStatement putJob(db_, std::string("INSERT OR REPLACE INTO jobs (") + kJobColumns +
                               ") VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,"
                               "?,?,?,?)");
    TStatement putQuality(db_, "INSERT INTO qualities VALUES (?,?,?,?,?)");
    TStatement putSegment(db_, "INSERT INTO segments VALUES (?,?,?,?,?)");
    for (int64_t key : removals) {
      delJob.Bind(key).Run();
      delQualities.Bind(key).Run();
      delSegments.Bind(key).Run();
      journalstreams::Remove(db_, key);
    }
    for (const auto& [key, s] : puts) {
      const TCnvtSettings& c = s.Settings;
      putJob.Bind(key)
          .Bind(int64_t{s.State})
          .Bind(int64_t{s.Mode})
          .Bind(int64_t{s.QualityIndex})
          .Bind(int64_t{s.IsLink})
          .Bind(int64_t{s.IsVideo})
          .Bind(int64_t{s.DeleteSource})
          .Bind(s.Source)
          .Bind(s.Title)
          .Bind(int64_t{s.DurationSec})
          .Bind(s.StreamUrl)
          .Bind(s.Progress)
          .Bind(s.MediaFile)
          .Bind(s.OutputFile)
          .Bind(s.Notes)
          .Bind(int64_t{c.VideoPreset})
          .Bind(int64_t{c.PresetIndex})
          .Bind(c.ACodec)
          .Bind(c.VCodec)
          .Bind(int64_t{c.Frequency})
          .Bind(int64_t{c.ABitrate})
          .Bind(int64_t{c.VBitrate})
          .Bind(int64_t{c.Channels})
          .Bind(c.VideoSize)
          .Bind(c.OutExt)
          .Bind(c.PresetName)
          .Bind(s.Resume.ResourceSize)
          .Bind(s.Resume.ETag)
          .Bind(s.Resume.LastModified)
          .Bind(static_cast<int64_t>(s.FileInode))
          .Bind(int64_t{s.LastDownloadMode})
          .Bind(int64_t{s.OutputReserved})
          .Run();
      delQualities.Bind(key).Run();
      delSegments.Bind(key).Run();
      journalstreams::Write(db_, key, s);
      for (size_t n = 0; n < s.Qualities.size(); ++n) {
        const TQuality& q = s.Qualities[n];
        putQuality.Bind(key)
            .Bind(static_cast<int64_t>(n))
            .Bind(q.Name)
            .Bind(q.Link.Url)
            .Bind(q.Link.Ext)
            .Run();
      }
      for (size_t n = 0; n < s.Resume.Segments.size(); ++n) {
        const TSegmentState& g = s.Resume.Segments[n];
        putSegment.Bind(key)
            .Bind(static_cast<int64_t>(n))
            .Bind(g.Pos)
            .Bind(g.Size)
            .Bind(g.Done)
            .Run();
      }
    }
    Exec(db_, "COMMIT");
  } catch (...) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}
