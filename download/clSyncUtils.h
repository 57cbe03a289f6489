#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/CallQueue.h"

// Runs a worker's callback on the thread that created the synchronizer (its base
// thread) and blocks the worker until it has run; an exception thrown by the callback
// is thrown again in the worker. Delivery goes through the base thread's
// platform::CallQueue, which that thread must keep draining.
class TclThreadSynchronizer {
 public:
  // Binds to the calling thread and registers that thread with the manager.
  TclThreadSynchronizer();
  ~TclThreadSynchronizer();
  TclThreadSynchronizer(const TclThreadSynchronizer&) = delete;
  TclThreadSynchronizer& operator=(const TclThreadSynchronizer&) = delete;

  // Any thread. From the base thread the method runs at once. Waits for a posted
  // call first.
  void Synchronize(const std::function<void()>& method);
  // Queues the method on the base thread and returns at once; one posted call at a
  // time: the next Post, Synchronize or Flush waits for it and raises its exception.
  // Whatever the method reads must stay unchanged until then.
  void Post(std::function<void()> method);
  void Flush();

  std::thread::id BaseThreadId() const { return baseThreadId_; }

 private:
  std::thread::id baseThreadId_;
  std::shared_ptr<platform::CallQueue> queue_;
  std::mutex lock_;  // one call per synchronizer in flight
  std::shared_ptr<platform::CallQueue::Posted> posted_;
  bool postPending_ = false;  // the thread that posts is the one that flushes
};

// Process-wide bookkeeping of the threads that synchronizers are bound to: one
// registration per base thread queue, counted by its live synchronizers.
class TclSynchronizerManager {
 public:
  static TclSynchronizerManager& Instance();

  // Registers the calling thread's queue (or counts one more user) and returns it.
  std::shared_ptr<platform::CallQueue> Register();
  // Any thread: counts one user less; the last one removes the registration at once,
  // so registrations of worker threads that never drain are not left behind.
  void Unregister(const platform::CallQueue* queue);

  // For diagnostics and tests.
  size_t RegistrationCount() const;
  int ReferenceCount(std::thread::id baseThread) const;

 private:
  struct TclSyncInfo {
    std::thread::id baseThreadId;
    std::shared_ptr<platform::CallQueue> queue;
    int refCount = 0;
  };

  mutable std::mutex lock_;
  std::vector<TclSyncInfo> list_;
};
