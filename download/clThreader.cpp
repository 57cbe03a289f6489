// The worker thread base: TclCustomThreader and the registry that keeps the
// threads of self-owning workers.
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <thread>

#include "download/clHttpRange.h"
#include "download/clMultiDC.h"
#include "platform/CallQueue.h"
#include "platform/Text.h"

using namespace wininet;

// Keeps the std::thread of every self-owning worker, so that ended threads are
// joined and the ones still running at process exit are stopped and joined before
// the transport's statics go away.
class TclThreaderRegistry {
 public:
  static TclThreaderRegistry& Instance() {
    // Built after the synchronizer manager (and the transport's statics), so it is
    // torn down before them.
    TclSynchronizerManager::Instance();
    static TclThreaderRegistry registry;
    return registry;
  }

  void Launch(std::shared_ptr<TclCustomThreader> worker) {
    std::lock_guard lock(mutex_);
    Reap();
    if (launchHook_) launchHook_();
    auto finished = std::make_shared<std::atomic<bool>>(false);
    entries_.push_back(Entry{worker, {}, finished});
    try {
      entries_.back().thread = std::thread([worker = std::move(worker), finished]() mutable {
        worker->Run();
        worker.reset();  // may be the last reference: the worker goes here
        finished->store(true);
      });
    } catch (...) {
      entries_.pop_back();  // no thread: nothing to join, nothing live
      throw;
    }
  }

  void SetHook(std::function<void()> hook) {
    std::lock_guard lock(mutex_);
    launchHook_ = std::move(hook);
  }

  int Live() {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (auto& e : entries_)
      if (!e.finished->load()) ++n;
    return n;
  }

  ~TclThreaderRegistry() {
    std::vector<Entry> entries;
    {
      std::lock_guard lock(mutex_);
      entries.swap(entries_);
    }
    for (auto& e : entries)
      if (auto w = e.worker.lock()) w->Terminate();
    for (auto& e : entries)
      if (e.thread.joinable()) e.thread.join();
  }

 private:
  struct Entry {
    std::weak_ptr<TclCustomThreader> worker;
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };

  void Reap() {
    for (auto it = entries_.begin(); it != entries_.end();) {
      if (it->finished->load()) {
        it->thread.join();
        it = entries_.erase(it);
      } else {
        ++it;
      }
    }
  }

  std::mutex mutex_;
  std::vector<Entry> entries_;
  std::function<void()> launchHook_;
};

TclCustomThreader::TclCustomThreader() = default;
TclCustomThreader::~TclCustomThreader() = default;

int TclCustomThreader::LiveCount() {
  return TclThreaderRegistry::Instance().Live();
}

void TclCustomThreader::SetLaunchHook(std::function<void()> hook) {
  TclThreaderRegistry::Instance().SetHook(std::move(hook));
}

void TclCustomThreader::Resume() {
  if (resumed_) return;
  resumed_ = true;
  TclThreaderRegistry::Instance().Launch(shared_from_this());
}

void TclCustomThreader::Terminate() {
  terminated_.store(true);
  stopEvent_.Set();
  std::shared_ptr<TclInternetConnection> target;
  {
    std::lock_guard lock(lock_);
    target = cancelTarget_;
  }
  if (target) target->Cancel();
}

void TclCustomThreader::SetCancelTarget(std::shared_ptr<TclInternetConnection> connection) {
  std::lock_guard lock(lock_);
  cancelTarget_ = std::move(connection);
}

std::string TclCustomThreader::LastError() const {
  std::lock_guard lock(lock_);
  return lastError_;
}

int TclCustomThreader::LastErrorCode() const {
  std::lock_guard lock(lock_);
  return lastErrorCode_;
}

void TclCustomThreader::Synchronize(const std::function<void()>& method) {
  synchronizer_.Synchronize(method);
}

void TclCustomThreader::Post(std::function<void()> method) {
  synchronizer_.Post(std::move(method));
}

void TclCustomThreader::Flush() {
  synchronizer_.Flush();
}

void TclCustomThreader::SetStatus(TclProcessStatus status) {
  if (status_.exchange(status) == status) return;
  if (OnStatusChanged) Synchronize([&] { OnStatusChanged(this, status); });
}

void TclCustomThreader::RecordError(const std::string& text, const std::string& extra, int code) {
  if (Terminated()) return;
  std::string message = text;
  if (message.empty()) {
    code = static_cast<int>(wininet::GetLastError());
    message = GetInternetErrorText(code);
  }
  if (!extra.empty()) message += ": " + extra;
  {
    std::lock_guard lock(lock_);
    lastError_ = message;
    lastErrorCode_ = code;
  }
  if (OnError) Synchronize([&] { OnError(this, message, code); });
}

void TclCustomThreader::Run() {
  if (Priority != ppNormal) {
    // Per-thread nice value; raising it needs privileges and may quietly fail.
    auto tid = static_cast<id_t>(::syscall(SYS_gettid));
    ::setpriority(PRIO_PROCESS, tid, Priority == ppLower ? 10 : -5);
  }
  try {
    Execute();
  } catch (...) {
    // Execute records its own failures; an owner queue that closed meanwhile
    // (process exit) lands here and ends the worker quietly.
  }
  SetCancelTarget(nullptr);
  try {
    Flush();
  } catch (...) {
  }
  try {
    if (OnTerminate) Synchronize([&] { OnTerminate(this); });
  } catch (...) {
  }
}
