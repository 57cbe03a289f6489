#include "platform/ThreadSet.h"

namespace platform {

TThreadSet::~TThreadSet() {
  std::list<Entry> all;
  {
    std::lock_guard lock(mutex_);
    all.swap(threads_);
  }
  for (Entry& e : all)
    if (e.thread.joinable()) e.thread.join();
}

void TThreadSet::Launch(std::function<void()> body) {
  std::lock_guard lock(mutex_);
  ReapEndedLocked();
  Entry& entry = threads_.emplace_back();
  try {
    entry.thread = std::thread([this, &entry, body = std::move(body)] {
      body();
      std::lock_guard lock(mutex_);
      entry.done = true;
    });
  } catch (...) {
    threads_.pop_back();
    throw;
  }
}

bool TThreadSet::AllDone() {
  std::lock_guard lock(mutex_);
  for (const Entry& e : threads_)
    if (!e.done) return false;
  return true;
}

void TThreadSet::ReapEnded() {
  std::lock_guard lock(mutex_);
  ReapEndedLocked();
}

// A thread marked done only has its final unlock left: joining is immediate.
void TThreadSet::ReapEndedLocked() {
  for (auto it = threads_.begin(); it != threads_.end();) {
    if (it->done) {
      it->thread.join();
      it = threads_.erase(it);
    } else {
      ++it;
    }
  }
}

}  // namespace platform
