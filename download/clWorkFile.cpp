// The file an item's segments are written to. A download that starts from zero
// always gets a new file (another inode), so a claim on the old file's bytes,
// wherever it is still kept, can never be taken for the new file's; a
// compressed resource's work file is created exclusively, so nobody else's file
// is written to or removed.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "download/clMultiDownLoader.h"
#include "platform/Files.h"

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

// A new file at path: created there when the name is free, else created beside
// it under a short hidden name and renamed over it. Both files exist at the
// same time, so the new one never gets the old one's inode number. The old
// file stays open (emptied, when no other name links to it) in kept, so its
// number is not handed out again while this process runs: a claim on the old
// file, still in a journal, can never match a later new file either.
std::shared_ptr<TclFileStream> NewFileAt(const std::string& path,
                                         std::vector<std::shared_ptr<TclFileStream>>& kept) {
  if (auto stream = CreateNew(path)) return stream;
  const std::string hidden = platform::ExtractFilePath(path) + ".vantorel-" +
                             std::to_string(::getpid()) + "-";
  for (int n = 0; n < kNameTries; ++n) {
    const std::string temp = hidden + std::to_string(n) + ".part";
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

// "<file>~", else "<file>~2", "<file>~3", ...: never a file that exists.
std::shared_ptr<TclFileStream> NewWorkFileBeside(const std::string& file) {
  for (int n = 1; n <= kNameTries; ++n) {
    auto stream = CreateNew(file + "~" + (n == 1 ? std::string() : std::to_string(n)));
    if (stream) return stream;
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
  if (::statvfs(folder.c_str(), &vfs) != 0) return;
  auto room = static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
  struct stat st {};
  if (::stat(file.c_str(), &st) == 0) room += static_cast<uint64_t>(st.st_blocks) * 512;  // replaced
  if (static_cast<uint64_t>(size) <= room) return;
  throw EclStreamError("The resource has " + std::to_string(size) + " bytes, but only " +
                           std::to_string(room) + " bytes are free in \"" + folder + "\". " +
                           std::strerror(ENOSPC),
                       ENOSPC);
}

}  // namespace

std::string TclDownLoadItem::WorkFileName() const {
  auto* control = Control();
  if (allowCompression_ && !control->DoNotGetResourceInfo && resourceInfo_ &&
      resourceInfo_->Compressed)
    return localFile_ + "~";
  return localFile_;
}

std::shared_ptr<TclStream> TclDownLoadItem::GetDataStream() {
  if (dataStream_) return dataStream_;
  if (localFile_.empty()) {
    dataStream_ = std::make_shared<TclMemoryStream>();
    ForgetWorkFile();
    return dataStream_;
  }
  const int64_t size = resourceInfo_ ? resourceInfo_->Size : 0;
  // Resume only into the file the segments were written to.
  if (resourceState_.Count() > 0) dataStream_ = OpenKeptWorkFile(size);
  if (!dataStream_) {
    DeleteSegments();
    dataStream_ = CreateWorkFile(size);
  }
  return dataStream_;
}

std::shared_ptr<TclStream> TclDownLoadItem::OpenKeptWorkFile(int64_t size) {
  // Compressed then and not now (or the other way round): another file.
  const bool compressed = WorkFileName() != localFile_;
  if (workFile_.empty() || (workFile_ != localFile_) != compressed) return nullptr;
  if (!platform::FileExists(workFile_)) return nullptr;
  try {
    auto stream = std::make_shared<TclFileStream>(workFile_, TclFileStream::fmOpenReadWrite);
    if (workFileId_ != 0 && stream->FileId() != workFileId_) return nullptr;
    if (size > 0 && stream->Size() != size) return nullptr;
    workFileId_ = stream->FileId();
    return stream;
  } catch (const EclStreamError&) {
    return nullptr;
  }
}

std::shared_ptr<TclStream> TclDownLoadItem::CreateWorkFile(int64_t size) {
  DropWorkFile();
  CreateFolderOf(localFile_);
  CheckRoomFor(localFile_, size);
  auto stream = WorkFileName() != localFile_ ? NewWorkFileBeside(localFile_)
                                             : NewFileAt(localFile_, replacedFiles_);
  workFile_ = stream->FileName();
  workFileId_ = stream->FileId();
  return stream;
}

void TclDownLoadItem::RenewWorkFile() {
  if (streamSupplied_) return;
  dataStream_.reset();
  auto stream = GetDataStream();
  const int64_t size = resourceInfo_ ? resourceInfo_->Size : 0;
  std::lock_guard lock(*dataLock_);
  stream->SetSize(size > 0 ? size : 0);
}

void TclDownLoadItem::DropWorkFile() {
  // Only a work file of our own (created exclusively, still the same file) goes.
  if (!workFile_.empty() && workFile_ != localFile_ && workFileId_ != 0) {
    struct stat st {};
    if (::stat(workFile_.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_ino) == workFileId_)
      std::remove(workFile_.c_str());
  }
  ForgetWorkFile();
}

void TclDownLoadItem::ForgetWorkFile() {
  workFile_.clear();
  workFileId_ = 0;
}
