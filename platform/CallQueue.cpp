#include "platform/CallQueue.h"

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <utility>

namespace platform {
namespace {

// Shuts the queue down when its thread ends, so that callers never wait for a
// thread that no longer drains.
struct ThreadQueueHolder {
  std::shared_ptr<CallQueue> queue;
  ~ThreadQueueHolder() {
    if (queue) queue->Shutdown();
  }
};

thread_local ThreadQueueHolder t_holder;

}  // namespace

std::shared_ptr<CallQueue> CallQueue::Current() {
  if (!t_holder.queue) t_holder.queue = std::make_shared<CallQueue>();
  return t_holder.queue;
}

CallQueue::CallQueue() : base_(std::this_thread::get_id()) {}

CallQueue::~CallQueue() {
  Shutdown();
}

void CallQueue::Call(const std::function<void()>& fn) {
  if (IsBaseThread()) {
    fn();
    return;
  }
  auto item = std::make_shared<Item>();
  item->fn = fn;
  std::function<void()> waker;
  {
    std::lock_guard lock(mutex_);
    if (closed_) throw CallQueueClosed();
    queue_.push_back(item);
    waker = waker_;
  }
  WakeBase(waker);
  std::unique_lock lock(mutex_);
  item->finished.wait(lock, [&] { return item->done; });
  if (item->error) std::rethrow_exception(item->error);
}

void CallQueue::Post(const std::shared_ptr<Posted>& call) {
  Queue(call, true);
}

void CallQueue::PostQuietly(const std::shared_ptr<Posted>& call) {
  Queue(call, false);
}

void CallQueue::Queue(const std::shared_ptr<Posted>& call, bool wake) {
  auto item = std::make_shared<Item>();
  item->posted = call;
  std::function<void()> waker;
  {
    std::lock_guard lock(mutex_);
    if (closed_) throw CallQueueClosed();
    call->done = false;
    call->error = nullptr;
    queue_.push_back(std::move(item));
    if (wake) waker = waker_;
  }
  if (!wake) return;
  WakeBase(waker);
}

// Outside the lock: a draining base thread and the event loop's waker.
void CallQueue::WakeBase(const std::function<void()>& waker) {
  arrived_.notify_all();
  if (waker) waker();
}

void CallQueue::Wake() {
  std::function<void()> waker;
  {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) return;
    waker = waker_;
  }
  WakeBase(waker);
}

void CallQueue::Wait(const std::shared_ptr<Posted>& call) {
  std::exception_ptr error;
  {
    std::unique_lock lock(mutex_);
    if (IsBaseThread()) {
      // Nobody else drains this queue: run it here until the call has run.
      while (!call->done) {
        lock.unlock();
        const size_t ran = Drain();
        lock.lock();
        if (ran > 0 || call->done) continue;
        if (closed_) throw CallQueueClosed();  // not queued here: it can never run
        arrived_.wait(lock, [&] { return call->done || !queue_.empty() || closed_; });
      }
    } else if (!call->done) {
      // It, or a call before it, may have been posted quietly.
      std::function<void()> waker = waker_;
      lock.unlock();
      WakeBase(waker);
      lock.lock();
      call->finished.wait(lock, [&] { return call->done; });
    }
    error = std::exchange(call->error, nullptr);
  }
  if (error) std::rethrow_exception(error);
}

bool CallQueue::HasRun(const Posted& call) const {
  std::lock_guard lock(mutex_);
  return call.done;
}

size_t CallQueue::Drain() {
  size_t ran = 0;
  for (;;) {
    std::shared_ptr<Item> item;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty()) break;
      item = queue_.front();
      queue_.pop_front();
    }
    std::exception_ptr error;
    try {
      if (item->posted) {
        item->posted->fn();
      } else {
        item->fn();
      }
    } catch (...) {
      error = std::current_exception();
    }
    Finish(*item, error);
    ++ran;
  }
  return ran;
}

void CallQueue::Finish(Item& item, std::exception_ptr error) {
  {
    std::lock_guard lock(mutex_);
    if (item.posted) {
      item.posted->error = error;
      item.posted->done = true;
    } else {
      item.error = error;
      item.done = true;
    }
  }
  if (item.posted) {
    item.posted->finished.notify_one();
  } else {
    item.finished.notify_one();
  }
}

size_t CallQueue::WaitAndDrain(std::chrono::milliseconds timeout) {
  {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, timeout, [this] { return !queue_.empty() || closed_; });
  }
  return Drain();
}

void CallQueue::SetWaker(std::function<void()> waker) {
  std::lock_guard lock(mutex_);
  waker_ = std::move(waker);
}

void CallQueue::Shutdown() {
  std::deque<std::shared_ptr<Item>> dropped;
  {
    std::lock_guard lock(mutex_);
    closed_ = true;
    waker_ = nullptr;
    dropped.swap(queue_);
    for (auto& item : dropped) {
      auto closedError = std::make_exception_ptr(CallQueueClosed());
      if (item->posted) {
        item->posted->error = closedError;
        item->posted->done = true;
      } else {
        item->error = closedError;
        item->done = true;
      }
    }
  }
  for (auto& item : dropped) (item->posted ? item->posted->finished : item->finished).notify_one();
  arrived_.notify_all();
}

size_t CallQueue::Pending() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

void FailOwnerCheck(const CallQueue& queue, const char* fn) {
  std::ostringstream ids;
  ids << "on thread " << std::this_thread::get_id() << ", owner thread " << queue.BaseThread();
  std::fprintf(stderr, "Owner-thread check failed: %s called off its owner thread (%s)\n", fn,
               ids.str().c_str());
  std::fflush(stderr);
  std::abort();
}

bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  return PumpUntil(*CallQueue::Current(), pred, timeout);
}

bool PumpUntil(CallQueue& queue, const std::function<bool()>& pred,
               std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    queue.Drain();
    if (pred()) return true;
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return pred();
    // Wake at least every 10 ms: pred() may change without a call arriving.
    auto step = std::min<std::chrono::steady_clock::duration>(deadline - now,
                                                              std::chrono::milliseconds(10));
    queue.WaitAndDrain(std::chrono::duration_cast<std::chrono::milliseconds>(step));
  }
}

}  // namespace platform
