#include "download/clInetHandles.h"

#include <algorithm>
#include <unordered_map>

#include "download/clBufferPool.h"

namespace wininet {
namespace detail {
namespace {

std::mutex g_registryMutex;
std::unordered_map<uintptr_t, std::shared_ptr<Handle>> g_handles;
uintptr_t g_nextId = 0x1000;  // never reused, so a stale handle never hits a new one

// Never destroyed: a detached worker may close its handles during exit.
bufpool::TReusePool<std::string>& BodyPool() {
  static auto* pool = new bufpool::TReusePool<std::string>(16);
  return *pool;
}

}  // namespace

RequestHandle::RequestHandle() : Handle(Kind::Request), body(BodyPool().Take()) {
  body.clear();
  body.reserve(kBodyCapacity);
}

void RequestHandle::ResetTransfer() {
  CURLM* oldMulti;
  {
    std::lock_guard lock(wakeMutex);
    oldMulti = multi;
    multi = nullptr;
  }
  if (easy) {
    if (oldMulti) curl_multi_remove_handle(oldMulti, easy);
    curl_easy_cleanup(easy);
    easy = nullptr;
  }
  if (oldMulti) curl_multi_cleanup(oldMulti);
  curl_slist_free_all(headerList);
  curl_slist_free_all(proxyHeaderList);
  headerList = proxyHeaderList = nullptr;
  sent = transferDone = headersDone = paused = atEnd = false;
  result = CURLE_OK;
  cur = {};
  finalLines.clear();
  finalStatus = 0;
  body.clear();
  bodyPos = 0;
  position = 0;
}

RequestHandle::~RequestHandle() {
  {
    std::lock_guard lock(chain->mutex);
    auto& list = chain->requests;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
  }
  ResetTransfer();
  BodyPool().Give(std::move(body));
}

HINTERNET Register(const std::shared_ptr<Handle>& h) {
  std::lock_guard lock(g_registryMutex);
  h->id = ++g_nextId;
  g_handles[h->id] = h;
  return reinterpret_cast<HINTERNET>(h->id);
}

std::shared_ptr<Handle> Lookup(HINTERNET hi) {
  std::lock_guard lock(g_registryMutex);
  auto it = g_handles.find(reinterpret_cast<uintptr_t>(hi));
  return it == g_handles.end() ? nullptr : it->second;
}

std::shared_ptr<Handle> Unregister(HINTERNET hi) {
  std::lock_guard lock(g_registryMutex);
  auto it = g_handles.find(reinterpret_cast<uintptr_t>(hi));
  if (it == g_handles.end()) return nullptr;
  auto h = it->second;
  g_handles.erase(it);
  return h;
}

}  // namespace detail

using namespace detail;

bool InternetCloseHandle(HINTERNET internet) {
  std::shared_ptr<Handle> h = Unregister(internet);
  if (!h) {
    LastError() = ERROR_INVALID_HANDLE;
    return false;
  }
  h->closed = true;
  if (h->kind == Kind::Root) h->chain->aborted = true;
  // Pending calls on the chain notice the close at their next wake-up.
  {
    std::lock_guard lock(h->chain->mutex);
    for (RequestHandle* r : h->chain->requests) r->Wake();
  }
  LastError() = 0;
  return true;  // the object itself goes when the last pending call lets go of it
}

size_t OpenHandleCount() {
  std::lock_guard lock(g_registryMutex);
  return g_handles.size();
}

}  // namespace wininet
