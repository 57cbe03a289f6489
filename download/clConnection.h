#pragma once
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "download/clSyncUtils.h"
#include "download/clWinInet.h"

// A failed network call: the platform's message and code (0 for none). The worker's
// attempt loop retries on this type and gives up on anything else.
class EclInternetError : public std::runtime_error {
 public:
  EclInternetError(const std::string& message, int errorCode)
      : std::runtime_error(message), errorCode_(errorCode) {}
  int ErrorCode() const { return errorCode_; }
  // Text and code of the calling thread's last platform error.
  static EclInternetError CreateByLastError();

 private:
  int errorCode_;
};

// A call that exceeded its time limit ("Request timeout", 258).
class EclTimeoutInternetError : public EclInternetError {
 public:
  EclTimeoutInternetError() : EclInternetError("Request timeout", 258) {}
};

class TclInternetAction;

// Runs each network call of its actions on its own call thread, while the calling
// thread waits with a time limit; Cancel (any thread) ends the wait at once. Created
// and held through std::shared_ptr: every action keeps its connection alive.
class TclInternetConnection : public std::enable_shared_from_this<TclInternetConnection> {
 public:
  using TActionEvent =
      std::function<void(TclInternetConnection* sender, TclInternetAction* action)>;

  // Events are delivered on the owner queue's base thread (a worker that makes a
  // connection for itself passes its own thread's queue: its events run inline).
  static std::shared_ptr<TclInternetConnection> Create(std::shared_ptr<platform::CallQueue> owner);
  ~TclInternetConnection();
  TclInternetConnection(const TclInternetConnection&) = delete;
  TclInternetConnection& operator=(const TclInternetConnection&) = delete;

  // Any thread: ends the current (or the next) wait for a call; the call's chain is
  // aborted and the call fails with its own error (12017 when it completed anyway).
  void Cancel();
  // Aborts every action's chain, closes their handles and ends the call thread. Later
  // calls fail with 12017. Not from the call thread.
  void Close();

  TclInternetAction* CurrentAction();
  // The first live action of type T (for kept connections), or null.
  template <typename T>
  T* FindAction() {
    std::lock_guard lock(listLock_);
    for (auto* a : actions_)
      if (auto* t = dynamic_cast<T*>(a)) return t;
    return nullptr;
  }

  TActionEvent OnActionAdded, OnActionRemoved, OnBeforeFireAction, OnAfterFireAction;

 private:
  friend class TclInternetAction;
  explicit TclInternetConnection(std::shared_ptr<platform::CallQueue> owner)
      : synchronizer_(std::move(owner)) {}

  void Run(TclInternetAction& action, int timeOut);  // throws EclTimeoutInternetError
  void Add(TclInternetAction* action);
  void Remove(TclInternetAction* action);
  void NotifyHandleClosed(TclInternetAction* by, wininet::HINTERNET handle);
  void CallThread();
  void FireEvent(const TActionEvent& event, TclInternetAction* action);

  TclThreadSynchronizer synchronizer_;
  std::mutex runLock_;   // one action at a time
  std::mutex listLock_;  // actions_
  std::vector<TclInternetAction*> actions_;

  std::mutex eventLock_;  // the four signals below, current_ and the thread
  std::condition_variable signal_;
  bool start_ = false, cancel_ = false, done_ = false, exit_ = false;
  bool closing_ = false;
  TclInternetAction* current_ = nullptr;
  std::thread thread_;
};

// One platform call of a chain opened from a root (Internet) handle.
class TclInternetAction {
 public:
  virtual ~TclInternetAction();
  TclInternetAction(const TclInternetAction&) = delete;
  TclInternetAction& operator=(const TclInternetAction&) = delete;

  // Runs the call with a time limit in ms (-1 = none). Returns true when no error
  // was recorded; otherwise raises EclInternetError unless noRaise.
  bool Fire(int timeOut, bool noRaise = false);
  // Any thread: closes the root handle, so every pending call of the chain fails.
  void Abort();

  wininet::HINTERNET RootHandle() const;
  int LastErrorCode() const;
  std::string LastErrorText() const;
  TclInternetConnection& Connection() const { return *connection_; }

