// The file an item's segments are written to. A download that starts from zero
// always gets a new file (another inode), so a claim on the old file's bytes,
// wherever it is still kept, can never be taken for the new file's; a
// compressed resource's work file is created exclusively, so nobody else's file
// is written to or removed. Files are opened, created and sized on a thread of
// their own, never on the owner's: sizing can take long on a file system that
// writes the zeros.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "download/clMultiDownLoader.h"
#include "platform/Files.h"
#include "platform/ThreadSet.h"

namespace {

constexpr int kNameTries = 100;

// Creates the folder a file goes in (not the root's first level, as before).
void CreateFolderOf(const std::string& file) {
  std::string folder = platform::ExtractFilePath(file);
  if (folder.size() < 4) return;
  platform::ForceDirectories(folder);
}

std::shared_ptr<TclFileStream> CreateNew(const std::string& path) {
  try {
    return std::make_shared<TclFileStream>(path, TclFileStream::fmCreateNew);
  } catch (const EclStreamError& e) {
    if (e.ErrorCode() != EEXIST) throw;
    return nullptr;
  }
}

std::string HiddenNameBeside(const std::string& file, int n) {
  return platform::ExtractFilePath(file) + ".vantorel-" + std::to_string(::getpid()) + "-" +
         std::to_string(n) + ".part";
}

// A new file at path: created there when the name is free, else created beside
// it under a short hidden name and renamed over it. Both files exist at the
// same time, so the new one never gets the old one's inode number. The old
// file stays open (emptied, when no other name links to it) in kept, so its
// number is not handed out again while this process runs: a claim on the old
// file, still in a journal, can never match a later new file either.
std::shared_ptr<TclFileStream> NewFileAt(const std::string& path,
                                         std::vector<std::shared_ptr<TclFileStream>>& kept) {
  if (auto stream = CreateNew(path)) return stream;
  for (int n = 0; n < kNameTries; ++n) {
    const std::string temp = HiddenNameBeside(path, n);
    auto stream = CreateNew(temp);
    if (!stream) continue;
    std::shared_ptr<TclFileStream> old;
    try {
      old = std::make_shared<TclFileStream>(path, TclFileStream::fmOpenReadWrite);
    } catch (const EclStreamError&) {
      // Not ours to hold (a folder, no rights): the rename below says so.
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
      const int error = errno;
      std::remove(temp.c_str());
      throw EclStreamError("Cannot replace file \"" + path + "\". " + std::strerror(error), error);
    }
    stream->Moved(path);
    if (old) {
      struct stat st {};
      if (::fstat(old->Handle(), &st) == 0 && st.st_nlink == 0) {
        try {
          old->SetSize(0);  // gives its blocks back
        } catch (const EclStreamError&) {
        }
      }
      kept.push_back(std::move(old));
    }
    return stream;
  }
  throw EclStreamError("Cannot create file \"" + path + "\": no free name beside it", EEXIST);
}

// "<file>~", else "<file>~2", "<file>~3", ...: never a file that exists. A name
// already at the file system's limit gets a short hidden one.
std::shared_ptr<TclFileStream> NewWorkFileBeside(const std::string& file) {
  bool shortNames = false;
  for (int n = 1; n <= kNameTries; ++n) {
    const std::string name = shortNames ? HiddenNameBeside(file, n)
                                        : file + "~" + (n == 1 ? std::string() : std::to_string(n));
    try {
      if (auto stream = CreateNew(name)) return stream;
    } catch (const EclStreamError& e) {
      if (e.ErrorCode() != ENAMETOOLONG || shortNames) throw;
      shortNames = true;
      n = 0;
    }
  }
  throw EclStreamError("Cannot create a work file beside \"" + file + "\": no free name", EEXIST);
}

// A size the folder cannot hold fails at once, before any byte is fetched or
// a file of that size is laid out.
void CheckRoomFor(const std::string& file, int64_t size) {
  if (size <= 0) return;
  std::string folder = platform::ExtractFilePath(file);
  if (folder.empty()) folder = ".";
  struct statvfs vfs {};
  // A file system that tells no sizes at all (some network and FUSE ones) is
  // not second-guessed: the writes will tell.
  if (::statvfs(folder.c_str(), &vfs) != 0 || vfs.f_blocks == 0) return;
  auto room = static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0) room += static_cast<uint64_t>(st.st_blocks) * 512;  // replaced
  if (static_cast<uint64_t>(size) <= room) return;
  throw EclStreamError("The resource has " + std::to_string(size) + " bytes, but only " +
                           std::to_string(room) + " bytes are free in \"" + folder + "\". " +
                           std::strerror(ENOSPC),
                       ENOSPC);
}

