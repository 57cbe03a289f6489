// The worker's read loop: a chunk filled straight from the transport, written
// with one positioned write, and its blocks reported on the owner thread.
#include <algorithm>
#include <limits>

#include "download/clBufferPool.h"
#include "download/clMultiDC.h"
#include "download/clMultiDCAttempt.h"
#include "platform/CallQueue.h"

using namespace wininet;

namespace {
// A chunk holds this much data (or one block when BatchSize is larger). One
// read fills as much of it as has arrived, straight from the transport's
// receive callback; it is committed once less than one receive is left free.
constexpr size_t kChunkBytes = 128 * 1024;
constexpr size_t kChunkMinRoom = 64 * 1024;
constexpr size_t kChunkBlocks = 64;
// How long the worker waits for data on its own thread before it hands the
// wait to the connection's call thread.
constexpr int kOwnWaitMs = 20;
// Without block data: how often a stream of data wakes the owner thread for
// its reports (the window shows progress once a second).
constexpr auto kReportGap = std::chrono::milliseconds(20);

// The chunks of at most fifteen workers at a time (three items of five), each
// with two of its own and up to three in reports. Never destroyed: a detached
// worker may end during exit.
bufpool::TReusePool<bufpool::TRawBuffer>& ChunkPool() {
  static auto* pool = new bufpool::TReusePool<bufpool::TRawBuffer>(15 * 5);
  return *pool;
}
}  // namespace

TclDownLoadThreader::TChunk::~TChunk() {
  ChunkPool().Give(std::move(data));
}

