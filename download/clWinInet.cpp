// The curl driver of the handle layer: opening handles, sending a request and
// streaming its body. Errors, URLs, options, queries, proxies and the handle
// registry live in the clInet* files next to this one.
#include "download/clWinInet.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "download/clHttpRange.h"
#include "download/clInetHandles.h"
#include "download/clInetHeaders.h"
#include "download/clInetProxy.h"
#include "download/clNetBase.h"
#include "platform/Text.h"

namespace wininet {
namespace {

using namespace detail;

constexpr long kMaxRedirects = 20;

bool IsFollowedRedirect(int status) {
  return status == 300 || status == 301 || status == 302 || status == 303 || status == 307 ||
         status == 308;
}

size_t HeaderCallback(char* data, size_t size, size_t count, void* user) {
  auto* r = static_cast<RequestHandle*>(user);
  size_t n = size * count;
  r->received = true;
  if (!r->cur.Feed(data, n)) return n;
  // End of one response's head: interim and followed responses are skipped.
  if (r->cur.IsInterim()) return n;
  bool follow = !(r->flags & INTERNET_FLAG_NO_AUTO_REDIRECT);
  if (follow && IsFollowedRedirect(r->cur.Status) && r->cur.Header("Location")) return n;
  r->finalLines = r->cur.Lines;
  r->finalStatus = r->cur.Status;
  r->headersDone = true;
  return n;
}

size_t WriteCallback(char* data, size_t size, size_t count, void* user) {
  auto* r = static_cast<RequestHandle*>(user);
  size_t n = size * count;
  r->received = true;
  if (!r->headersDone) return n;  // body of a redirect or interim response
  if (r->dest && r->Available() == 0) {
    const size_t direct = std::min(n, r->destRoom - r->destUsed);
    std::memcpy(r->dest + r->destUsed, data, direct);
    r->destUsed += direct;
    size_t rest = n - direct;
    if (rest > 0 && r->spill) {
      const size_t spilled = std::min(rest, r->spillRoom - r->spillUsed);
      std::memcpy(r->spill + r->spillUsed, data + direct, spilled);
      r->spillUsed += spilled;
      rest -= spilled;
    }
    if (rest > 0) r->body.append(data + (n - rest), rest);  // body is empty: it waits there
    // When the next receive may not fit, curl stops reading until the next read:
    // what the socket holds then waits there, not copied into body and out again.
    // Only once the reader has bytes: its read returns with them and unpauses.
    if (rest == 0 && r->destUsed > 0 && !r->paused &&
        (r->destRoom - r->destUsed) + (r->spillRoom - r->spillUsed) <
            static_cast<size_t>(kReceiveBufferSize)) {
      r->paused = true;
      curl_easy_pause(r->easy, CURLPAUSE_RECV);
    }
    return n;
  }
  if (r->Available() > 0 && r->Available() + n > kBodyBufferLimit) {
    r->paused = true;
    return CURL_WRITEFUNC_PAUSE;
  }
  if (r->bodyPos > 0 && r->bodyPos >= r->body.size() / 2) {
    r->body.erase(0, r->bodyPos);
    r->bodyPos = 0;
  }
  r->body.append(data, n);
  return n;
}

// One step of the transfer without waiting; notes when it has ended.
bool Perform(RequestHandle& r) {
  int running = 0;
  r.received = false;
  if (curl_multi_perform(r.multi, &running) != CURLM_OK) return false;
  // Once per step, not per callback: a clock read per 16 KiB showed in the profile.
  if (r.received) r.lastActivity = std::chrono::steady_clock::now();
  int left = 0;
  while (CURLMsg* msg = curl_multi_info_read(r.multi, &left)) {
    if (msg->msg == CURLMSG_DONE) {
      r.transferDone = true;
      r.result = msg->data.result;
    }
  }
  return true;
}

// Drives the transfer until done() holds or the transfer ends. False (with the
// last error set) when the chain was aborted or the receive time limit passed.
template <typename Pred>
bool Drive(RequestHandle& r, Pred done) {
  auto receiveTimeout = r.Inherited(&Handle::receiveTimeout);
  r.lastActivity = std::chrono::steady_clock::now();
  for (;;) {
    if (r.Aborted()) {
      LastError() = ERROR_INTERNET_OPERATION_CANCELLED;
      return false;
    }
    if (!Perform(r)) {
      LastError() = ERROR_INTERNET_INTERNAL_ERROR;
      return false;
    }
    if (done() || r.transferDone) return true;
    int waitMs = 1000;
    if (receiveTimeout && *receiveTimeout > 0) {
      auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - r.lastActivity)
                      .count();
      if (idle >= static_cast<int64_t>(*receiveTimeout)) {
        LastError() = ERROR_INTERNET_TIMEOUT;
        return false;
      }
      waitMs = static_cast<int>(std::min<int64_t>(waitMs, *receiveTimeout - idle));
    }
    curl_multi_poll(r.multi, nullptr, 0, waitMs, nullptr);
  }
}

// Takes in what the socket already holds, never waiting, until the buffer is
// about full or nothing more comes.
void TakeInArrived(RequestHandle& r) {
  for (int i = 0; i < 8 && !r.paused && !r.transferDone; ++i) {
    if (r.Available() + static_cast<size_t>(kReceiveBufferSize) > kBodyBufferLimit) break;
    // The reader has all it has room for.
    if (r.dest && r.destUsed == r.destRoom && r.spillUsed == r.spillRoom) break;
    const size_t before = r.Available() + r.destUsed + r.spillUsed;
    if (!Perform(r)) break;
    if (r.Available() + r.destUsed + r.spillUsed == before) break;
  }
}

const std::string* RangeHeader(const RequestHandle& r) {
  for (const auto& line : r.headers)
    if (platform::IEqualsAscii(HeaderName(line), "Range")) return &line;
  return nullptr;
}

// The request's Range header, when it asks for one range.
std::optional<httprange::TRangeAsk> RequestedRange(const RequestHandle& r) {
  const std::string* line = RangeHeader(r);
  return line ? httprange::ParseRangeHeader(line->substr(line->find(':') + 1)) : std::nullopt;
}

std::optional<httprange::TContentRange> AnsweredRange(const RequestHandle& r) {
  auto value = FindHeader(r.finalLines, "Content-Range");
  return value ? httprange::ParseContentRange(*value) : std::nullopt;
}

// Total size of the resource when this response allows reading it at any offset.
std::optional<int64_t> RandomAccessSize(const RequestHandle& r) {
  auto asked = RequestedRange(r);
  if (r.finalStatus == 206) {
    auto parsed = AnsweredRange(r);
    if (!parsed || parsed->total <= 0) return std::nullopt;
    if (asked && parsed->first != asked->first) return std::nullopt;
    return parsed->total;
  }
  if (r.finalStatus == 200 && !asked) {
    auto ranges = FindHeader(r.finalLines, "Accept-Ranges");
    auto length = ParseLength(FindHeader(r.finalLines, "Content-Length"));
    if (ranges && platform::AsciiLower(*ranges).find("bytes") != std::string::npos && length &&
        *length > 0)
      return length;
  }
  return std::nullopt;
}

// ---- HttpSendRequest in its steps ----

std::string RequestUrl(const ConnectHandle& c, const RequestHandle& r, bool secure) {
  int port = c.port ? c.port : (secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT);
  std::string host =
      c.host.find(':') != std::string::npos && c.host[0] != '[' ? "[" + c.host + "]" : c.host;
  return std::string(secure ? "https://" : "http://") + host + ":" + std::to_string(port) +
         (r.object[0] == '/' ? "" : "/") + r.object;
}

void SetTransferOptions(CURL* easy, RequestHandle& r, const RootHandle& root,
                        const std::string& url) {
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, root.agent.c_str());
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, HeaderCallback);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &r);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, WriteCallback);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &r);
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
  if (!(r.flags & INTERNET_FLAG_NO_AUTO_REDIRECT)) {
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  }
  // Server credentials never follow a redirect to another host (curl's default),
  // proxy headers go only to the proxy, and a tunnel's CONNECT reply stays hidden.
  curl_easy_setopt(easy, CURLOPT_UNRESTRICTED_AUTH, 0L);
  curl_easy_setopt(easy, CURLOPT_HEADEROPT, static_cast<long>(CURLHEADER_SEPARATE));
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  if (platform::IEqualsAscii(r.verb, "HEAD")) {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (!platform::IEqualsAscii(r.verb, "GET")) {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, r.verb.c_str());
  }
  if (auto t = r.Inherited(&Handle::connectTimeout); t && *t > 0)
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(*t));
}

