#pragma once

#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace platform {

// Short-lived background threads of one kind (start sweeps, file reads): each
// Launch runs its body on a thread of its own; ended threads are joined at the
// next Launch or ReapEnded, and the destructor joins every one still running,
// so none outlives what it uses when the set is a static. Any thread.
class TThreadSet {
 public:
  TThreadSet() = default;
  TThreadSet(const TThreadSet&) = delete;
  TThreadSet& operator=(const TThreadSet&) = delete;
  ~TThreadSet();

  // Throws std::system_error when no thread can be created; nothing is kept then.
  void Launch(std::function<void()> body);
  bool AllDone();
  void ReapEnded();

 private:
  struct Entry {
    std::thread thread;
    bool done = false;
  };
  void ReapEndedLocked();

  std::mutex mutex_;
  std::list<Entry> threads_;
};

}  // namespace platform
