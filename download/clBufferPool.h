#pragma once
// Transfer buffers handed from one request or worker to the next. A fresh
// buffer of these sizes is mapped anew by malloc and costs a page fault per
// 4 KiB on first touch (and is unmapped again at free); at loopback speeds
// those faults were a noticeable share of the CPU per byte. A bounded number of
// buffers is kept, so a burst of workers leaves at most that much behind.
#include <cstddef>
#include <mutex>
#include <utility>
#include <vector>

namespace bufpool {

// Bytes that are written before they are read, so never zero-filled by us
// (a vector<char>'s resize cleared every worker's new chunks, a memset that
// showed in the profile). The pages are mapped in at once: touched one by one,
// each would cost a page fault, which is dear in a virtual machine.
class TRawBuffer {
 public:
  TRawBuffer() = default;
  ~TRawBuffer() { Release(); }
  TRawBuffer(TRawBuffer&& other) noexcept
      : bytes_(std::exchange(other.bytes_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  TRawBuffer& operator=(TRawBuffer&& other) noexcept {
    if (this != &other) {
      Release();
      bytes_ = std::exchange(other.bytes_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  char* data() { return bytes_; }
  size_t size() const { return size_; }
  size_t capacity() const { return size_; }
  bool empty() const { return size_ == 0; }
  // Same size: the bytes stay. Else a new buffer of unset bytes. Throws
  // std::bad_alloc when there is no memory.
  void resize(size_t n);

 private:
  void Release() noexcept;
  char* bytes_ = nullptr;
  size_t size_ = 0;
};

template <typename T>
class TReusePool {
 public:
  explicit TReusePool(size_t keep) : keep_(keep) {}
  // A kept buffer (its old contents and size), or an empty one.
  T Take() {
    std::lock_guard lock(mutex_);
    if (kept_.empty()) return T();
    T v = std::move(kept_.back());
    kept_.pop_back();
    return v;
  }
  // Kept for a later Take while fewer than `keep` are, else freed.
  void Give(T&& v) {
    if (v.capacity() == 0) return;
    std::lock_guard lock(mutex_);
    if (kept_.size() < keep_) kept_.push_back(std::move(v));
  }

 private:
  std::mutex mutex_;
  const size_t keep_;
  std::vector<T> kept_;
};

}  // namespace bufpool