void SetProxyOptions(CURL* easy, const RootHandle& root, bool secure) {
  if (root.accessType == INTERNET_OPEN_TYPE_DIRECT) {
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
  } else if (root.accessType == INTERNET_OPEN_TYPE_PROXY) {
    std::string proxy = SelectProxy(root.proxy, secure ? "https" : "http");
    curl_easy_setopt(easy, CURLOPT_PROXY, proxy.c_str());
    std::string noProxy = NoProxyList(root.proxyBypass);
    curl_easy_setopt(easy, CURLOPT_NOPROXY, noProxy.c_str());
  }  // preconfigured: curl reads http_proxy / https_proxy / no_proxy
}

void SetRequestHeaders(CURL* easy, RequestHandle& r) {
  for (const auto& line : r.headers) {
    if (platform::IEqualsAscii(HeaderName(line), "Proxy-Authorization"))
      r.proxyHeaderList = curl_slist_append(r.proxyHeaderList, line.c_str());
    else
      r.headerList = curl_slist_append(r.headerList, line.c_str());
  }
  // The handle layer sends no Accept header of its own.
  r.headerList = curl_slist_append(r.headerList, "Accept:");
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, r.headerList);
  curl_easy_setopt(easy, CURLOPT_PROXYHEADER, r.proxyHeaderList);
}

