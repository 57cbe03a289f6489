#include "platform/ThreadSet.h"

#include <vector>

namespace platform {

TThreadSet::~TThreadSet() {
  StopAndJoin();
}

void TThreadSet::StopAndJoin() {
  std::list<Entry> all;
  std::vector<std::function<void()>> stops;
  {
    std::lock_guard lock(mutex_);
    all.swap(threads_);
    for (Entry& e : all)
      if (!e.done && e.stop) stops.push_back(std::move(e.stop));
  }
  // Outside the lock: a stop callback or an ending body may use the set.
  for (auto& stop : stops) stop();
  for (Entry& e : all)
    if (e.thread.joinable()) e.thread.join();
}

void TThreadSet::Launch(std::function<void()> body, std::function<void()> stop) {
  std::lock_guard lock(mutex_);
  ReapEndedLocked();
  if (launchHook_) launchHook_();
  Entry& entry = threads_.emplace_back();
  entry.stop = std::move(stop);
  try {
    entry.thread = std::thread([this, &entry, body = std::move(body)]() mutable {
      body();
      body = nullptr;  // what it holds goes before the thread counts as ended
      std::lock_guard lock(mutex_);
      entry.done = true;
    });
  } catch (...) {
    threads_.pop_back();
    throw;
  }
}

bool TThreadSet::AllDone() {
  return Live() == 0;
}

int TThreadSet::Live() {
  std::lock_guard lock(mutex_);
  int n = 0;
  for (const Entry& e : threads_)
    if (!e.done) ++n;
  return n;
}

void TThreadSet::ReapEnded() {
  std::lock_guard lock(mutex_);
  ReapEndedLocked();
}

void TThreadSet::SetLaunchHook(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  launchHook_ = std::move(hook);
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
