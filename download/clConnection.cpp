#include "download/clConnection.h"

#include <algorithm>
#include <chrono>

#include "download/clHttpUtils.h"

EclInternetError EclInternetError::CreateByLastError() {
  int code = static_cast<int>(wininet::GetLastError());
  return EclInternetError(GetInternetErrorText(code), code);
}

std::shared_ptr<TclInternetConnection> TclInternetConnection::Create(
    std::shared_ptr<platform::CallQueue> owner) {
  return std::shared_ptr<TclInternetConnection>(new TclInternetConnection(std::move(owner)));
}

TclInternetConnection::~TclInternetConnection() {
  Close();
}

void TclInternetConnection::Cancel() {
  {
    std::lock_guard lock(eventLock_);
    cancel_ = true;
  }
  signal_.notify_all();
}

void TclInternetConnection::Close() {
  Cancel();
  {
    std::lock_guard lock(eventLock_);
    closing_ = true;
  }
  std::vector<TclInternetAction*> actions;
  {
    std::lock_guard lock(listLock_);
    actions = actions_;
  }
  // Actions are owned by their creators; here their handles go, so a running call
  // fails at once and nothing is closed twice later.
  for (auto* a : actions) a->Abort();
  for (auto* a : actions) a->CloseOwnHandle();
  std::thread thread;
  {
    std::lock_guard lock(eventLock_);
    exit_ = true;
    thread = std::move(thread_);
  }
  signal_.notify_all();
  if (thread.joinable()) thread.join();
}

TclInternetAction* TclInternetConnection::CurrentAction() {
  std::lock_guard lock(eventLock_);
  return current_;
}

void TclInternetConnection::FireEvent(const TActionEvent& event, TclInternetAction* action) {
  if (event) synchronizer_.Synchronize([&] { event(this, action); });
}

void TclInternetConnection::Add(TclInternetAction* action) {
  {
    std::lock_guard lock(listLock_);
    actions_.push_back(action);
  }
  FireEvent(OnActionAdded, action);
}

void TclInternetConnection::Remove(TclInternetAction* action) {
  {
    std::lock_guard lock(listLock_);
    actions_.erase(std::remove(actions_.begin(), actions_.end(), action), actions_.end());
  }
  FireEvent(OnActionRemoved, action);
}

void TclInternetConnection::NotifyHandleClosed(TclInternetAction* by, wininet::HINTERNET handle) {
  std::lock_guard lock(listLock_);
  for (auto* a : actions_)
    if (a != by) a->HandleClosed(handle);
}

void TclInternetConnection::CallThread() {
  for (;;) {
    TclInternetAction* action;
    {
      std::unique_lock lock(eventLock_);
      signal_.wait(lock, [this] { return start_ || exit_; });
      if (!start_) return;
      start_ = false;
      action = current_;
    }
    try {
      if (action) action->Execute();
    } catch (...) {
      // A call never takes the thread down; its action records the failure.
    }
    {
      std::lock_guard lock(eventLock_);
      done_ = true;
    }
    signal_.notify_all();
  }
}