void SetCredentials(CURL* easy, const RequestHandle& r) {
  auto user = r.Inherited(&Handle::userName);
  auto pass = r.Inherited(&Handle::password);
  if ((user && !user->empty()) || (pass && !pass->empty())) {
    curl_easy_setopt(easy, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(easy, CURLOPT_USERNAME, user ? user->c_str() : "");
    curl_easy_setopt(easy, CURLOPT_PASSWORD, pass ? pass->c_str() : "");
  }
  auto proxyUser = r.Inherited(&Handle::proxyUserName);
  auto proxyPass = r.Inherited(&Handle::proxyPassword);
  if ((proxyUser && !proxyUser->empty()) || (proxyPass && !proxyPass->empty())) {
    curl_easy_setopt(easy, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, proxyUser ? proxyUser->c_str() : "");
    curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, proxyPass ? proxyPass->c_str() : "");
  }
}

void SetSecurityOptions(CURL* easy, DWORD f) {
  bool ignorePeer = f & (SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                         SECURITY_FLAG_IGNORE_WRONG_USAGE);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, ignorePeer ? 0L : 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST,
                   (f & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) ? 0L : 2L);
  if (f & SECURITY_FLAG_IGNORE_REVOCATION)
    curl_easy_setopt(easy, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NO_REVOKE));
}

// The transfer ended without a final response's headers: keep what counts as one
// (a last response, a proxy's refusal of the tunnel) or fail with its code.
bool SettleWithoutHeaders(RequestHandle& r) {
  if (r.result == CURLE_OK && !r.cur.Lines.empty()) {
    r.finalLines = r.cur.Lines;
    r.finalStatus = r.cur.Status;
    r.headersDone = true;
    return true;
  }
  long connectCode = 0;
  curl_easy_getinfo(r.easy, CURLINFO_HTTP_CONNECTCODE, &connectCode);
  if (connectCode >= 400) {
    // The proxy refused the tunnel: report its status like a response.
    r.finalStatus = static_cast<int>(connectCode);
    r.finalLines = {"HTTP/1.1 " + std::to_string(connectCode)};
    r.headersDone = true;
    r.transferDone = true;
    r.result = CURLE_OK;
    return true;
  }
  LastError() = MapCurlCode(r.result);
  // Our own URLs are http(s): "unsupported" means a reply that was no HTTP
  // at all, or a redirect to a scheme we do not follow.
  if (r.result == CURLE_OK || r.result == CURLE_UNSUPPORTED_PROTOCOL)
    LastError() =
        r.cur.Lines.empty() ? ERROR_HTTP_INVALID_SERVER_RESPONSE : ERROR_HTTP_REDIRECT_FAILED;
  return false;
}