// What the owner thread asks of the file thread, copied, so that nothing of the
// item is touched there.
struct TFileAsk {
  std::string localFile;
  std::string keptFile;  // the segments' file from before; empty: none kept
  uint64_t keptId = 0;
  std::string dropFile;  // our own work file of before, to be removed
  uint64_t dropId = 0;
  bool compressed = false;
  int64_t size = 0;
};

struct TFileReady {
  std::shared_ptr<TclFileStream> stream;
  bool kept = false;  // the segments' file of before, still the same
  std::vector<std::shared_ptr<TclFileStream>> replaced;
  std::string error;
};

bool SameFile(const std::string& path, uint64_t id) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_ino) == id;
}

std::shared_ptr<TclFileStream> OpenKept(const TFileAsk& ask) {
  // Compressed then and not now (or the other way round): another file.
  if (ask.keptFile.empty() || (ask.keptFile != ask.localFile) != ask.compressed) return nullptr;
  if (!platform::FileExists(ask.keptFile)) return nullptr;
  try {
    auto stream = std::make_shared<TclFileStream>(ask.keptFile, TclFileStream::fmOpenReadWrite);
    if (ask.keptId != 0 && stream->FileId() != ask.keptId) return nullptr;
    if (ask.size > 0 && stream->Size() != ask.size) return nullptr;
    return stream;
  } catch (const EclStreamError&) {
    return nullptr;
  }
}

// Runs on the file thread.
TFileReady PrepareFile(const TFileAsk& ask) {
  TFileReady ready;
  try {
    ready.stream = OpenKept(ask);
    ready.kept = ready.stream != nullptr;
    if (!ready.stream) {
      // Only a work file of our own (created exclusively, still the same file) goes.
      if (!ask.dropFile.empty() && ask.dropId != 0 && SameFile(ask.dropFile, ask.dropId))
        std::remove(ask.dropFile.c_str());
      CreateFolderOf(ask.localFile);
      CheckRoomFor(ask.localFile, ask.size);
      ready.stream = ask.compressed ? NewWorkFileBeside(ask.localFile)
                                    : NewFileAt(ask.localFile, ready.replaced);
    }
    ready.stream->SetSize(ask.size > 0 ? ask.size : 0);
  } catch (const std::exception& e) {
    ready.stream.reset();
    ready.error = e.what();
  }
  return ready;
}

std::mutex& InflateHookLock() {
  static std::mutex lock;
  return lock;
}

std::function<void()>& InflateHookSlot() {
  static std::function<void()> hook;
  return hook;
}

struct TInflateAsk {
  std::string workFile;
  uint64_t workId = 0;
  std::string localFile;
  bool stamp = false;
  std::chrono::system_clock::time_point date{};
};

struct TInflateDone {
  std::string error;
  bool cancelled = false;
};

