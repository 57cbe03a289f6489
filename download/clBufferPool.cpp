#include "download/clBufferPool.h"

#include <sys/mman.h>

#include <new>

namespace bufpool {

void TRawBuffer::resize(size_t n) {
  if (n == size_) return;
  Release();
  if (n == 0) return;
  void* p = mmap(nullptr, n, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE,
                 -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  bytes_ = static_cast<char*>(p);
  size_ = n;
}

void TRawBuffer::Release() noexcept {
  if (bytes_) munmap(bytes_, size_);
  bytes_ = nullptr;
  size_ = 0;
}

}  // namespace bufpool
