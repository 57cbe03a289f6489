#pragma once
#include <curl/curl.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "download/clInetErrors.h"
#include "download/clNetBase.h"
#include "download/clWinInet.h"

// The handles of the layer and their registry: a handle value is a never-reused id
// looked up here, so a stale handle never reaches a new object. Private to the
// transport's files.
namespace wininet::detail {

struct RequestHandle;

// Shared by a root handle and everything opened from it.
struct Chain {
  std::mutex mutex;
  std::vector<RequestHandle*> requests;
  std::atomic<bool> aborted{false};
};

enum class Kind { Root, Connect, Request };

struct Handle {
  Kind kind;
  uintptr_t id = 0;
  std::shared_ptr<Chain> chain;
  std::shared_ptr<Handle> parent;
  std::atomic<bool> closed{false};
  std::optional<DWORD> connectTimeout, receiveTimeout, sendTimeout;
  std::optional<std::string> userName, password, proxyUserName, proxyPassword;

  explicit Handle(Kind k) : kind(k) {}
  virtual ~Handle() = default;

  bool Aborted() const {
    if (chain->aborted) return true;
    for (const Handle* h = this; h; h = h->parent.get())
      if (h->closed) return true;
    return false;
  }
  template <typename T>
  std::optional<T> Inherited(std::optional<T> Handle::*field) const {
    for (const Handle* h = this; h; h = h->parent.get())
      if (h->*field) return h->*field;
    return std::nullopt;
  }
};

struct RootHandle : Handle {
  RootHandle() : Handle(Kind::Root) {}
  std::string agent, proxy, proxyBypass;
  DWORD accessType = INTERNET_OPEN_TYPE_PRECONFIG;
};

struct ConnectHandle : Handle {
  ConnectHandle() : Handle(Kind::Connect) {}
  std::string host;
  int port = 0;
  DWORD service = INTERNET_SERVICE_HTTP;
};

// curl's receive buffer: one recv (and one write callback) takes up to this much.
constexpr long kReceiveBufferSize = 64 * 1024;
// What arrives with no reader's buffer to take it (during the send, or past a
// read's buffer and spill buffer) waits in a body buffer; curl is paused while
// it holds this much, so a huge response costs little memory.
constexpr size_t kBodyBufferLimit = 2 * kReceiveBufferSize;
// What that buffer can come to hold before it is compacted: up to twice the
// limit (read from the front, compacted once half is read) plus one callback.
constexpr size_t kBodyCapacity = 2 * kBodyBufferLimit + kReceiveBufferSize;

struct RequestHandle : Handle {
  RequestHandle();
  ~RequestHandle() override;

  std::string verb, object;
  DWORD flags = 0;
  DWORD securityFlags = 0;
  std::vector<std::string> headers;  // "Name: value"

  // Transfer state; used by one call at a time.
  std::mutex wakeMutex;  // guards multi against a concurrent Wake
  CURLM* multi = nullptr;
  CURL* easy = nullptr;
  curl_slist* headerList = nullptr;
  curl_slist* proxyHeaderList = nullptr;
  bool sent = false;
  bool transferDone = false;
  CURLcode result = CURLE_OK;
  bool headersDone = false;
  net::TResponseHead cur;  // the head being received
  std::vector<std::string> finalLines;
  int finalStatus = 0;
  std::string body;  // room for kBodyCapacity, reused from handle to handle
  size_t bodyPos = 0;
  // The reader's own buffer while a read is under way: the write callback
  // fills it first (while body is empty), saving a copy through body.
  char* dest = nullptr;
  size_t destRoom = 0;
  size_t destUsed = 0;
  // The reader's next buffer, filled once dest is full: what one step of curl
  // delivers past dest then lands where the reader goes on, not in body.
  char* spill = nullptr;
  size_t spillRoom = 0;
  size_t spillUsed = 0;
  bool paused = false;
  bool atEnd = false;
  int64_t position = 0;
  std::chrono::steady_clock::time_point lastActivity;  // of the last step that received
  bool received = false;  // set by the callbacks of the current step

  size_t Available() const { return body.size() - bodyPos; }
  void Wake() {
    std::lock_guard lock(wakeMutex);
    if (multi) curl_multi_wakeup(multi);
  }
  void ResetTransfer();
};

// Registers a new handle and returns its value.
HINTERNET Register(const std::shared_ptr<Handle>& h);
std::shared_ptr<Handle> Lookup(HINTERNET hi);
// Removes the handle from the registry; null when it is not there.
std::shared_ptr<Handle> Unregister(HINTERNET hi);

template <typename T>
std::shared_ptr<T> LookupAs(HINTERNET hi, Kind kind) {
  auto h = Lookup(hi);
  if (!h) {
    LastError() = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (h->kind != kind) {
    LastError() = ERROR_INTERNET_INCORRECT_HANDLE_TYPE;
    return nullptr;
  }
  return std::static_pointer_cast<T>(h);
}

// Out-parameter conventions of the query calls: a text with terminator, a value
// of fixed size; a short buffer fails with ERROR_INSUFFICIENT_BUFFER and the size needed.
inline bool CopyOut(const std::string& text, void* buffer, DWORD* length) {
  if (!length) {
    LastError() = ERROR_INVALID_PARAMETER;
    return false;
  }
  if (!buffer || *length < text.size() + 1) {
    *length = static_cast<DWORD>(text.size() + 1);
    LastError() = ERROR_INSUFFICIENT_BUFFER;
    return false;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  *length = static_cast<DWORD>(text.size());
  return true;
}

template <typename T>
bool CopyValue(const T& value, void* buffer, DWORD* length) {
  if (!length) {
    LastError() = ERROR_INVALID_PARAMETER;
    return false;
  }
  if (!buffer || *length < sizeof(T)) {
    *length = sizeof(T);
    LastError() = ERROR_INSUFFICIENT_BUFFER;
    return false;
  }
  std::memcpy(buffer, &value, sizeof(T));
  *length = sizeof(T);
  return true;
}

}  // namespace wininet::detail