void TclDownLoadThreader::ReadLoop(TclHttpOpenRequestAction& request) {
  if (dataStream_ && !spanKnown_) {
    std::lock_guard lock(*DataLock);
    dataStream_->SetPosition(0);
  }
  if (!spanKnown_) startPosition_ = 0;
  const size_t blockSize = static_cast<size_t>(BatchSize);
  // Without block data in the reports only the filling and the spare chunk are
  // used (each page of a chunk is mapped in at once).
  const int used = OnDataItemProceed && ReportBlockData ? kChunkCount : 2;
  for (int i = 0; i < used; ++i) {
    TChunk& chunk = chunks_[i];
    // One spare byte: the last block's terminator. A reused buffer of that
    // size is taken as it is: only what is read into it is looked at.
    const size_t size = std::max(kChunkBytes, blockSize) + 1;
    if (chunk.data.empty()) chunk.data = ChunkPool().Take();
    chunk.data.resize(size);
    chunk.used = 0;
    chunk.blocks.clear();
    chunk.blocks.reserve(kChunkBlocks);
  }
  // Every report of the last loop has run (it flushed at its end).
  filling_ = 0;
  spare_ = 1;
  reporting_.clear();
  free_.clear();
  for (int i = used - 1; i > 1; --i) free_.push_back(i);
  {
    // Blocks of a loop that failed before their report was queued stay unreported.
    std::lock_guard lock(pendingLock_);
    pending_.clear();
    pendingQueued_ = false;
  }
  chunkInfo_ = Info();
  TclInternetReadFileAction read(request.Connection().shared_from_this(), request.RootHandle(),
                                 request.Handle());
  struct TFlushAtEnd {
    TclDownLoadThreader* self;
    ~TFlushAtEnd() {
      try {
        self->Flush();
      } catch (...) {
        // On the way out of a failure the first error is the one that counts.
      }
    }
  } flushAtEnd{this};
  // A chunk's room: its free bytes, but no more than its blocks can report.
  auto room = [&](const TChunk& c) {
    const size_t free = c.data.size() - 1 - c.used;  // one byte: the terminator
    const size_t blocks = (kChunkBlocks - c.blocks.size()) * blockSize;
    return std::min(free, blocks);
  };
  // Reported in blocks of at most BatchSize.
  auto take = [&](TChunk& c, size_t n) {
    while (n > 0) {
      const size_t size = std::min(n, blockSize);
      c.used += size;
      c.blocks.push_back(
          {startPosition_ + static_cast<int64_t>(c.used), c.used - size, static_cast<int>(size)});
      n -= size;
    }
  };
  while (!Terminated()) {
    TChunk* chunk = &chunks_[filling_];
    if (!chunk->blocks.empty() && room(*chunk) < std::min(kChunkMinRoom, blockSize * kChunkBlocks)) {
      CommitChunk(true);
      chunk = &chunks_[filling_];
    }
    int64_t limit = std::numeric_limits<int64_t>::max();
    if (spanKnown_) {
      // The end may have been moved back by the item (work taken over). No lock:
      // the write clips to the end under the item's lock, so a stale end costs at
      // most this one read.
      limit = remainingLength_.load(std::memory_order_relaxed) - bytesReceived_ -
              static_cast<int64_t>(chunk->used);
      if (limit <= 0) break;
      if (requestEnd_ >= 0) {
        const int64_t inRequest = RequestLeft(chunk->used);
        if (inRequest <= 0) break;
        limit = std::min(limit, inRequest);
      }
    }
    // The chunk, and past it the spare one: what one step of the transport
    // brings in beyond the chunk then needs no copy through the transport's own
    // buffer.
    auto aim = [&] {
      TChunk& spare = chunks_[spare_];
      const int64_t toRead = std::min(static_cast<int64_t>(room(*chunk)), limit);
      const size_t spareRoom = std::min(spare.data.size() - 1, kChunkBlocks * blockSize);
      const int64_t spill = std::min(static_cast<int64_t>(spareRoom), limit - toRead);
      read.SetBuffer(chunk->data.data() + chunk->used, static_cast<DWORD>(toRead));
      read.SetSpill(spill > 0 ? spare.data.data() : nullptr,
                    static_cast<DWORD>(std::max<int64_t>(spill, 0)));
    };
    aim();
    // Most data has already arrived; before a wait for the network, what has
    // been read is written and reported.
    if (!read.ReadBuffered()) {
      if (!chunk->blocks.empty()) {
        CommitChunk(true);
        chunk = &chunks_[filling_];
        aim();
      }
      // A short wait here saves two thread switches per network wait; a longer
      // one goes to the call thread, whose wait has the time limit and ends at
      // a cancel. A cancel meanwhile is seen by that call at once.
      if (Terminated() || !read.ReadBuffered(kOwnWaitMs)) {
        WakeOwner();  // for reports posted without a wake: this may be a long wait
        read.Fire(TimeOut);
      }
    }
    const size_t n = read.BytesRead();
    if (n == 0) break;
    take(*chunk, n);
    if (const size_t spilled = read.BytesSpilled()) {
      const int64_t end = startPosition_ + static_cast<int64_t>(chunk->used);
      CommitChunk(true);  // full
      // The spilled bytes go on in the spare chunk, now the filling one, unless
      // the commit found the span's end moved back (they lie past it then).
      if (startPosition_ == end) {
        std::swap(filling_, spare_);
        take(chunks_[filling_], spilled);
      }
    }
  }
  CommitChunk();
  Flush();
  // A span that ended early is a broken transfer, to be resumed where it stopped.
  if (!Terminated() && SpanLeft() > 0 && RequestLeft(0) != 0)
    throw EclInternetError("The connection closed before the requested range was complete",
                           static_cast<int>(ERROR_INTERNET_CONNECTION_ABORTED));
}