void TclInternetConnection::Run(TclInternetAction& action, int timeOut) {
  std::lock_guard run(runLock_);
  {
    std::lock_guard lock(eventLock_);
    if (closing_) {
      action.RecordError(static_cast<int>(wininet::ERROR_INTERNET_OPERATION_CANCELLED),
                         GetInternetErrorText(wininet::ERROR_INTERNET_OPERATION_CANCELLED));
      return;
    }
    current_ = &action;
  }
  FireEvent(OnBeforeFireAction, &action);
  std::unique_lock lock(eventLock_);
  if (!thread_.joinable()) thread_ = std::thread([this] { CallThread(); });
  start_ = true;
  signal_.notify_all();
  auto ready = [this] { return done_ || cancel_; };
  if (timeOut < 0) {
    signal_.wait(lock, ready);
  } else {
    signal_.wait_for(lock, std::chrono::milliseconds(timeOut), ready);
  }
  bool finished = done_;
  bool cancelled = !finished && cancel_;
  if (finished) {
    done_ = false;
    current_ = nullptr;
    lock.unlock();
    FireEvent(OnAfterFireAction, &action);
    return;
  }
  if (cancelled) cancel_ = false;  // one cancel ends one wait
  lock.unlock();
  action.Abort();
  lock.lock();
  signal_.wait(lock, [this] { return done_; });
  done_ = false;
  current_ = nullptr;
  lock.unlock();
  // The call may have opened the chain's root after the abort above, or succeeded
  // just before it: its chain goes all the same, and a cancelled call never reports
  // success, so no later action is built on a handle that is already gone.
  action.Abort();
  if (!cancelled) throw EclTimeoutInternetError();
  if (action.LastErrorText().empty())
    action.RecordError(static_cast<int>(wininet::ERROR_INTERNET_OPERATION_CANCELLED),
                       GetInternetErrorText(wininet::ERROR_INTERNET_OPERATION_CANCELLED));
}

TclInternetAction::TclInternetAction(std::shared_ptr<TclInternetConnection> connection,
                                     wininet::HINTERNET rootHandle)
    : root_(rootHandle), connection_(std::move(connection)) {
  connection_->Add(this);
}

TclInternetAction::~TclInternetAction() {
  connection_->Remove(this);
}

bool TclInternetAction::Fire(int timeOut, bool noRaise) {
  {
    std::lock_guard lock(lock_);
    errorCode_ = 0;
    errorText_.clear();
  }
  connection_->Run(*this, timeOut);
  std::lock_guard lock(lock_);
  if (!errorText_.empty() && !noRaise) throw EclInternetError(errorText_, errorCode_);
  return errorText_.empty();
}

void TclInternetAction::Abort() {
  wininet::HINTERNET root;
  {
    std::lock_guard lock(lock_);
    root = root_;
    root_ = nullptr;
    if (root) chainClosed_ = true;
  }
  if (!root) return;
  connection_->NotifyHandleClosed(this, root);
  HandleClosed(root);
  wininet::InternetCloseHandle(root);
}

void TclInternetAction::HandleClosed(wininet::HINTERNET handle) {
  std::lock_guard lock(lock_);
  if (root_ == handle) {
    root_ = nullptr;
    chainClosed_ = true;
  }
}

wininet::HINTERNET TclInternetAction::RootHandle() const {
  std::lock_guard lock(lock_);
  return root_;
}

int TclInternetAction::LastErrorCode() const {
  std::lock_guard lock(lock_);
  return errorCode_;
}

std::string TclInternetAction::LastErrorText() const {
  std::lock_guard lock(lock_);
  return errorText_;
}

void TclInternetAction::RecordLastError() {
  int code = static_cast<int>(wininet::GetLastError());
  {
    // A call on a chain closed by a cancel or time limit fails as cancelled, even
    // when it only found its handle gone.
    std::lock_guard lock(lock_);
    if (chainClosed_) code = static_cast<int>(wininet::ERROR_INTERNET_OPERATION_CANCELLED);
  }
  RecordError(code, GetInternetErrorText(code));
}

void TclInternetAction::RecordError(int code, const std::string& text) {
  std::lock_guard lock(lock_);
  errorCode_ = code;
  errorText_ = text;
}

TclInternetResourceAction::~TclInternetResourceAction() {
  CloseOwnHandle();
}

wininet::HINTERNET TclInternetResourceAction::Handle() const {
  std::lock_guard lock(lock_);
  return handle_;
}

void TclInternetResourceAction::SetHandle(wininet::HINTERNET handle) {
  std::lock_guard lock(lock_);
  handle_ = handle;
}

void TclInternetResourceAction::HandleClosed(wininet::HINTERNET handle) {
  {
    std::lock_guard lock(lock_);
    if (handle_ == handle) handle_ = nullptr;
  }
  TclInternetAction::HandleClosed(handle);
}

