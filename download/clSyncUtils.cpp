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

void TclThreadSynchronizer::Post(std::function<void()> method) {
  Flush();
  if (!method) return;
  if (!posted_) posted_ = std::make_shared<platform::CallQueue::Posted>();
  posted_->fn = std::move(method);
  queue_->Post(posted_);
  postPending_ = true;
}

void TclThreadSynchronizer::Flush() {
  if (!postPending_) return;
  postPending_ = false;
  queue_->Wait(posted_);
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
