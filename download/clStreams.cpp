#include "download/clStreams.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// What a failed write tells the user: the system's reason (a full disk says so).
std::string WriteErrorText(const std::string& file, int error) {
  std::string text = file.empty() ? "Stream write error" : "Cannot write to \"" + file + "\"";
  return error != 0 ? text + ". " + std::strerror(error) : text;
}

}  // namespace

void TclStream::WriteBuffer(const void* buffer, size_t count) {
  if (count == 0) return;
  errno = 0;
  if (Write(buffer, count) != count) {
    const int error = errno;
    auto* file = dynamic_cast<TclFileStream*>(this);
    throw EclStreamError(WriteErrorText(file ? file->FileName() : std::string(), error), error);
  }
}

size_t TclMemoryStream::Read(void* buffer, size_t count) {
  if (pos_ >= Size()) return 0;
  size_t n = std::min<size_t>(count, data_.size() - static_cast<size_t>(pos_));
  std::memcpy(buffer, data_.data() + pos_, n);
  pos_ += static_cast<int64_t>(n);
  return n;
}

size_t TclMemoryStream::Write(const void* buffer, size_t count) {
  size_t end = static_cast<size_t>(pos_) + count;
  if (end > data_.size()) data_.resize(end);
  std::memcpy(data_.data() + pos_, buffer, count);
  pos_ = static_cast<int64_t>(end);
  return count;
}

int64_t TclMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? pos_ : Size();
  pos_ = std::max<int64_t>(0, base + offset);
  return pos_;
}

void TclMemoryStream::SetSize(int64_t size) {
  data_.resize(static_cast<size_t>(std::max<int64_t>(0, size)));
  pos_ = std::min(pos_, size);
}

TclFileStream::TclFileStream(const std::string& fileName, TOpenMode mode) : fileName_(fileName) {
  int flags = mode == fmCreate      ? O_RDWR | O_CREAT | O_TRUNC
              : mode == fmCreateNew ? O_RDWR | O_CREAT | O_EXCL
              : mode == fmOpenRead  ? O_RDONLY
                                    : O_RDWR;
  fd_ = ::open(fileName.c_str(), flags | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    const int error = errno;
    throw EclStreamError("Cannot open file \"" + fileName + "\". " + std::strerror(error), error);
  }
}

TclFileStream::~TclFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

size_t TclFileStream::Read(void* buffer, size_t count) {
  ssize_t n;
  do n = ::read(fd_, buffer, count);
  while (n < 0 && errno == EINTR);
  return n < 0 ? 0 : static_cast<size_t>(n);
}

size_t TclFileStream::Write(const void* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::write(fd_, static_cast<const char*>(buffer) + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

int64_t TclFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  int whence = origin == soBeginning ? SEEK_SET : origin == soCurrent ? SEEK_CUR : SEEK_END;
  return ::lseek(fd_, offset, whence);
}

int64_t TclFileStream::Size() {
  struct stat st {};
  return ::fstat(fd_, &st) == 0 ? st.st_size : -1;
}

uint64_t TclFileStream::FileId() const {
  struct stat st {};
  return ::fstat(fd_, &st) == 0 ? static_cast<uint64_t>(st.st_ino) : 0;
}

void TclFileStream::SetSize(int64_t size) {
  if (::ftruncate(fd_, size) != 0) {
    const int error = errno;
    throw EclStreamError("Cannot set the size of \"" + fileName_ + "\". " + std::strerror(error),
                         error);
  }
  if (Position() > size) Seek(size, soBeginning);
}

void TclFileStream::WriteBufferAt(int64_t offset, const void* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    ssize_t n = ::pwrite(fd_, static_cast<const char*>(buffer) + done, count - done,
                         static_cast<off_t>(offset + static_cast<int64_t>(done)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int error = n < 0 ? errno : 0;
      throw EclStreamError(WriteErrorText(fileName_, error), error);
    }
    done += static_cast<size_t>(n);
  }
}
