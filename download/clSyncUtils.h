#pragma once
#include <deque>
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
  // thread too (it then runs at that thread's next drain). Up to PostDepth calls
  // are in flight; a Post beyond that waits for the oldest. The first exception
  // of a call that has run is raised by the next Post, Synchronize or Flush.
  // Whatever a method reads must stay alive and unchanged until it has run: see
  // PostsInFlight. With `more` (others follow at once) the owner thread is not
  // woken for it while fewer than PostDepth - 1 are in flight: the later Post,
  // a Wake, a Flush or a wait for the oldest wakes it for all of them.
  void Post(std::function<void()> method, bool more = false);
  // Never wakes the owner thread: the poster promises a later Post, Wake or Flush.
  void PostQuietly(std::function<void()> method);
  // Wakes the owner thread for calls posted without a wake; before the poster
  // waits for something else.
  void Wake();
  // Waits for every posted call; on the owner thread by draining its queue.
  void Flush();
  // How many posted calls may be in flight at once (at least 1, the default).
  // Set before the first Post.
  void SetPostDepth(size_t depth) { depth_ = depth < 1 ? 1 : depth; }
  size_t PostDepth() const { return depth_; }
  // Posted calls not known to have run; the ones before them (in posting order)
  // have run. Checked when a Post or Flush returns.
  size_t PostsInFlight() const { return inFlight_.size(); }

  std::thread::id BaseThreadId() const { return baseThreadId_; }
  const std::shared_ptr<platform::CallQueue>& Owner() const { return queue_; }

 private:
  std::thread::id baseThreadId_;
  std::shared_ptr<platform::CallQueue> queue_;
  // Takes the calls that have run off the front, then, while more than `keep`
  // are left, waits for the oldest; raises the first exception among them.
  void Settle(size_t keep);
  void Queue(std::function<void()> method, bool quietly);

  std::mutex lock_;  // one synchronous call per synchronizer at a time
  // Oldest first; the thread that posts is the one that settles them.
  std::deque<std::shared_ptr<platform::CallQueue::Posted>> inFlight_;
  std::vector<std::shared_ptr<platform::CallQueue::Posted>> spare_;
  size_t depth_ = 1;
  bool quiet_ = false;  // a call was posted without waking the owner
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
