// The worker thread base: TclCustomThreader and the set that keeps the threads
// of self-owning workers.
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
#include "platform/ThreadSet.h"

using namespace wininet;

namespace {

// The threads of every self-owning worker. Built after the synchronizer manager
// (and the transport's statics), so at process exit it is torn down before them:
// the workers still running are terminated and joined first.
platform::TThreadSet& Workers() {
  TclSynchronizerManager::Instance();
  static platform::TThreadSet workers;
  return workers;
}

}  // namespace

TclCustomThreader::TclCustomThreader(std::shared_ptr<platform::CallQueue> owner)
    : synchronizer_(std::move(owner)) {}
TclCustomThreader::~TclCustomThreader() = default;

int TclCustomThreader::LiveCount() {
  return Workers().Live();
}

void TclCustomThreader::SetLaunchHook(std::function<void()> hook) {
  Workers().SetLaunchHook(std::move(hook));
}

void TclCustomThreader::Resume() {
  VANTOREL_ASSERT_OWNER(synchronizer_.Owner());
  if (resumed_) return;
  resumed_ = true;
  std::weak_ptr<TclCustomThreader> weak = weak_from_this();
  // The thread holds the worker until its body is done: it may be the last
  // owner, and the worker then goes on its own thread. A thread that cannot
  // start leaves nothing behind; the caller records the failure.
  Workers().Launch([self = shared_from_this()] { self->Run(); },
                   [weak] {
                     if (auto w = weak.lock()) w->Terminate();
                   });
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

void TclCustomThreader::Post(std::function<void()> method, bool more) {
  synchronizer_.Post(std::move(method), more);
}

void TclCustomThreader::PostQuietly(std::function<void()> method) {
  synchronizer_.PostQuietly(std::move(method));
}

void TclCustomThreader::WakeOwner() {
  synchronizer_.Wake();
}

size_t TclCustomThreader::PostsInFlight() const {
  return synchronizer_.PostsInFlight();
}

void TclCustomThreader::Flush() {
  synchronizer_.Flush();
}

void TclCustomThreader::SetPostDepth(size_t depth) {
  synchronizer_.SetPostDepth(depth);
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
