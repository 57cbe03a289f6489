#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>

// Byte streams of the download engine: the item's data stream (a file or memory)
// and the gzip decoder's destination. Offsets and sizes are 64-bit.
class TclStream {
 public:
  enum TSeekOrigin { soBeginning = 0, soCurrent = 1, soEnd = 2 };
  virtual ~TclStream() = default;
  virtual size_t Read(void* buffer, size_t count) = 0;
  virtual size_t Write(const void* buffer, size_t count) = 0;
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t Size() = 0;
  virtual void SetSize(int64_t size) = 0;
  int64_t Position() { return Seek(0, soCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, soBeginning); }
  // Writes everything or raises EclStreamError.
  void WriteBuffer(const void* buffer, size_t count);
  // Writes everything at the offset (the position afterwards is unspecified).
  virtual void WriteBufferAt(int64_t offset, const void* buffer, size_t count) {
    SetPosition(offset);
    WriteBuffer(buffer, count);
  }
};

class EclStreamError : public std::runtime_error {
 public:
  explicit EclStreamError(const std::string& text, int error = 0)
      : std::runtime_error(text), error_(error) {}
  // The system's errno behind it, 0 when none.
  int ErrorCode() const { return error_; }

 private:
  int error_;
};

class TclMemoryStream : public TclStream {
 public:
  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }
  void SetSize(int64_t size) override;
  const std::string& Data() const { return data_; }

 private:
  std::string data_;
  int64_t pos_ = 0;
};

// A file opened for reading and writing; raises EclStreamError when it cannot be
// opened. fmCreate truncates or creates, fmOpenReadWrite keeps the contents,
// fmCreateNew creates a file that must not exist yet (EclStreamError with
// ErrorCode() EEXIST when it does). Write errors name the system's reason.
class TclFileStream : public TclStream {
 public:
  enum TOpenMode { fmCreate, fmOpenRead, fmOpenReadWrite, fmCreateNew };
  TclFileStream(const std::string& fileName, TOpenMode mode);
  ~TclFileStream() override;
  TclFileStream(const TclFileStream&) = delete;
  TclFileStream& operator=(const TclFileStream&) = delete;
  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override;
  void SetSize(int64_t size) override;
  // One positioned write instead of a seek and a write.
  void WriteBufferAt(int64_t offset, const void* buffer, size_t count) override;
  // The file's identity (its inode number), 0 when it cannot be told.
  uint64_t FileId() const;
  const std::string& FileName() const { return fileName_; }
  int Handle() const { return fd_; }
  // The file was renamed (it keeps its descriptor and identity).
  void Moved(const std::string& fileName) { fileName_ = fileName; }

 private:
  int fd_ = -1;
  std::string fileName_;
};