// Writes the filling chunk with one call, counts its bytes as received and
// reports its blocks; filling_ is then an empty chunk.
void TclDownLoadThreader::CommitChunk(bool soon) {
  TChunk& chunk = chunks_[filling_];
  if (chunk.blocks.empty()) return;
  // A file takes positioned writes from several workers at once, so its write
  // runs outside the item's lock: the owner thread takes that lock too, and a
  // write may wait for the disk. What it writes is claimed under the lock first
  // (the start moves past it), so a span end moved back meanwhile never lies
  // inside it. Other streams are written under the lock.
  const bool fileWrite = dataStream_ && dynamic_cast<TclFileStream*>(dataStream_.get());
  int64_t writeAt = 0;
  {
    std::unique_lock<std::mutex> lock;
    if (DataLock) lock = std::unique_lock(*DataLock);
    // Bytes read past an end that was moved back meanwhile belong to another worker.
    if (spanKnown_) {
      const auto room = static_cast<size_t>(std::max<int64_t>(0, SpanLeftLocked()));
      if (chunk.used > room) {
        chunk.used = room;
        const int64_t end = startPosition_ + static_cast<int64_t>(room);
        while (!chunk.blocks.empty() &&
               chunk.blocks.back().position - chunk.blocks.back().size >= end)
          chunk.blocks.pop_back();
        if (!chunk.blocks.empty() && chunk.blocks.back().position > end) {
          chunk.blocks.back().size -= static_cast<int>(chunk.blocks.back().position - end);
          chunk.blocks.back().position = end;
        }
      }
    }
    writeAt = startPosition_;
    if (dataStream_ && chunk.used > 0 && !fileWrite) {
      if (spanKnown_) {
        dataStream_->WriteBufferAt(startPosition_, chunk.data.data(), chunk.used);
      } else {
        dataStream_->WriteBuffer(chunk.data.data(), chunk.used);
      }
    }
    bytesReceived_ += static_cast<int64_t>(chunk.used);
    startPosition_ += static_cast<int64_t>(chunk.used);
  }
  if (fileWrite && chunk.used > 0) {
    try {
      dataStream_->WriteBufferAt(writeAt, chunk.data.data(), chunk.used);
    } catch (...) {
      // Not written, so not received: a new attempt asks for these bytes again.
      std::unique_lock<std::mutex> lock;
      if (DataLock) lock = std::unique_lock(*DataLock);
      bytesReceived_ -= static_cast<int64_t>(chunk.used);
      startPosition_ = writeAt;
      throw;
    }
    // Without a span the stream's own position is where the next write goes.
    if (!spanKnown_) {
      std::unique_lock<std::mutex> lock;
      if (DataLock) lock = std::unique_lock(*DataLock);
      dataStream_->SetPosition(writeAt + static_cast<int64_t>(chunk.used));
    }
  }
  if (chunk.blocks.empty()) {
    chunk.used = 0;
    return;
  }
  if (!OnDataItemProceed || !ReportBlockData) {
    if (OnDataItemProceed) QueueReport(chunk.blocks, soon);
    chunk.used = 0;
    chunk.blocks.clear();
    return;
  }
  // Posting waits for the oldest report when kReportDepth are in flight, so
  // one chunk at least is free after it.
  const int reported = filling_;
  Post([this, reported] { ReportChunk(chunks_[reported]); }, soon);
  reporting_.push_back(reported);
  while (reporting_.size() > PostsInFlight()) {
    free_.push_back(reporting_.front());
    reporting_.pop_front();
  }
  filling_ = free_.back();
  free_.pop_back();
  chunks_[filling_].used = 0;
  chunks_[filling_].blocks.clear();
}

// Without block data: the blocks join those not yet reported; a call that
// reports them all is queued unless one is waiting to begin.
void TclDownLoadThreader::QueueReport(const std::vector<TBlock>& blocks, bool soon) {
  bool queue;
  {
    std::lock_guard lock(pendingLock_);
    pending_.insert(pending_.end(), blocks.begin(), blocks.end());
    queue = !pendingQueued_;
    pendingQueued_ = true;
  }
  const auto now = std::chrono::steady_clock::now();
  const bool wake = !soon || now - lastWake_ >= kReportGap;
  if (wake) lastWake_ = now;
  if (queue) {
    try {
      if (wake) {
        Post([this] { ReportPending(); });
      } else {
        PostQuietly([this] { ReportPending(); });
      }
    } catch (...) {
      // Not queued: an earlier report's exception, raised here.
      std::lock_guard lock(pendingLock_);
      pendingQueued_ = false;
      throw;
    }
  } else if (wake) {
    WakeOwner();
  }
}

void TclDownLoadThreader::ReportPending() {
  {
    std::lock_guard lock(pendingLock_);
    draining_.assign(pending_.begin(), pending_.end());
    pending_.clear();
    pendingQueued_ = false;
  }
  for (const auto& b : draining_) OnDataItemProceed(this, chunkInfo_, b.position, nullptr, b.size);
}

// Owner thread: one callback per block, in order. Each block is handed over with
// a terminating zero, which borrows the next block's first byte for the call.
void TclDownLoadThreader::ReportChunk(TChunk& chunk) {
  for (const auto& b : chunk.blocks) {
    char* data = chunk.data.data() + b.offset;
    char& after = data[b.size];
    const char saved = after;
    after = 0;
    struct TRestore {
      char& at;
      char value;
      ~TRestore() { at = value; }
    } restore{after, saved};
    OnDataItemProceed(this, chunkInfo_, b.position, data, b.size);
  }
}
