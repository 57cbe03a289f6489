#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "resolve/Resolver.h"

namespace platform {
class CallQueue;
class TThreadSet;
}  // namespace platform

// The threads that read links: every resolution of a link (a new job's, an
// expired address's) and the running-time read of a downloaded file run here,
// never on the owner thread. Work is queued in order and at most kMaxRunning
// pieces run at once; each answer is posted back to the owner's call queue and
// runs there, unless it was cancelled first or the service is gone.
//
// Owner thread only (the base thread of the owner queue, checked in debug
// builds), except where a member says otherwise.
class TResolveService {
 public:
  static constexpr int kMaxRunning = 4;

  TResolveService(std::shared_ptr<platform::CallQueue> owner,
                  resolve::TResolverSet resolvers = resolve::DefaultResolvers());
  // Cancels everything (running work sees its flag raised and its fetches end at
  // once), drops every answer and joins the threads.
  ~TResolveService();
  TResolveService(const TResolveService&) = delete;
  TResolveService& operator=(const TResolveService&) = delete;

  // Any thread; the set does not change while the service lives.
  const resolve::TResolverSet& Resolvers() const { return *resolvers_; }

  // The overall limit of one resolution, counted from when it starts to run.
  void SetOverallLimit(int seconds) { overallSec_ = seconds; }
  int OverallLimit() const { return overallSec_; }
  // How many pieces run at once (1..kMaxRunning; benchmarks compare them). Work
  // queued later takes the new limit.
  void SetMaxRunning(int count);

  // A piece of work: runs on a service thread with its cancel flag and returns
  // what then runs on the owner thread (may be empty). It must end soon once
  // the flag is raised.
  using TWork = std::function<std::function<void()>(const std::atomic<bool>& cancel)>;
  // Queues work; the ticket (never 0) cancels it. Throws std::system_error when
  // no thread can be started and none runs that would take the work.
  uint64_t Run(TWork work);

  using TAnswer = std::function<void(const resolve::TResolvedJob&)>;
  // Resolves link with the resolver set (the process-wide page limits read now,
  // the overall limit, proxy); the answer runs on the owner thread. only: the
  // name of the one resolver to use (see TResolveRequest::Only).
  uint64_t Resolve(const std::string& link, const TFetchProxy& proxy, TAnswer answer,
                   bool refresh = false, const std::string& only = std::string(),
                   bool wholePlaylist = false);

  // The answer of ticket is dropped; queued work is taken out, running work has
  // its flag raised. Unknown or finished tickets are ignored.
  void Cancel(uint64_t ticket);
  void CancelAll();

  // Tickets whose answer has neither run nor been cancelled.
  int Outstanding() const { return static_cast<int>(outstanding_.size()); }
  bool IsOutstanding(uint64_t ticket) const { return outstanding_.count(ticket) > 0; }
  // Any thread: work running now, and the most that ever ran at once.
  int Running() const;
  int MostRunning() const;
  // Threads that have not ended yet (a cancelled piece of work ends soon after).
  int LiveThreads() const;
  // Runs the owner queue until no ticket is outstanding; false when time ran out.
  bool WaitIdle(std::chrono::milliseconds timeout = std::chrono::seconds(60));

 private:
  struct TTask {
    uint64_t ticket = 0;
    TWork work;
    std::shared_ptr<std::atomic<bool>> cancel;
  };
  // What the threads share with the service; they hold it, so it outlives both.
  struct TShared {
    mutable std::mutex mutex;
    std::deque<TTask> queue;
    std::map<uint64_t, std::shared_ptr<std::atomic<bool>>> running;
    int workers = 0;  // threads taking work
    int maxWorkers = kMaxRunning;
    int mostRunning = 0;
    bool closed = false;
  };
  static void WorkerLoop(std::shared_ptr<TShared> shared, std::shared_ptr<platform::CallQueue> owner,
                         std::function<void(uint64_t, std::function<void()>)> finish);
  void Finish(uint64_t ticket, const std::function<void()>& then);

  std::shared_ptr<platform::CallQueue> owner_;
  std::shared_ptr<const resolve::TResolverSet> resolvers_;
  std::shared_ptr<TShared> shared_ = std::make_shared<TShared>();
  // Answers posted after the service is gone find this expired.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
  std::set<uint64_t> outstanding_;
  uint64_t nextTicket_ = 0;
  int overallSec_ = resolve::kDefaultResolveSec;
  std::unique_ptr<platform::TThreadSet> threads_;
};