 protected:
  TclInternetAction(std::shared_ptr<TclInternetConnection> connection,
                    wininet::HINTERNET rootHandle);
  // The platform call; runs on the connection's call thread.
  virtual void Execute() = 0;
  // A handle of the chain was closed by someone else: forget it.
  virtual void HandleClosed(wininet::HINTERNET handle);
  virtual void CloseOwnHandle() {}
  void RecordLastError();
  void RecordError(int code, const std::string& text);

  mutable std::mutex lock_;
  wininet::HINTERNET root_ = nullptr;
  bool chainClosed_ = false;  // its root was closed: every later call is cancelled

 private:
  friend class TclInternetConnection;
  std::shared_ptr<TclInternetConnection> connection_;
  int errorCode_ = 0;
  std::string errorText_;
};

// An action that opens a handle of its own, closed when the action goes.
class TclInternetResourceAction : public TclInternetAction {
 public:
  ~TclInternetResourceAction() override;
  wininet::HINTERNET Handle() const;

 protected:
  using TclInternetAction::TclInternetAction;
  void SetHandle(wininet::HINTERNET handle);
  void HandleClosed(wininet::HINTERNET handle) override;
  void CloseOwnHandle() override;

 private:
  wininet::HINTERNET handle_ = nullptr;
};

class TclInternetOpenAction : public TclInternetResourceAction {
 public:
  TclInternetOpenAction(std::shared_ptr<TclInternetConnection> connection, const std::string& agent,
                        wininet::DWORD accessType, const std::string& proxy,
                        const std::string& proxyBypass);

 protected:
  void Execute() override;

 private:
  std::string agent_, proxy_, proxyBypass_;
  wininet::DWORD accessType_;
};

class TclConnectAction : public TclInternetResourceAction {
 public:
  TclConnectAction(std::shared_ptr<TclInternetConnection> connection, wininet::HINTERNET root,
                   const std::string& serverName, int port, const std::string& userName,
                   const std::string& password, wininet::DWORD service, wininet::DWORD flags);

 protected:
  void Execute() override;

 private:
  std::string serverName_, userName_, password_;
  int port_;
  wininet::DWORD service_, flags_;
};

class TclHttpOpenRequestAction : public TclInternetResourceAction {
 public:
  TclHttpOpenRequestAction(std::shared_ptr<TclInternetConnection> connection,
                           wininet::HINTERNET root, wininet::HINTERNET connect,
                           const std::string& verb, const std::string& object,
                           wininet::DWORD flags);

 protected:
  void Execute() override;

 private:
  wininet::HINTERNET connect_;
  std::string verb_, object_;
  wininet::DWORD flags_;
};

class TclHttpSendRequestAction : public TclInternetAction {
 public:
  TclHttpSendRequestAction(std::shared_ptr<TclInternetConnection> connection,
                           wininet::HINTERNET root, wininet::HINTERNET request);

 protected:
  void Execute() override;

 private:
  wininet::HINTERNET request_;
};

// Reads one block of a response; reuse it for every block of a read loop.
class TclInternetReadFileAction : public TclInternetAction {
 public:
  TclInternetReadFileAction(std::shared_ptr<TclInternetConnection> connection,
                            wininet::HINTERNET root, wininet::HINTERNET request);
  // The caller owns the buffer; it must outlive the next Fire.
  void SetBuffer(void* buffer, wininet::DWORD bytesToRead);
  // Where ReadBuffered goes on once the buffer is full (none: 0 bytes); the
  // caller owns it as well.
  void SetSpill(void* spill, wininet::DWORD room);
  wininet::DWORD BytesRead() const { return bytesRead_; }
  // What the last read put into the spill buffer, after BytesRead in the buffer.
  wininet::DWORD BytesSpilled() const { return bytesSpilled_; }
  // Calling thread, no call of this connection running: takes data that has already
  // arrived without a round trip to the call thread, waiting up to waitMs for it
  // there. False when there is none.
  bool ReadBuffered(int waitMs = 0);

 protected:
  void Execute() override;

 private:
  wininet::HINTERNET request_;
  void* buffer_ = nullptr;
  wininet::DWORD bytesToRead_ = 0;
  wininet::DWORD bytesRead_ = 0;
  void* spill_ = nullptr;
  wininet::DWORD spillRoom_ = 0;
  wininet::DWORD bytesSpilled_ = 0;
};
