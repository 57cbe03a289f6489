#include "jobs/ResolveService.h"

#include <algorithm>
#include <exception>
#include <system_error>
#include <utility>

#include "log/LogWriter.h"
#include "platform/CallQueue.h"
#include "platform/ThreadSet.h"

TResolveService::TResolveService(std::shared_ptr<platform::CallQueue> owner,
                                 resolve::TResolverSet resolvers)
    : owner_(std::move(owner)),
      resolvers_(std::make_shared<const resolve::TResolverSet>(std::move(resolvers))),
      threads_(std::make_unique<platform::TThreadSet>()) {}

TResolveService::~TResolveService() {
  VANTOREL_ASSERT_OWNER(owner_);
  // Before the threads are joined: an answer they post from now on finds the
  // service gone, and their fetches end at once.
  alive_.reset();
  {
    std::lock_guard lock(shared_->mutex);
    shared_->closed = true;
    shared_->queue.clear();
    for (auto& [ticket, cancel] : shared_->running) cancel->store(true);
  }
  outstanding_.clear();
  threads_->StopAndJoin();
}

void TResolveService::WorkerLoop(std::shared_ptr<TShared> shared,
                                 std::shared_ptr<platform::CallQueue> owner,
                                 std::function<void(uint64_t, std::function<void()>)> finish) {
  for (;;) {
    TTask task;
    {
      std::lock_guard lock(shared->mutex);
      if (shared->closed || shared->queue.empty()) {
        --shared->workers;
        return;
      }
      task = std::move(shared->queue.front());
      shared->queue.pop_front();
      shared->running[task.ticket] = task.cancel;
      shared->mostRunning = std::max(shared->mostRunning, static_cast<int>(shared->running.size()));
    }
    std::function<void()> then;
    try {
      then = task.work(*task.cancel);
    } catch (const std::exception& e) {
      LogError(e);
    } catch (...) {
    }
    {
      std::lock_guard lock(shared->mutex);
      shared->running.erase(task.ticket);
    }
    auto answer = std::make_shared<platform::CallQueue::Posted>();
    answer->fn = [finish, ticket = task.ticket, then = std::move(then)] { finish(ticket, then); };
    try {
      owner->Post(answer);  // not waited for: the owner may be joining this thread
    } catch (const std::exception&) {
      // The owner's thread is gone: nobody is left to take the answer.
    }
  }
}

uint64_t TResolveService::Run(TWork work) {
  VANTOREL_ASSERT_OWNER(owner_);
  const uint64_t ticket = ++nextTicket_;
  bool launch = false;
  {
    std::lock_guard lock(shared_->mutex);
    shared_->queue.push_back({ticket, std::move(work), std::make_shared<std::atomic<bool>>(false)});
    if (shared_->workers < shared_->maxWorkers) {
      ++shared_->workers;
      launch = true;
    }
  }
  outstanding_.insert(ticket);
  if (!launch) return ticket;
  std::weak_ptr<int> alive = alive_;
  auto finish = [this, alive](uint64_t done, std::function<void()> then) {
    if (!alive.expired()) Finish(done, then);
  };
  try {
    threads_->ReapEnded();
    threads_->Launch([shared = shared_, owner = owner_, finish] { WorkerLoop(shared, owner, finish); });
  } catch (...) {
    std::lock_guard lock(shared_->mutex);
    --shared_->workers;
    // Another thread takes the work when one runs; without one it cannot run.
    if (shared_->workers == 0) {
      for (auto it = shared_->queue.begin(); it != shared_->queue.end(); ++it)
        if (it->ticket == ticket) {
          shared_->queue.erase(it);
          break;
        }
      outstanding_.erase(ticket);
      throw;
    }
  }
  return ticket;
}

uint64_t TResolveService::Resolve(const std::string& link, const TFetchProxy& proxy,
                                  TAnswer answer, bool refresh, const std::string& only,
                                  bool wholePlaylist) {
  VANTOREL_ASSERT_OWNER(owner_);
  const TFetchTimeouts limits = resolve::FetchTimeouts();
  const int overall = overallSec_;
  return Run([link, proxy, limits, overall, refresh, only, wholePlaylist, resolvers = resolvers_,
              answer = std::move(answer)](const std::atomic<bool>& cancel) {
    resolve::TResolveRequest request = resolve::MakeRequest(link, proxy, overall, &cancel);
    request.Limits = limits;
    request.Refresh = refresh;
    request.Only = only;
    request.WholePlaylist = wholePlaylist;
    auto result = std::make_shared<resolve::TResolvedJob>(resolvers->Resolve(request));
    return std::function<void()>([answer, result] { answer(*result); });
  });
}

void TResolveService::SetMaxRunning(int count) {
  VANTOREL_ASSERT_OWNER(owner_);
  std::lock_guard lock(shared_->mutex);
  shared_->maxWorkers = std::clamp(count, 1, kMaxRunning);
}

void TResolveService::Finish(uint64_t ticket, const std::function<void()>& then) {
  if (!outstanding_.erase(ticket) || !then) return;
  try {
    then();
  } catch (const std::exception& e) {
    LogError(e);
  }
}

void TResolveService::Cancel(uint64_t ticket) {
  VANTOREL_ASSERT_OWNER(owner_);
  if (!outstanding_.erase(ticket)) return;
  std::lock_guard lock(shared_->mutex);
  for (auto it = shared_->queue.begin(); it != shared_->queue.end(); ++it)
    if (it->ticket == ticket) {
      shared_->queue.erase(it);
      return;
    }
  auto running = shared_->running.find(ticket);
  if (running != shared_->running.end()) running->second->store(true);
}

void TResolveService::CancelAll() {
  VANTOREL_ASSERT_OWNER(owner_);
  outstanding_.clear();
  std::lock_guard lock(shared_->mutex);
  shared_->queue.clear();
  for (auto& [ticket, cancel] : shared_->running) cancel->store(true);
}

int TResolveService::Running() const {
  std::lock_guard lock(shared_->mutex);
  return static_cast<int>(shared_->running.size());
}

int TResolveService::MostRunning() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->mostRunning;
}

int TResolveService::LiveThreads() const {
  return threads_->Live();
}

bool TResolveService::WaitIdle(std::chrono::milliseconds timeout) {
  VANTOREL_ASSERT_OWNER(owner_);
  return platform::PumpUntil(*owner_, [this] { return outstanding_.empty(); }, timeout);
}
