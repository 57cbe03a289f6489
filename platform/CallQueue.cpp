#include "platform/CallQueue.h"

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

CallQueue::~CallQueue() { Shutdown(); }

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
  arrived_.notify_all();
  if (waker) waker();
  std::unique_lock lock(mutex_);
  finished_.wait(lock, [&] { return item->done; });
  if (item->error) std::rethrow_exception(item->error);
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
      item->fn();
    } catch (...) {
      error = std::current_exception();
    }
    {
      std::lock_guard lock(mutex_);
      item->error = error;
      item->done = true;
    }
    finished_.notify_all();
    ++ran;
  }
  return ran;
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
      item->error = std::make_exception_ptr(CallQueueClosed());
      item->done = true;
    }
  }
  finished_.notify_all();
  arrived_.notify_all();
}

size_t CallQueue::Pending() const {
  std::lock_guard lock(mutex_);
  return queue_.size();
}

bool PumpUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  auto queue = CallQueue::Current();
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    queue->Drain();
    if (pred()) return true;
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return pred();
    // Wake at least every 10 ms: pred() may change without a call arriving.
    auto step = std::min<std::chrono::steady_clock::duration>(deadline - now, std::chrono::milliseconds(10));
    queue->WaitAndDrain(std::chrono::duration_cast<std::chrono::milliseconds>(step));
  }
}

}  // namespace platform
