#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/CallQueue.h"

// Runs a worker's callback on its owner thread (the base thread of the owner
// queue it is given) and blocks the worker until it has run; an exception thrown
// by the callback is thrown again in the worker. The owner thread must keep
// draining that platform::CallQueue.
class TclThreadSynchronizer {
 public:
  // Registers the owner queue with the manager.
  explicit TclThreadSynchronizer(std::shared_ptr<platform::CallQueue> owner);
  ~TclThreadSynchronizer();
  TclThreadSynchronizer(const TclThreadSynchronizer&) = delete;
  TclThreadSynchronizer& operator=(const TclThreadSynchronizer&) = delete;

  // Any thread. On the owner thread the method runs at once, inside the caller.
  // Waits for a posted call first.
  void Synchronize(const std::function<void()>& method);
  // Queues the method on the owner thread and returns at once, from the owner
  // thread too (it then runs at that thread's next drain). One posted call at a
  // time: the next Post, Synchronize or Flush waits for it and raises its
  // exception. Whatever the method reads must stay alive and unchanged until then.
  void Post(std::function<void()> method);
  // Waits for the posted call; on the owner thread by draining its queue.
  void Flush();

  std::thread::id BaseThreadId() const { return baseThreadId_; }
  const std::shared_ptr<platform::CallQueue>& Owner() const { return queue_; }

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

  // Registers the queue (or counts one more user of it).
  void Register(const std::shared_ptr<platform::CallQueue>& queue);
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
