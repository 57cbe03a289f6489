#pragma once
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform {

// An event that lets one waiter through per Set() and then resets itself.
// A Set() with no waiter stays signalled until the next Wait().
class AutoResetEvent {
 public:
  explicit AutoResetEvent(bool initiallySet = false) : signalled_(initiallySet) {}
  AutoResetEvent(const AutoResetEvent&) = delete;
  AutoResetEvent& operator=(const AutoResetEvent&) = delete;

  void Set();
  void Reset();
  // Waits until signalled; returns false when the time ran out.
  bool Wait(std::chrono::milliseconds timeout);
  void Wait();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_;
};

// An event that stays signalled until Reset().
class ManualResetEvent {
 public:
  explicit ManualResetEvent(bool initiallySet = false) : signalled_(initiallySet) {}
  void Set();
  void Reset();
  bool IsSet();
  bool Wait(std::chrono::milliseconds timeout);
  void Wait();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_;
};

}  // namespace platform