// A partial answer must carry the bytes asked for (from 0 when no Range was
// sent), else it would land at the wrong offset. Ranges this layer does not
// parse (suffixes, lists) are left to the caller.
bool PartialAnswerFits(const RequestHandle& r) {
  if (r.finalStatus != 206) return true;
  std::optional<httprange::TRangeAsk> ask =
      RangeHeader(r) ? RequestedRange(r) : httprange::TRangeAsk{};
  if (!ask) return true;
  auto parsed = AnsweredRange(r);
  return parsed && httprange::AnswerFits(*ask, *parsed);
}

// What went straight into the caller's buffers.
struct TDirect {
  size_t read = 0;
  size_t spilled = 0;
};

// Runs receive() with the caller's buffer (and then its spill buffer) as the
// write callback's first targets (body must be empty).
template <typename Fn>
TDirect ReceiveInto(RequestHandle& r, void* buffer, DWORD toRead, void* spill, DWORD spillRoom,
                    Fn receive) {
  r.dest = static_cast<char*>(buffer);
  r.destRoom = toRead;
  r.destUsed = 0;
  r.spill = static_cast<char*>(spill);
  r.spillRoom = spill ? spillRoom : 0;
  r.spillUsed = 0;
  struct TClear {
    RequestHandle& r;
    ~TClear() {
      r.dest = r.spill = nullptr;
      r.destRoom = r.destUsed = r.spillRoom = r.spillUsed = 0;
    }
  } clear{r};
  receive();
  return {r.destUsed, r.spillUsed};
}

// The caller's buffers were filled by the write callback.
bool TookDirect(RequestHandle& r, TDirect n, DWORD* bytesRead, DWORD* spilled) {
  r.position += static_cast<int64_t>(n.read + n.spilled);
  *bytesRead = static_cast<DWORD>(n.read);
  if (spilled) *spilled = static_cast<DWORD>(n.spilled);
  LastError() = 0;
  return true;
}

// Hands the caller the next bytes of the buffered body (some are there).
bool TakeFromBody(RequestHandle& r, void* buffer, DWORD toRead, DWORD* bytesRead) {
  size_t n = std::min<size_t>(toRead, r.Available());
  std::memcpy(buffer, r.body.data() + r.bodyPos, n);
  r.bodyPos += n;
  r.position += static_cast<int64_t>(n);
  *bytesRead = static_cast<DWORD>(n);
  if (r.bodyPos == r.body.size()) {
    r.body.clear();
    r.bodyPos = 0;
  }
  LastError() = 0;
  return true;
}

}  // namespace