void TclInternetResourceAction::CloseOwnHandle() {
  wininet::HINTERNET handle;
  {
    std::lock_guard lock(lock_);
    handle = handle_;
    handle_ = nullptr;
  }
  if (handle) wininet::InternetCloseHandle(handle);
}

TclInternetOpenAction::TclInternetOpenAction(std::shared_ptr<TclInternetConnection> connection,
                                             const std::string& agent, wininet::DWORD accessType,
                                             const std::string& proxy,
                                             const std::string& proxyBypass)
    : TclInternetResourceAction(std::move(connection), nullptr),
      agent_(agent),
      proxy_(proxy),
      proxyBypass_(proxyBypass),
      accessType_(accessType) {}

void TclInternetOpenAction::Execute() {
  auto h = wininet::InternetOpen(agent_, accessType_, proxy_, proxyBypass_, 0);
  if (!h) return RecordLastError();
  SetHandle(h);
  std::lock_guard lock(lock_);
  root_ = h;  // the chain starts here
}

TclConnectAction::TclConnectAction(std::shared_ptr<TclInternetConnection> connection,
                                   wininet::HINTERNET root, const std::string& serverName, int port,
                                   const std::string& userName, const std::string& password,
                                   wininet::DWORD service, wininet::DWORD flags)
    : TclInternetResourceAction(std::move(connection), root),
      serverName_(serverName),
      userName_(userName),
      password_(password),
      port_(port & 0xFFFF),
      service_(service),
      flags_(flags) {}

void TclConnectAction::Execute() {
  auto h = wininet::InternetConnect(
      RootHandle(), serverName_, port_, userName_.empty() ? nullptr : &userName_,
      password_.empty() ? nullptr : &password_, service_, flags_, &Connection());
  if (!h) return RecordLastError();
  SetHandle(h);
}

TclHttpOpenRequestAction::TclHttpOpenRequestAction(
    std::shared_ptr<TclInternetConnection> connection, wininet::HINTERNET root,
    wininet::HINTERNET connect, const std::string& verb, const std::string& object,
    wininet::DWORD flags)
    : TclInternetResourceAction(std::move(connection), root),
      connect_(connect),
      verb_(verb),
      object_(object),
      flags_(flags) {}

void TclHttpOpenRequestAction::Execute() {
  auto h = wininet::HttpOpenRequest(connect_, verb_, object_, flags_, &Connection());
  if (!h) return RecordLastError();
  SetHandle(h);
}

TclHttpSendRequestAction::TclHttpSendRequestAction(
    std::shared_ptr<TclInternetConnection> connection, wininet::HINTERNET root,
    wininet::HINTERNET request)
    : TclInternetAction(std::move(connection), root), request_(request) {}

void TclHttpSendRequestAction::Execute() {
  if (!wininet::HttpSendRequest(request_)) RecordLastError();
}

TclInternetReadFileAction::TclInternetReadFileAction(
    std::shared_ptr<TclInternetConnection> connection, wininet::HINTERNET root,
    wininet::HINTERNET request)
    : TclInternetAction(std::move(connection), root), request_(request) {}

void TclInternetReadFileAction::SetBuffer(void* buffer, wininet::DWORD bytesToRead) {
  buffer_ = buffer;
  bytesToRead_ = bytesToRead;
}

void TclInternetReadFileAction::SetSpill(void* spill, wininet::DWORD room) {
  spill_ = spill;
  spillRoom_ = spill ? room : 0;
}

void TclInternetReadFileAction::Execute() {
  bytesRead_ = bytesSpilled_ = 0;
  wininet::DWORD n = 0;
  if (!wininet::InternetReadFile(request_, buffer_, bytesToRead_, &n)) return RecordLastError();
  bytesRead_ = n;
}

bool TclInternetReadFileAction::ReadBuffered(int waitMs) {
  wininet::DWORD n = 0, spilled = 0;
  if (!wininet::InternetReadFileBuffered(request_, buffer_, bytesToRead_, &n, waitMs, spill_,
                                         spillRoom_, &spilled))
    return false;
  bytesRead_ = n;
  bytesSpilled_ = spilled;
  return true;
}
