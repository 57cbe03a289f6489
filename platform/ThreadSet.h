#pragma once

#include <functional>
#include <list>
#include <mutex>
#include <thread>

namespace platform {

// Background threads of one kind, each running one body (start sweeps, file
// reads, download workers, freeing of retired workers). Ended threads are joined
// at the next Launch or ReapEnded; StopAndJoin (and the destructor) asks every
// running one to stop through its stop callback, then joins them all, so none
// outlives the owner of the set or the statics it uses. Any thread, except that
// StopAndJoin must not run on a thread of the set.
class TThreadSet {
 public:
  TThreadSet() = default;
  TThreadSet(const TThreadSet&) = delete;
  TThreadSet& operator=(const TThreadSet&) = delete;
  ~TThreadSet();

  // Runs body on a thread of its own; stop (optional) is called once, on the
  // tearing-down thread, when the set is torn down while body still runs. The
  // launch hook runs first. Throws std::system_error when no thread can be
  // created (or whatever the hook throws); nothing is kept then.
  void Launch(std::function<void()> body, std::function<void()> stop = {});
  bool AllDone();
  // Threads whose body has not returned yet.
  int Live();
  void ReapEnded();
  // Stops and joins every thread; later Launches still work.
  void StopAndJoin();

  // Test seam: runs before each thread is created; an exception it raises
  // stands for a thread that could not be created. Empty removes it.
  void SetLaunchHook(std::function<void()> hook);

 private:
  struct Entry {
    std::thread thread;
    std::function<void()> stop;
    bool done = false;
  };
  void ReapEndedLocked();

  std::mutex mutex_;
  std::list<Entry> threads_;
  std::function<void()> launchHook_;
};

}  // namespace platform