HINTERNET InternetOpen(const std::string& agent, DWORD accessType, const std::string& proxy,
                       const std::string& proxyBypass, DWORD flags) {
  net::InitCurl();
  if (accessType != INTERNET_OPEN_TYPE_PRECONFIG && accessType != INTERNET_OPEN_TYPE_DIRECT &&
      accessType != INTERNET_OPEN_TYPE_PROXY) {
    LastError() = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  auto root = std::make_shared<RootHandle>();
  root->chain = std::make_shared<Chain>();
  root->agent = agent;
  root->accessType = accessType;
  root->proxy = platform::TrimBlanks(proxy);
  root->proxyBypass = platform::TrimBlanks(proxyBypass);
  LastError() = 0;
  return Register(root);
}

HINTERNET InternetConnect(HINTERNET internet, const std::string& serverName, int serverPort,
                          const std::string* userName, const std::string* password, DWORD service,
                          DWORD flags, void* context) {
  auto root = LookupAs<RootHandle>(internet, Kind::Root);
  if (!root) return nullptr;
  if (root->Aborted()) {
    LastError() = ERROR_INTERNET_OPERATION_CANCELLED;
    return nullptr;
  }
  if (service != INTERNET_SERVICE_HTTP) {
    LastError() = ERROR_INTERNET_INVALID_OPERATION;  // only HTTP is carried
    return nullptr;
  }
  if (serverName.empty() || serverPort < 0 || serverPort > 65535) {
    LastError() = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  auto c = std::make_shared<ConnectHandle>();
  c->chain = root->chain;
  c->parent = root;
  c->host = serverName;
  c->port = serverPort;
  c->service = service;
  if (userName) c->userName = *userName;
  if (password) c->password = *password;
  LastError() = 0;
  return Register(c);
}

HINTERNET HttpOpenRequest(HINTERNET connect, const std::string& verb, const std::string& object,
                          DWORD flags, void* context) {
  auto c = LookupAs<ConnectHandle>(connect, Kind::Connect);
  if (!c) return nullptr;
  if (c->Aborted()) {
    LastError() = ERROR_INTERNET_OPERATION_CANCELLED;
    return nullptr;
  }
  auto r = std::make_shared<RequestHandle>();
  r->chain = c->chain;
  r->parent = c;
  r->verb = verb.empty() ? "GET" : verb;
  r->object = object.empty() ? "/" : object;
  r->flags = flags;
  {
    std::lock_guard lock(r->chain->mutex);
    r->chain->requests.push_back(r.get());
  }
  LastError() = 0;
  return Register(r);
}

bool HttpAddRequestHeaders(HINTERNET request, const std::string& headers, DWORD modifiers) {
  auto r = LookupAs<RequestHandle>(request, Kind::Request);
  if (!r) return false;
  bool allAdded = true;
  size_t i = 0;
  while (i <= headers.size()) {
    size_t j = headers.find("\r\n", i);
    if (j == std::string::npos) j = headers.size();
    std::string line = platform::TrimBlanks(headers.substr(i, j - i));
    i = j + 2;
    if (line.empty()) continue;
    if (line.find(':') == std::string::npos) {
      LastError() = ERROR_HTTP_INVALID_HEADER;
      allAdded = false;
      continue;
    }
    std::string name = HeaderName(line);
    auto same = [&](const std::string& h) { return platform::IEqualsAscii(HeaderName(h), name); };
    auto existing = std::find_if(r->headers.begin(), r->headers.end(), same);
    if (modifiers & HTTP_ADDREQ_FLAG_REPLACE) {
      r->headers.erase(std::remove_if(r->headers.begin(), r->headers.end(), same),
                       r->headers.end());
      std::string value = platform::TrimBlanks(line.substr(line.find(':') + 1));
      if (!value.empty()) r->headers.push_back(line);
    } else if ((modifiers & HTTP_ADDREQ_FLAG_ADD_IF_NEW) && existing != r->headers.end()) {
      LastError() = ERROR_HTTP_HEADER_ALREADY_EXISTS;
      allAdded = false;
    } else {
      r->headers.push_back(line);
    }
  }
  if (allAdded) LastError() = 0;
  return allAdded;
}

bool HttpSendRequest(HINTERNET request) {
  auto r = LookupAs<RequestHandle>(request, Kind::Request);
  if (!r) return false;
  if (r->Aborted()) {
    LastError() = ERROR_INTERNET_OPERATION_CANCELLED;
    return false;
  }
  auto c = std::static_pointer_cast<ConnectHandle>(r->parent);
  auto root = std::static_pointer_cast<RootHandle>(c->parent);
  r->ResetTransfer();

  CURL* easy = curl_easy_init();
  CURLM* multi = curl_multi_init();
  if (!easy || !multi) {
    if (easy) curl_easy_cleanup(easy);
    if (multi) curl_multi_cleanup(multi);
    LastError() = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
  r->easy = easy;
  const bool secure = (r->flags & INTERNET_FLAG_SECURE) != 0;
  SetTransferOptions(easy, *r, *root, RequestUrl(*c, *r, secure));
  SetProxyOptions(easy, *root, secure);
  SetRequestHeaders(easy, *r);
  SetCredentials(easy, *r);
  if (secure) SetSecurityOptions(easy, r->securityFlags);

  curl_multi_add_handle(multi, easy);
  {
    std::lock_guard lock(r->wakeMutex);
    r->multi = multi;
  }
  r->sent = true;
  if (!Drive(*r, [&] { return r->headersDone; })) return false;
  if (!r->headersDone && !SettleWithoutHeaders(*r)) return false;
  if (!PartialAnswerFits(*r)) {
    LastError() = ERROR_HTTP_INVALID_SERVER_RESPONSE;
    return false;
  }
  LastError() = 0;
  return true;
}

bool InternetReadFile(HINTERNET file, void* buffer, DWORD toRead, DWORD* bytesRead) {
  auto r = LookupAs<RequestHandle>(file, Kind::Request);
  if (!r) return false;
  if (!bytesRead || (!buffer && toRead)) {
    LastError() = ERROR_INVALID_PARAMETER;
    return false;
  }
  *bytesRead = 0;
  if (r->Aborted()) {
    LastError() = ERROR_INTERNET_OPERATION_CANCELLED;
    return false;
  }
  if (!r->headersDone) {
    LastError() = ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    return false;
  }
  if (r->atEnd || toRead == 0) {
    LastError() = 0;
    return true;
  }
  if (r->Available() == 0 && !r->transferDone) {
    bool driven = true;
    const TDirect direct = ReceiveInto(*r, buffer, toRead, nullptr, 0, [&] {
      if (r->paused) {
        r->paused = false;
        curl_easy_pause(r->easy, CURLPAUSE_CONT);  // may deliver data right here
      }
      driven = Drive(*r, [&] { return r->Available() > 0 || r->destUsed > 0; });
      // Take in what has already arrived as well: the reads that follow are then
      // served from the buffer on the caller's own thread.
      if (driven) TakeInArrived(*r);
    });
    if (direct.read > 0) return TookDirect(*r, direct, bytesRead, nullptr);
    if (!driven) return false;
  }
  if (r->Available() == 0) {
    if (r->result != CURLE_OK) {
      LastError() = MapCurlCode(r->result);
      return false;
    }
    LastError() = 0;
    return true;  // end of the body
  }
  return TakeFromBody(*r, buffer, toRead, bytesRead);
}

bool InternetReadFileBuffered(HINTERNET file, void* buffer, DWORD toRead, DWORD* bytesRead,
                              int waitMs, void* spill, DWORD spillRoom, DWORD* spilled) {
  if (spilled) *spilled = 0;
  auto r = LookupAs<RequestHandle>(file, Kind::Request);
  if (!r || !bytesRead || !buffer || toRead == 0) return false;
  if (r->Aborted() || !r->headersDone || r->atEnd || !r->sent) return false;
  if (r->Available() == 0 && !r->transferDone) {
    // Without a place to say how much was spilled, nothing is.
    if (!spilled) spill = nullptr;
    const TDirect direct = ReceiveInto(*r, buffer, toRead, spill, spillRoom, [&] {
      if (r->paused) {
        r->paused = false;
        curl_easy_pause(r->easy, CURLPAUSE_CONT);  // hands over what curl held back
      }
      TakeInArrived(*r);
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
      while (r->destUsed == 0 && r->Available() == 0 && !r->transferDone && !r->paused &&
             !r->Aborted()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              until - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) break;
        curl_multi_poll(r->multi, nullptr, 0, static_cast<int>(left), nullptr);
        r->lastActivity = std::chrono::steady_clock::now();
        TakeInArrived(*r);
      }
    });
    if (direct.read > 0) return TookDirect(*r, direct, bytesRead, spilled);
  }
  if (r->Available() == 0) return false;
  return TakeFromBody(*r, buffer, toRead, bytesRead);
}

int64_t InternetSetFilePointer(HINTERNET file, int64_t distance, DWORD moveMethod) {
  auto r = LookupAs<RequestHandle>(file, Kind::Request);
  if (!r) return -1;
  if (!r->headersDone) {
    LastError() = ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    return -1;
  }
  int64_t target;
  if (moveMethod == FILE_END) {
    auto size = RandomAccessSize(*r);
    if (!size) {
      LastError() = ERROR_INTERNET_INVALID_OPERATION;
      return -1;
    }
    target = *size + distance;
  } else if (moveMethod == FILE_CURRENT) {
    target = r->position + distance;
  } else if (moveMethod == FILE_BEGIN) {
    target = distance;
  } else {
    LastError() = ERROR_INVALID_PARAMETER;
    return -1;
  }
  if (target == r->position) {
    LastError() = 0;
    return target;
  }
  auto size = RandomAccessSize(*r);
  if (size && target == *size && moveMethod == FILE_END) {
    // Nothing is left to read from here; the body is not fetched.
    r->atEnd = true;
    r->position = target;
    LastError() = 0;
    return target;
  }
  LastError() = ERROR_INTERNET_INVALID_OPERATION;
  return -1;
}

}  // namespace wininet
