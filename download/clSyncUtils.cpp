#include "download/clSyncUtils.h"

#include <algorithm>

TclThreadSynchronizer::TclThreadSynchronizer(std::shared_ptr<platform::CallQueue> owner)
    : baseThreadId_(owner->BaseThread()), queue_(std::move(owner)) {
  TclSynchronizerManager::Instance().Register(queue_);
}

TclThreadSynchronizer::~TclThreadSynchronizer() {
  try {
    Flush();  // a posted call may still refer to its poster
  } catch (...) {
  }
  TclSynchronizerManager::Instance().Unregister(queue_.get());
}

void TclThreadSynchronizer::Synchronize(const std::function<void()>& method) {
  if (!method) return;
  Flush();  // calls reach the owner in the order they were made
  if (std::this_thread::get_id() == baseThreadId_) {
    method();
    return;
  }
  std::lock_guard lock(lock_);
  // The base thread catches and keeps the exception, and is done with it before the
  // call completes; the worker then holds the only reference and raises it.
  std::exception_ptr caught;
  queue_->Call([&] {
    try {
      method();
    } catch (...) {
      caught = std::current_exception();
    }
  });
  if (caught) std::rethrow_exception(caught);
}

void TclThreadSynchronizer::Post(std::function<void()> method, bool more) {
  Settle(depth_ - 1);
  if (!method) return;
  Queue(std::move(method), more && inFlight_.size() + 2 < depth_);
}

void TclThreadSynchronizer::PostQuietly(std::function<void()> method) {
  Settle(depth_ - 1);
  if (!method) return;
  Queue(std::move(method), true);
}

void TclThreadSynchronizer::Queue(std::function<void()> method, bool quietly) {
  std::shared_ptr<platform::CallQueue::Posted> call;
  if (spare_.empty()) {
    call = std::make_shared<platform::CallQueue::Posted>();
  } else {
    call = std::move(spare_.back());
    spare_.pop_back();
  }
  call->fn = std::move(method);
  if (quietly) {
    queue_->PostQuietly(call);
  } else {
    queue_->Post(call);
  }
  quiet_ = quietly;  // a wake is for the quiet calls before it too
  inFlight_.push_back(std::move(call));
}

void TclThreadSynchronizer::Wake() {
  if (!quiet_) return;
  quiet_ = false;
  queue_->Wake();
}

void TclThreadSynchronizer::Flush() {
  Settle(0);
}

void TclThreadSynchronizer::Settle(size_t keep) {
  std::exception_ptr first;
  auto retire = [&] {
    auto call = std::move(inFlight_.front());
    inFlight_.pop_front();
    try {
      queue_->Wait(call);  // has run, or runs now: raises its exception once
    } catch (...) {
      if (!first) first = std::current_exception();
    }
    call->fn = nullptr;  // what it captured is released here, on the poster's thread
    spare_.push_back(std::move(call));
  };
  while (!inFlight_.empty() && queue_->HasRun(*inFlight_.front())) retire();
  if (inFlight_.size() > keep) quiet_ = false;  // the waits below wake the owner
  while (inFlight_.size() > keep) retire();
  if (first) std::rethrow_exception(first);
}

TclSynchronizerManager& TclSynchronizerManager::Instance() {
  // Never destroyed: synchronizers of detached workers may unregister during exit.
  static auto* instance = new TclSynchronizerManager();
  return *instance;
}

void TclSynchronizerManager::Register(const std::shared_ptr<platform::CallQueue>& queue) {
  std::lock_guard lock(lock_);
  // Keyed by the queue, not the thread id: ids of ended threads are reused.
  auto it = std::find_if(list_.begin(), list_.end(),
                         [&](const TclSyncInfo& info) { return info.queue == queue; });
  if (it == list_.end()) {
    list_.push_back(TclSyncInfo{queue->BaseThread(), queue, 0});
    it = list_.end() - 1;
  }
  ++it->refCount;
}

void TclSynchronizerManager::Unregister(const platform::CallQueue* queue) {
  std::lock_guard lock(lock_);
  auto it = std::find_if(list_.begin(), list_.end(),
                         [&](const TclSyncInfo& info) { return info.queue.get() == queue; });
  if (it == list_.end()) return;
  if (--it->refCount <= 0) list_.erase(it);
}

size_t TclSynchronizerManager::RegistrationCount() const {
  std::lock_guard lock(lock_);
  return list_.size();
}

int TclSynchronizerManager::ReferenceCount(std::thread::id baseThread) const {
  std::lock_guard lock(lock_);
  int count = 0;
  for (const auto& info : list_)
    if (info.baseThreadId == baseThread) count += info.refCount;
  return count;
}