void SyncFolderOf(const std::string& file) {
  std::string folder = platform::ExtractFilePath(file);
  if (folder.empty()) folder = ".";
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

// Runs on the file thread. The output is written under a hidden name and
// renamed over LocalFile only once it is whole and synced, so a stop or a
// failure never leaves half an output under the file's name, and whoever
// takes the completion for a finished file finds it on the disk.
TInflateDone InflateFile(const TInflateAsk& ask, const std::atomic<bool>& cancel) {
  std::function<void()> hook;
  {
    std::lock_guard lock(InflateHookLock());
    hook = InflateHookSlot();
  }
  TInflateDone done;
  std::string temp;
  try {
    TclFileStream source(ask.workFile, TclFileStream::fmOpenRead);
    std::shared_ptr<TclFileStream> target;
    for (int n = 0; n < kNameTries && !target; ++n) {
      temp = HiddenNameBeside(ask.localFile, n);
      target = CreateNew(temp);
    }
    if (!target) {
      temp.clear();
      throw EclStreamError("Cannot create file \"" + ask.localFile + "\": no free name beside it",
                           EEXIST);
    }
    target->Moved(ask.localFile);  // errors name the output, not the hidden name
    {
      TclGZipInflateStream inflate(*target);
      std::vector<char> buffer(1 << 16);
      for (;;) {
        if (hook) hook();
        if (cancel.load()) {
          done.cancelled = true;
          break;
        }
        const size_t n = source.Read(buffer.data(), buffer.size());
        if (n == 0) break;
        inflate.WriteBuffer(buffer.data(), n);
      }
      if (!done.cancelled) inflate.Finish();
    }
    if (!done.cancelled) {
      if (::fsync(target->Handle()) != 0) {
        const int error = errno;
        throw EclStreamError("Cannot write file \"" + ask.localFile + "\". " +
                                 std::strerror(error),
                             error);
      }
      if (ask.stamp) workfile::SetFileTimes(temp, ask.date);
      if (::rename(temp.c_str(), ask.localFile.c_str()) != 0) {
        const int error = errno;
        throw EclStreamError("Cannot replace file \"" + ask.localFile + "\". " +
                                 std::strerror(error),
                             error);
      }
      temp.clear();
      SyncFolderOf(ask.localFile);
      // Only a work file of our own (created exclusively, still the same file) goes.
      if (ask.workId != 0 && SameFile(ask.workFile, ask.workId)) std::remove(ask.workFile.c_str());
    }
  } catch (const std::exception& e) {
    done.error = e.what();
  }
  if (!temp.empty()) std::remove(temp.c_str());
  return done;
}

// The file threads; each holds the queue it reports to. At process exit the
// ones still sizing are joined.
platform::TThreadSet& FileThreads() {
  static platform::TThreadSet threads;
  return threads;
}

}  // namespace

void workfile::SetFileTimes(const std::string& path, std::chrono::system_clock::time_point when) {
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(when.time_since_epoch()).count();
  timespec times[2];
  times[0].tv_sec = static_cast<time_t>(ns / 1000000000);
  times[0].tv_nsec = static_cast<long>(ns % 1000000000);
  times[1] = times[0];
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
    throw std::system_error(errno, std::generic_category(), "Cannot set the time of " + path);
}

void workfile::SetInflateHook(std::function<void()> hook) {
  std::lock_guard lock(InflateHookLock());
  InflateHookSlot() = std::move(hook);
}

std::string TclDownLoadItem::WorkFileName() const {
  auto* control = Control();
  if (allowCompression_ && !control->DoNotGetResourceInfo && resourceInfo_ &&
      resourceInfo_->Compressed)
    return localFile_ + "~";
  return localFile_;
}

std::shared_ptr<TclStream> TclDownLoadItem::GetDataStream() {
  if (!dataStream_ && localFile_.empty()) {
    dataStream_ = std::make_shared<TclMemoryStream>();
    ForgetWorkFile();
  }
  return dataStream_;
}

