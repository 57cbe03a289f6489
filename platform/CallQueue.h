#pragma once
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace platform {

// Raised in a caller whose call can no longer run because the base thread's
// queue was shut down (the thread ended or the program is closing).
class CallQueueClosed : public std::runtime_error {
 public:
  CallQueueClosed() : std::runtime_error("The thread that should run this call has ended") {}
};

// One queue per thread that wants to receive calls from other threads
// ("run on the base thread and wait"). The base thread drains it: the GUI thread
// from the Qt event loop (through the waker), tests with PumpUntil.
class CallQueue {
 public:
  // The calling thread's queue, created on first use; shut down when the thread ends.
  static std::shared_ptr<CallQueue> Current();

  CallQueue();
  ~CallQueue();
  CallQueue(const CallQueue&) = delete;
  CallQueue& operator=(const CallQueue&) = delete;

  std::thread::id BaseThread() const { return base_; }
  bool IsBaseThread() const { return std::this_thread::get_id() == base_; }

  // Any thread. From the base thread fn runs at once, inside the caller; from
  // another thread it is queued and the caller blocks until the base thread has run it. An
  // exception thrown by fn is thrown again in the caller.
  void Call(const std::function<void()>& fn);

  // A call that is queued without waiting for it, reusable once it has run.
  struct Posted {
    std::function<void()> fn;
    std::exception_ptr error;
    bool done = true;
    std::condition_variable finished;
  };
  // Any thread: queues call->fn and returns at once; it runs at the base
  // thread's next drain, also when posted from the base thread itself (never
  // inside the poster). The call must not be queued already; Wait for it before
  // reusing it.
  void Post(const std::shared_ptr<Posted>& call);
  // The same without waking the base thread: the call runs at a drain that
  // something else brings about (another call, a Wake, a Wait for it from
  // another thread), so a burst of calls costs the base thread one wake-up.
  void PostQuietly(const std::shared_ptr<Posted>& call);
  // Any thread: wakes the base thread when calls are waiting.
  void Wake();
  // Blocks until the posted call has run, then throws its exception once. On the
  // base thread it drains the queue (other calls too) until then; from another
  // thread it wakes the base thread first, for calls posted quietly.
  void Wait(const std::shared_ptr<Posted>& call);
  // Any thread, without waiting: whether the posted call has run (or can no
  // longer run: then its Wait raises CallQueueClosed).
  bool HasRun(const Posted& call) const;

  // Base thread only: runs every call waiting now (and any queued meanwhile).
  // Returns how many ran.
  size_t Drain();
  // Base thread only: waits up to timeout for a call to arrive, then drains.
  size_t WaitAndDrain(std::chrono::milliseconds timeout);

  // Any thread: fn is told (on the queuing thread) whenever a call is queued,
  // so an event loop can schedule a Drain. Pass an empty function to remove it.
  void SetWaker(std::function<void()> waker);

  // Refuses further calls and fails the waiting ones with CallQueueClosed.
  void Shutdown();

  size_t Pending() const;

 private:
  struct Item {
    std::function<void()> fn;
    std::exception_ptr error;
    bool done = false;
    // Per call, so that finishing one call wakes only its caller.
    std::condition_variable finished;
    std::shared_ptr<Posted> posted;  // set for a posted call: fn is posted->fn
  };

  void Finish(Item& item, std::exception_ptr error);
  void Queue(const std::shared_ptr<Posted>& call, bool wake);
  void WakeBase(const std::function<void()>& waker);

  std::thread::id base_;
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<std::shared_ptr<Item>> queue_;
  std::function<void()> waker_;
  bool closed_ = false;
};

// Drains the calling thread's queue until pred() is true or the time runs out.
// Returns pred()'s last value. Tests and synchronous waits on a base thread use
// it instead of sleeping.
bool PumpUntil(const std::function<bool()>& pred,
               std::chrono::milliseconds timeout = std::chrono::seconds(30));
// The same for a given queue; its base thread only.
bool PumpUntil(CallQueue& queue, const std::function<bool()>& pred,
               std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Aborts with a message naming fn when the calling thread is not queue's base
// thread. Use VANTOREL_ASSERT_OWNER at the entry points of an engine that belongs
// to one thread.
[[noreturn]] void FailOwnerCheck(const CallQueue& queue, const char* fn);
inline void CheckOwner(const CallQueue& queue, const char* fn) {
  if (!queue.IsBaseThread()) FailOwnerCheck(queue, fn);
}

}  // namespace platform

// Owner-thread check of an engine's entry point, given its owner queue (a
// pointer or shared_ptr). On in debug builds and whenever
// VANTOREL_THREAD_CHECKS is defined (the sanitizer builds); nothing otherwise.
#if defined(__GNUC__)
#define VANTOREL_FUNCTION_NAME __PRETTY_FUNCTION__
#else
#define VANTOREL_FUNCTION_NAME __func__
#endif
#if !defined(NDEBUG) || defined(VANTOREL_THREAD_CHECKS)
#define VANTOREL_OWNER_CHECKS 1
#define VANTOREL_ASSERT_OWNER(queue) ::platform::CheckOwner(*(queue), VANTOREL_FUNCTION_NAME)
#else
#define VANTOREL_OWNER_CHECKS 0
#define VANTOREL_ASSERT_OWNER(queue) ((void)sizeof(*(queue)))
#endif