void TclDownLoadItem::PrepareDataFile(std::function<void()> next) {
  const int64_t size = resourceInfo_ ? resourceInfo_->Size : 0;
  auto ready = std::make_shared<TFileReady>();
  const bool ownFile = !streamSupplied_ && !localFile_.empty();
  TFileAsk ask;
  if (ownFile) {
    dataStream_.reset();
    ask.localFile = localFile_;
    ask.compressed = WorkFileName() != localFile_;
    ask.size = size;
    // Resume only into the file the segments were written to.
    if (resourceState_.Count() > 0) {
      ask.keptFile = workFile_;
      ask.keptId = workFileId_;
    }
    if (workFile_ != localFile_) {
      ask.dropFile = workFile_;
      ask.dropId = workFileId_;
    }
  }
  sizing_ = true;
  auto queue = Control()->OwnerQueue();
  auto call = std::make_shared<platform::CallQueue::Posted>();
  call->fn = [this, life = std::weak_ptr<int>(life_), ready, ownFile, next = std::move(next)] {
    if (life.expired()) return;
    sizing_ = false;
    for (auto& f : ready->replaced) replacedFiles_.push_back(std::move(f));
    if (ownFile && ready->stream) {
      if (!ready->kept) DeleteSegments();
      dataStream_ = ready->stream;
      workFile_ = ready->stream->FileName();
      workFileId_ = ready->stream->FileId();
    }
    bool failed = ownFile ? !ready->stream : !ready->error.empty();
    if (!failed && !stopping_) {
      try {
        next();
        return;
      } catch (const std::exception& e) {
        ready->error = e.what();
        failed = true;
      }
    }
    if (failed) {
      AddError(ready->error, 0);
      resourceState_.SetLastStatus(psFailed);
      UpdateStatus();
      stopping_ = true;  // the workers started, if any, end; nothing more starts
      for (auto& h : workers_) h.worker->Terminate();
    }
    if (!workers_.empty()) return;  // the last of them ends the item
    dataPhase_ = false;
    MakePreview();
    Complete();
  };
  if (!ownFile) {
    // A stream in memory or of the owner's: sized here, at once.
    try {
      auto stream = GetDataStream();
      std::lock_guard lock(*dataLock_);
      if (!streamSupplied_ || size > 0) stream->SetSize(size > 0 ? size : 0);
    } catch (const std::exception& e) {
      ready->error = e.what();
    }
    queue->Post(call);
    return;
  }
  try {
    FileThreads().Launch([ask, ready, call, queue] {
      *ready = PrepareFile(ask);
      try {
        queue->Post(call);
      } catch (const platform::CallQueueClosed&) {
        // The owner is gone; nobody waits for this file.
      }
    });
  } catch (const std::exception& e) {
    ready->error = e.what();
    queue->Post(call);
  }
}

void TclDownLoadItem::ForgetWorkFile() {
  workFile_.clear();
  workFileId_ = 0;
}

void TclDownLoadItem::DropWorkFile() {
  // Only a work file of our own (created exclusively, still the same file) goes.
  if (!workFile_.empty() && workFile_ != localFile_ && workFileId_ != 0 &&
      SameFile(workFile_, workFileId_))
    std::remove(workFile_.c_str());
  ForgetWorkFile();
}

void TclDownLoadItem::InflateWorkFile() {
  TInflateAsk ask;
  ask.workFile = workFile_;
  ask.workId = workFileId_;
  ask.localFile = localFile_;
  ask.stamp = Control()->CorrectResourceTime && resourceInfo_;
  if (resourceInfo_) ask.date = resourceInfo_->Date;
  auto cancel = std::make_shared<std::atomic<bool>>(false);
  inflating_ = cancel;
  auto done = std::make_shared<TInflateDone>();
  auto queue = Control()->OwnerQueue();
  auto call = std::make_shared<platform::CallQueue::Posted>();
  call->fn = [this, life = std::weak_ptr<int>(life_), done] {
    if (life.expired()) return;
    inflating_.reset();
    if (!done->error.empty()) {
      AddError(done->error, 0);
      resourceState_.SetLastStatus(psFailed);  // a file that could not be finished
    } else if (!done->cancelled) {
      ForgetWorkFile();  // removed on the file thread
    }
    // Cancelled: the work file stays, whole, for a later start.
    EndRun();
  };
  try {
    FileThreads().Launch(
        [ask, cancel, done, call, queue] {
          *done = InflateFile(ask, *cancel);
          try {
            queue->Post(call);
          } catch (const platform::CallQueueClosed&) {
            // The owner is gone; nobody waits for this file.
          }
        },
        [cancel] { cancel->store(true); });
  } catch (const std::exception& e) {
    done->error = e.what();
    queue->Post(call);
  }
}
