#include "download/clWinInet.h"
#include "platform/Text.h"

#include <curl/curl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace wininet {
namespace {

thread_local DWORD t_lastError = 0;

// curl's receive buffer: one recv (and one write callback) takes up to this much.
constexpr long kReceiveBufferSize = 64 * 1024;
// Bodies are handed from curl's write callback to InternetReadFile through this
// buffer; curl is paused while it is full, so a huge response costs little memory.
constexpr size_t kBodyBufferLimit = 2 * kReceiveBufferSize;
constexpr long kMaxRedirects = 20;

std::atomic<DWORD> g_maxConnsPerServer{2};
std::atomic<DWORD> g_maxConnsPer10Server{4};

void EnsureCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

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

struct RequestHandle : Handle {
  RequestHandle() : Handle(Kind::Request) {}
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
  std::vector<std::string> curLines, finalLines;
  int curStatus = 0, finalStatus = 0;
  std::string body;
  size_t bodyPos = 0;
  bool paused = false;
  bool atEnd = false;
  int64_t position = 0;
  std::chrono::steady_clock::time_point lastActivity;

  size_t Available() const { return body.size() - bodyPos; }
  void Wake() {
    std::lock_guard lock(wakeMutex);
    if (multi) curl_multi_wakeup(multi);
  }
  void ResetTransfer();
};

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
  curLines.clear();
  finalLines.clear();
  curStatus = finalStatus = 0;
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
}

std::mutex g_registryMutex;
std::unordered_map<uintptr_t, std::shared_ptr<Handle>> g_handles;
uintptr_t g_nextId = 0x1000;  // never reused, so a stale handle never hits a new one

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

template <typename T>
std::shared_ptr<T> LookupAs(HINTERNET hi, Kind kind) {
  auto h = Lookup(hi);
  if (!h) {
    t_lastError = ERROR_INVALID_HANDLE;
    return nullptr;
  }
  if (h->kind != kind) {
    t_lastError = ERROR_INTERNET_INCORRECT_HANDLE_TYPE;
    return nullptr;
  }
  return std::static_pointer_cast<T>(h);
}

DWORD MapCurlCode(CURLcode code) {
  switch (code) {
    case CURLE_OK:
      return ERROR_SUCCESS;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    case CURLE_URL_MALFORMAT:
      return ERROR_INTERNET_INVALID_URL;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
      return ERROR_INTERNET_NAME_NOT_RESOLVED;
    case CURLE_COULDNT_CONNECT:
      return ERROR_INTERNET_CANNOT_CONNECT;
    case CURLE_OPERATION_TIMEDOUT:
      return ERROR_INTERNET_TIMEOUT;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_BAD_CONTENT_ENCODING:
      return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    case CURLE_PARTIAL_FILE:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      return ERROR_INTERNET_CONNECTION_ABORTED;
    case CURLE_TOO_MANY_REDIRECTS:
      return ERROR_HTTP_REDIRECT_FAILED;
    case CURLE_ABORTED_BY_CALLBACK:
      return ERROR_INTERNET_OPERATION_CANCELLED;
    case CURLE_OUT_OF_MEMORY:
      return ERROR_NOT_ENOUGH_MEMORY;
    case CURLE_PEER_FAILED_VERIFICATION:
      return ERROR_INTERNET_INVALID_CA;
    case CURLE_SSL_CONNECT_ERROR:
      return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    case CURLE_SSL_CERTPROBLEM:
      return ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED;
    default:
      return ERROR_INTERNET_INTERNAL_ERROR;
  }
}

bool IsFollowedRedirect(int status) {
  return status == 300 || status == 301 || status == 302 || status == 303 || status == 307 ||
         status == 308;
}

std::optional<std::string> FindHeader(const std::vector<std::string>& lines,
                                      const std::string& name, DWORD occurrence = 0) {
  DWORD seen = 0;
  for (size_t i = 1; i < lines.size(); ++i) {
    auto colon = lines[i].find(':');
    if (colon == std::string::npos) continue;
    if (!platform::IEqualsAscii(platform::TrimBlanks(lines[i].substr(0, colon)), name)) continue;
    if (seen++ == occurrence) return platform::TrimBlanks(lines[i].substr(colon + 1));
  }
  return std::nullopt;
}

std::string HeaderName(const std::string& line) {
  auto colon = line.find(':');
  return platform::TrimBlanks(colon == std::string::npos ? line : line.substr(0, colon));
}

size_t HeaderCallback(char* data, size_t size, size_t count, void* user) {
  auto* r = static_cast<RequestHandle*>(user);
  size_t n = size * count;
  r->lastActivity = std::chrono::steady_clock::now();
  std::string line(data, n);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  if (line.rfind("HTTP/", 0) == 0) {
    r->curLines = {line};
    r->curStatus = 0;
    auto sp = line.find(' ');
    if (sp != std::string::npos) r->curStatus = std::atoi(line.c_str() + sp + 1);
    return n;
  }
  if (!line.empty()) {
    if (!r->curLines.empty()) r->curLines.push_back(line);
    return n;
  }
  // End of one response's headers: interim and followed responses are skipped.
  if (r->curStatus >= 100 && r->curStatus < 200) return n;
  bool follow = !(r->flags & INTERNET_FLAG_NO_AUTO_REDIRECT);
  if (follow && IsFollowedRedirect(r->curStatus) && FindHeader(r->curLines, "Location")) return n;
  r->finalLines = r->curLines;
  r->finalStatus = r->curStatus;
  r->headersDone = true;
  return n;
}

size_t WriteCallback(char* data, size_t size, size_t count, void* user) {
  auto* r = static_cast<RequestHandle*>(user);
  size_t n = size * count;
  r->lastActivity = std::chrono::steady_clock::now();
  if (!r->headersDone) return n;  // body of a redirect or interim response
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

// Drives the transfer until done() holds or the transfer ends. False (with the
// last error set) when the chain was aborted or the receive time limit passed.
template <typename Pred>
bool Drive(RequestHandle& r, Pred done) {
  auto receiveTimeout = r.Inherited(&Handle::receiveTimeout);
  r.lastActivity = std::chrono::steady_clock::now();
  for (;;) {
    if (r.Aborted()) {
      t_lastError = ERROR_INTERNET_OPERATION_CANCELLED;
      return false;
    }
    int running = 0;
    if (curl_multi_perform(r.multi, &running) != CURLM_OK) {
      t_lastError = ERROR_INTERNET_INTERNAL_ERROR;
      return false;
    }
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(r.multi, &left)) {
      if (msg->msg == CURLMSG_DONE) {
        r.transferDone = true;
        r.result = msg->data.result;
      }
    }
    if (done() || r.transferDone) return true;
    int waitMs = 1000;
    if (receiveTimeout && *receiveTimeout > 0) {
      auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - r.lastActivity)
                      .count();
      if (idle >= static_cast<int64_t>(*receiveTimeout)) {
        t_lastError = ERROR_INTERNET_TIMEOUT;
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
    size_t before = r.Available();
    int running = 0;
    if (curl_multi_perform(r.multi, &running) != CURLM_OK) break;
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(r.multi, &left)) {
      if (msg->msg == CURLMSG_DONE) {
        r.transferDone = true;
        r.result = msg->data.result;
      }
    }
    if (r.Available() == before) break;
  }
}

// "bytes=S-..." of the request's Range header, when it asks for one range.
std::optional<int64_t> RequestedRangeStart(const RequestHandle& r) {
  for (const auto& line : r.headers) {
    if (!platform::IEqualsAscii(HeaderName(line), "Range")) continue;
    std::string value = platform::TrimBlanks(line.substr(line.find(':') + 1));
    if (platform::AsciiLower(value).rfind("bytes=", 0) != 0) return std::nullopt;
    std::string range = value.substr(6);
    if (range.find(',') != std::string::npos || range.empty() || !std::isdigit(range[0]))
      return std::nullopt;
    return std::strtoll(range.c_str(), nullptr, 10);
  }
  return std::nullopt;
}

struct ContentRange {
  int64_t first = 0, last = 0, total = -1;
};

std::optional<ContentRange> ParseContentRange(const std::string& value) {
  std::string v = platform::TrimBlanks(value);
  if (platform::AsciiLower(v).rfind("bytes ", 0) != 0) return std::nullopt;
  ContentRange cr;
  char slashStar = 0;
  long long a = 0, b = 0, t = 0;
  if (std::sscanf(v.c_str() + 6, "%lld-%lld/%lld", &a, &b, &t) == 3) {
    cr.first = a, cr.last = b, cr.total = t;
  } else if (std::sscanf(v.c_str() + 6, "%lld-%lld/%c", &a, &b, &slashStar) == 3 &&
             slashStar == '*') {
    cr.first = a, cr.last = b;
  } else {
    return std::nullopt;
  }
  if (cr.first < 0 || cr.last < cr.first || (cr.total >= 0 && cr.last >= cr.total))
    return std::nullopt;
  return cr;
}

std::optional<int64_t> ParseLength(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  for (char c : *text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
  if (text->size() > 18) return std::nullopt;
  return std::strtoll(text->c_str(), nullptr, 10);
}

// Total size of the resource when this response allows reading it at any offset.
std::optional<int64_t> RandomAccessSize(const RequestHandle& r) {
  auto asked = RequestedRangeStart(r);
  if (r.finalStatus == 206) {
    auto cr = FindHeader(r.finalLines, "Content-Range");
    auto parsed = cr ? ParseContentRange(*cr) : std::nullopt;
    if (!parsed || parsed->total <= 0) return std::nullopt;
    if (asked && parsed->first != *asked) return std::nullopt;
    return parsed->total;
  }
  if (r.finalStatus == 200 && !asked) {
    auto ranges = FindHeader(r.finalLines, "Accept-Ranges");
    auto length = ParseLength(FindHeader(r.finalLines, "Content-Length"));
    if (ranges && platform::AsciiLower(*ranges).find("bytes") != std::string::npos && length && *length > 0)
      return length;
  }
  return std::nullopt;
}

// The proxy of a named-proxy handle for a scheme: "name=server:port" entries or one
// entry for every scheme; always used as an HTTP proxy (a tunnel for https).
std::string SelectProxy(const std::string& list, const std::string& scheme) {
  std::string fallback, chosen;
  size_t i = 0;
  while (i < list.size()) {
    while (i < list.size() && (list[i] == ' ' || list[i] == ';' || list[i] == '\t')) ++i;
    size_t j = i;
    while (j < list.size() && list[j] != ' ' && list[j] != ';' && list[j] != '\t') ++j;
    std::string token = list.substr(i, j - i);
    i = j;
    if (token.empty()) continue;
    auto eq = token.find('=');
    if (eq == std::string::npos) {
      if (fallback.empty()) fallback = token;
    } else if (platform::IEqualsAscii(token.substr(0, eq), scheme) && chosen.empty()) {
      chosen = token.substr(eq + 1);
    }
  }
  std::string server = chosen.empty() ? fallback : chosen;
  auto sep = server.find("://");
  if (sep != std::string::npos) server = server.substr(sep + 3);
  while (!server.empty() && server.back() == '/') server.pop_back();
  return server.empty() ? "" : "http://" + server;
}

std::string NoProxyList(const std::string& bypass) {
  std::string out;
  size_t i = 0;
  while (i < bypass.size()) {
    size_t j = bypass.find_first_of(" ;,\t", i);
    if (j == std::string::npos) j = bypass.size();
    std::string token = bypass.substr(i, j - i);
    i = j + 1;
    if (token.empty() || token == "<local>") continue;
    if (token.size() > 1 && token.rfind("*.", 0) == 0) token = token.substr(1);
    if (!out.empty()) out += ",";
    out += token;
  }
  return out;
}

bool SetStringOption(std::optional<std::string>& field, const void* buffer, DWORD length) {
  const char* text = static_cast<const char*>(buffer);
  field = buffer ? std::string(text, strnlen(text, length)) : std::string();
  return true;
}

bool CopyOut(const std::string& text, void* buffer, DWORD* length) {
  if (!length) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return false;
  }
  if (!buffer || *length < text.size() + 1) {
    *length = static_cast<DWORD>(text.size() + 1);
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return false;
  }
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  *length = static_cast<DWORD>(text.size());
  return true;
}

template <typename T>
bool CopyValue(const T& value, void* buffer, DWORD* length) {
  if (!length) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return false;
  }
  if (!buffer || *length < sizeof(T)) {
    *length = sizeof(T);
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return false;
  }
  std::memcpy(buffer, &value, sizeof(T));
  *length = sizeof(T);
  return true;
}

struct SchemeInfo {
  const char* name;
  int type;
  int port;
  bool hierarchical;
};

const SchemeInfo kSchemes[] = {
    {"ftp", INTERNET_SCHEME_FTP, 21, true},
    {"gopher", INTERNET_SCHEME_GOPHER, 70, true},
    {"http", INTERNET_SCHEME_HTTP, 80, true},
    {"https", INTERNET_SCHEME_HTTPS, 443, true},
    {"file", INTERNET_SCHEME_FILE, 0, true},
    {"news", INTERNET_SCHEME_NEWS, 119, false},
    {"mailto", INTERNET_SCHEME_MAILTO, 0, false},
    {"socks", INTERNET_SCHEME_SOCKS, 1080, true},
    {"javascript", INTERNET_SCHEME_JAVASCRIPT, 0, false},
    {"vbscript", INTERNET_SCHEME_VBSCRIPT, 0, false},
    {"res", INTERNET_SCHEME_RES, 0, false},
};

const SchemeInfo* FindScheme(const std::string& name) {
  for (const auto& s : kSchemes)
    if (platform::IEqualsAscii(name, s.name)) return &s;
  return nullptr;
}

const SchemeInfo* FindScheme(int type) {
  for (const auto& s : kSchemes)
    if (s.type == type) return &s;
  return nullptr;
}

}  // namespace

DWORD GetLastError() {
  return t_lastError;
}
void SetLastError(DWORD code) {
  t_lastError = code;
}

std::string FormatErrorMessage(DWORD code) {
  static const std::map<DWORD, const char*> kMessages = {
      {ERROR_INVALID_HANDLE, "The handle is invalid."},
      {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory is available to complete this operation."},
      {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
      {ERROR_INSUFFICIENT_BUFFER, "The data area passed to the call is too small."},
      {WAIT_TIMEOUT, "The wait operation timed out."},
      {ERROR_CANCELLED, "The operation was cancelled by the user."},
      {ERROR_INTERNET_OUT_OF_HANDLES, "No more Internet handles could be allocated."},
      {ERROR_INTERNET_TIMEOUT, "The operation timed out."},
      {ERROR_INTERNET_EXTENDED_ERROR, "The server returned extended information."},
      {ERROR_INTERNET_INTERNAL_ERROR, "An internal error occurred in the Internet layer."},
      {ERROR_INTERNET_INVALID_URL, "The URL is invalid."},
      {ERROR_INTERNET_UNRECOGNIZED_SCHEME, "The URL does not use a recognized protocol."},
      {ERROR_INTERNET_NAME_NOT_RESOLVED, "The server name or address could not be resolved."},
      {ERROR_INTERNET_INVALID_OPTION, "An invalid option value was requested."},
      {ERROR_INTERNET_BAD_OPTION_LENGTH, "The length of the option value is not correct."},
      {ERROR_INTERNET_INVALID_OPERATION, "The requested operation is invalid."},
      {ERROR_INTERNET_OPERATION_CANCELLED, "The operation was cancelled."},
      {ERROR_INTERNET_INCORRECT_HANDLE_TYPE,
       "The handle is of the wrong type for the requested operation."},
      {ERROR_INTERNET_INCORRECT_HANDLE_STATE,
       "The requested operation cannot be carried out in the handle's current state."},
      {ERROR_INTERNET_CANNOT_CONNECT, "A connection with the server could not be established."},
      {ERROR_INTERNET_CONNECTION_ABORTED,
       "The connection with the server was terminated abnormally."},
      {ERROR_INTERNET_CONNECTION_RESET, "The connection with the server was reset."},
      {ERROR_INTERNET_FORCE_RETRY, "The request must be sent again."},
      {ERROR_INTERNET_SEC_CERT_DATE_INVALID,
       "The server's certificate has expired or is not yet valid."},
      {ERROR_INTERNET_SEC_CERT_CN_INVALID,
       "The server's certificate was issued for a different host name."},
      {ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED, "The server requires a client certificate."},
      {ERROR_INTERNET_INVALID_CA, "The server's certificate authority is not trusted."},
      {ERROR_HTTP_HEADER_NOT_FOUND, "The requested header could not be found."},
      {ERROR_HTTP_INVALID_SERVER_RESPONSE, "The server response could not be parsed."},
      {ERROR_HTTP_INVALID_HEADER, "The supplied header is invalid."},
      {ERROR_HTTP_HEADER_ALREADY_EXISTS,
       "The header could not be added because it already exists."},
      {ERROR_HTTP_REDIRECT_FAILED, "The redirection failed."},
      {ERROR_INTERNET_SECURITY_CHANNEL_ERROR, "A secure channel could not be established."},
  };
  auto it = kMessages.find(code);
  return it == kMessages.end() ? "" : std::string(it->second) + "\r\n";
}

std::string InternetGetLastResponseInfo() {
  return std::string();
}

HINTERNET InternetOpen(const std::string& agent, DWORD accessType, const std::string& proxy,
                       const std::string& proxyBypass, DWORD flags) {
  EnsureCurl();
  if (accessType != INTERNET_OPEN_TYPE_PRECONFIG && accessType != INTERNET_OPEN_TYPE_DIRECT &&
      accessType != INTERNET_OPEN_TYPE_PROXY) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return nullptr;
  }
  auto root = std::make_shared<RootHandle>();
  root->chain = std::make_shared<Chain>();
  root->agent = agent;
  root->accessType = accessType;
  root->proxy = platform::TrimBlanks(proxy);
  root->proxyBypass = platform::TrimBlanks(proxyBypass);
  t_lastError = 0;
  return Register(root);
}

HINTERNET InternetConnect(HINTERNET internet, const std::string& serverName, int serverPort,
                          const std::string* userName, const std::string* password, DWORD service,
                          DWORD flags, void* context) {
  auto root = LookupAs<RootHandle>(internet, Kind::Root);
  if (!root) return nullptr;
  if (root->Aborted()) {
    t_lastError = ERROR_INTERNET_OPERATION_CANCELLED;
    return nullptr;
  }
  if (service != INTERNET_SERVICE_HTTP) {
    t_lastError = ERROR_INTERNET_INVALID_OPERATION;  // only HTTP is carried
    return nullptr;
  }
  if (serverName.empty() || serverPort < 0 || serverPort > 65535) {
    t_lastError = ERROR_INVALID_PARAMETER;
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
  t_lastError = 0;
  return Register(c);
}

HINTERNET HttpOpenRequest(HINTERNET connect, const std::string& verb, const std::string& object,
                          DWORD flags, void* context) {
  auto c = LookupAs<ConnectHandle>(connect, Kind::Connect);
  if (!c) return nullptr;
  if (c->Aborted()) {
    t_lastError = ERROR_INTERNET_OPERATION_CANCELLED;
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
  t_lastError = 0;
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
      t_lastError = ERROR_HTTP_INVALID_HEADER;
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
      t_lastError = ERROR_HTTP_HEADER_ALREADY_EXISTS;
      allAdded = false;
    } else {
      r->headers.push_back(line);
    }
  }
  if (allAdded) t_lastError = 0;
  return allAdded;
}

bool HttpSendRequest(HINTERNET request) {
  auto r = LookupAs<RequestHandle>(request, Kind::Request);
  if (!r) return false;
  if (r->Aborted()) {
    t_lastError = ERROR_INTERNET_OPERATION_CANCELLED;
    return false;
  }
  auto c = std::static_pointer_cast<ConnectHandle>(r->parent);
  auto root = std::static_pointer_cast<RootHandle>(c->parent);
  r->ResetTransfer();

  bool secure = (r->flags & INTERNET_FLAG_SECURE) != 0;
  int port =
      c->port ? c->port : (secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT);
  std::string host =
      c->host.find(':') != std::string::npos && c->host[0] != '[' ? "[" + c->host + "]" : c->host;
  std::string url = std::string(secure ? "https://" : "http://") + host + ":" +
                    std::to_string(port) + (r->object[0] == '/' ? "" : "/") + r->object;

  CURL* easy = curl_easy_init();
  CURLM* multi = curl_multi_init();
  if (!easy || !multi) {
    if (easy) curl_easy_cleanup(easy);
    if (multi) curl_multi_cleanup(multi);
    t_lastError = ERROR_NOT_ENOUGH_MEMORY;
    return false;
  }
  r->easy = easy;
  curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_USERAGENT, root->agent.c_str());
  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, HeaderCallback);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, r.get());
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, WriteCallback);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, r.get());
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
  if (!(r->flags & INTERNET_FLAG_NO_AUTO_REDIRECT)) {
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
  }
  // Server credentials never follow a redirect to another host (curl's default),
  // proxy headers go only to the proxy, and a tunnel's CONNECT reply stays hidden.
  curl_easy_setopt(easy, CURLOPT_UNRESTRICTED_AUTH, 0L);
  curl_easy_setopt(easy, CURLOPT_HEADEROPT, static_cast<long>(CURLHEADER_SEPARATE));
  curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
  if (platform::IEqualsAscii(r->verb, "HEAD")) {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (!platform::IEqualsAscii(r->verb, "GET")) {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, r->verb.c_str());
  }

  if (root->accessType == INTERNET_OPEN_TYPE_DIRECT) {
    curl_easy_setopt(easy, CURLOPT_PROXY, "");
  } else if (root->accessType == INTERNET_OPEN_TYPE_PROXY) {
    std::string proxy = SelectProxy(root->proxy, secure ? "https" : "http");
    curl_easy_setopt(easy, CURLOPT_PROXY, proxy.c_str());
    std::string noProxy = NoProxyList(root->proxyBypass);
    curl_easy_setopt(easy, CURLOPT_NOPROXY, noProxy.c_str());
  }  // preconfigured: curl reads http_proxy / https_proxy / no_proxy

  for (const auto& line : r->headers) {
    if (platform::IEqualsAscii(HeaderName(line), "Proxy-Authorization"))
      r->proxyHeaderList = curl_slist_append(r->proxyHeaderList, line.c_str());
    else
      r->headerList = curl_slist_append(r->headerList, line.c_str());
  }
  // WinInet sends no Accept header of its own.
  r->headerList = curl_slist_append(r->headerList, "Accept:");
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, r->headerList);
  curl_easy_setopt(easy, CURLOPT_PROXYHEADER, r->proxyHeaderList);

  auto user = r->Inherited(&Handle::userName);
  auto pass = r->Inherited(&Handle::password);
  if ((user && !user->empty()) || (pass && !pass->empty())) {
    curl_easy_setopt(easy, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(easy, CURLOPT_USERNAME, user ? user->c_str() : "");
    curl_easy_setopt(easy, CURLOPT_PASSWORD, pass ? pass->c_str() : "");
  }
  auto proxyUser = r->Inherited(&Handle::proxyUserName);
  auto proxyPass = r->Inherited(&Handle::proxyPassword);
  if ((proxyUser && !proxyUser->empty()) || (proxyPass && !proxyPass->empty())) {
    curl_easy_setopt(easy, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
    curl_easy_setopt(easy, CURLOPT_PROXYUSERNAME, proxyUser ? proxyUser->c_str() : "");
    curl_easy_setopt(easy, CURLOPT_PROXYPASSWORD, proxyPass ? proxyPass->c_str() : "");
  }
  if (secure) {
    DWORD f = r->securityFlags;
    bool ignorePeer =
        f & (SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
             SECURITY_FLAG_IGNORE_WRONG_USAGE);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, ignorePeer ? 0L : 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST,
                     (f & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) ? 0L : 2L);
    if (f & SECURITY_FLAG_IGNORE_REVOCATION)
      curl_easy_setopt(easy, CURLOPT_SSL_OPTIONS, static_cast<long>(CURLSSLOPT_NO_REVOKE));
  }
  if (auto t = r->Inherited(&Handle::connectTimeout); t && *t > 0)
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(*t));

  curl_multi_add_handle(multi, easy);
  {
    std::lock_guard lock(r->wakeMutex);
    r->multi = multi;
  }
  r->sent = true;
  if (!Drive(*r, [&] { return r->headersDone; })) return false;
  if (!r->headersDone) {
    if (r->result == CURLE_OK && !r->curLines.empty()) {
      r->finalLines = r->curLines;
      r->finalStatus = r->curStatus;
      r->headersDone = true;
    } else {
      long connectCode = 0;
      curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &connectCode);
      if (connectCode >= 400) {
        // The proxy refused the tunnel: report its status like a response.
        r->finalStatus = static_cast<int>(connectCode);
        r->finalLines = {"HTTP/1.1 " + std::to_string(connectCode)};
        r->headersDone = true;
        r->transferDone = true;
        r->result = CURLE_OK;
      } else {
        t_lastError = MapCurlCode(r->result);
        // Our own URLs are http(s): "unsupported" means a reply that was no HTTP
        // at all, or a redirect to a scheme we do not follow.
        if (r->result == CURLE_OK || r->result == CURLE_UNSUPPORTED_PROTOCOL)
          t_lastError =
              r->curLines.empty() ? ERROR_HTTP_INVALID_SERVER_RESPONSE : ERROR_HTTP_REDIRECT_FAILED;
        return false;
      }
    }
  }
  // A partial answer that starts elsewhere than asked would land at the wrong offset.
  if (r->finalStatus == 206) {
    auto asked = RequestedRangeStart(*r);
    auto cr = FindHeader(r->finalLines, "Content-Range");
    auto parsed = cr ? ParseContentRange(*cr) : std::nullopt;
    if (asked && (!parsed || parsed->first != *asked)) {
      t_lastError = ERROR_HTTP_INVALID_SERVER_RESPONSE;
      return false;
    }
  }
  t_lastError = 0;
  return true;
}

bool HttpQueryInfo(HINTERNET request, DWORD infoLevel, void* buffer, DWORD* length, DWORD* index) {
  auto r = LookupAs<RequestHandle>(request, Kind::Request);
  if (!r) return false;
  if (!length) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return false;
  }
  if (!r->headersDone) {
    t_lastError = ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    return false;
  }
  DWORD level = infoLevel & ~HTTP_QUERY_MODIFIER_FLAGS_MASK;
  DWORD mods = infoLevel & HTTP_QUERY_MODIFIER_FLAGS_MASK;
  DWORD occurrence = index ? *index : 0;
  std::optional<std::string> text;
  switch (level) {
    case HTTP_QUERY_RAW_HEADERS_CRLF: {
      std::string all;
      for (const auto& line : r->finalLines) all += line + "\r\n";
      text = all + "\r\n";
      break;
    }
    case HTTP_QUERY_STATUS_CODE:
      text = std::to_string(r->finalStatus);
      break;
    case HTTP_QUERY_STATUS_TEXT: {
      const std::string& line = r->finalLines.empty() ? std::string() : r->finalLines[0];
      auto sp = line.find(' ');
      sp = sp == std::string::npos ? sp : line.find(' ', sp + 1);
      text = sp == std::string::npos ? std::string() : line.substr(sp + 1);
      break;
    }
    default: {
      static const std::map<DWORD, const char*> kNames = {
          {HTTP_QUERY_CONTENT_TYPE, "Content-Type"},
          {HTTP_QUERY_CONTENT_LENGTH, "Content-Length"},
          {HTTP_QUERY_LAST_MODIFIED, "Last-Modified"},
          {HTTP_QUERY_CONTENT_ENCODING, "Content-Encoding"},
          {HTTP_QUERY_LOCATION, "Location"},
          {HTTP_QUERY_ACCEPT_RANGES, "Accept-Ranges"},
          {HTTP_QUERY_CONTENT_DISPOSITION, "Content-Disposition"},
          {HTTP_QUERY_CONTENT_RANGE, "Content-Range"},
      };
      std::string name;
      if (level == HTTP_QUERY_CUSTOM) {
        if (!buffer) {
          t_lastError = ERROR_INVALID_PARAMETER;
          return false;
        }
        name = std::string(static_cast<const char*>(buffer),
                           strnlen(static_cast<const char*>(buffer), *length));
      } else {
        auto it = kNames.find(level);
        if (it == kNames.end()) {
          t_lastError = ERROR_HTTP_HEADER_NOT_FOUND;
          return false;
        }
        name = it->second;
      }
      text = FindHeader(r->finalLines, name, occurrence);
    }
  }
  if (!text) {
    t_lastError = ERROR_HTTP_HEADER_NOT_FOUND;
    return false;
  }
  bool ok;
  if (mods & HTTP_QUERY_FLAG_SYSTEMTIME) {
    time_t t = curl_getdate(text->c_str(), nullptr);
    if (t == -1) {
      t_lastError = ERROR_HTTP_INVALID_HEADER;
      return false;
    }
    std::tm tm{};
    gmtime_r(&t, &tm);
    SYSTEMTIME st;
    st.wYear = static_cast<uint16_t>(tm.tm_year + 1900);
    st.wMonth = static_cast<uint16_t>(tm.tm_mon + 1);
    st.wDayOfWeek = static_cast<uint16_t>(tm.tm_wday);
    st.wDay = static_cast<uint16_t>(tm.tm_mday);
    st.wHour = static_cast<uint16_t>(tm.tm_hour);
    st.wMinute = static_cast<uint16_t>(tm.tm_min);
    st.wSecond = static_cast<uint16_t>(tm.tm_sec);
    ok = CopyValue(st, buffer, length);
  } else if (mods & (HTTP_QUERY_FLAG_NUMBER | HTTP_QUERY_FLAG_NUMBER64)) {
    auto n = ParseLength(platform::TrimBlanks(*text));
    bool wide = mods & HTTP_QUERY_FLAG_NUMBER64;
    if (!n || (!wide && *n > 0xFFFFFFFFLL)) {
      t_lastError = ERROR_HTTP_INVALID_HEADER;
      return false;
    }
    ok = wide ? CopyValue(static_cast<int64_t>(*n), buffer, length)
              : CopyValue(static_cast<DWORD>(*n), buffer, length);
  } else {
    ok = CopyOut(*text, buffer, length);
  }
  if (ok) {
    if (index) ++*index;
    t_lastError = 0;
  }
  return ok;
}

// Hands the caller the next bytes of the buffered body (some are there).
static bool TakeFromBody(RequestHandle& r, void* buffer, DWORD toRead, DWORD* bytesRead) {
  size_t n = std::min<size_t>(toRead, r.Available());
  std::memcpy(buffer, r.body.data() + r.bodyPos, n);
  r.bodyPos += n;
  r.position += static_cast<int64_t>(n);
  *bytesRead = static_cast<DWORD>(n);
  if (r.bodyPos == r.body.size()) {
    r.body.clear();
    r.bodyPos = 0;
  }
  t_lastError = 0;
  return true;
}

bool InternetReadFile(HINTERNET file, void* buffer, DWORD toRead, DWORD* bytesRead) {
  auto r = LookupAs<RequestHandle>(file, Kind::Request);
  if (!r) return false;
  if (!bytesRead || (!buffer && toRead)) {
    t_lastError = ERROR_INVALID_PARAMETER;
    return false;
  }
  *bytesRead = 0;
  if (r->Aborted()) {
    t_lastError = ERROR_INTERNET_OPERATION_CANCELLED;
    return false;
  }
  if (!r->headersDone) {
    t_lastError = ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    return false;
  }
  if (r->atEnd || toRead == 0) {
    t_lastError = 0;
    return true;
  }
  if (r->Available() == 0 && !r->transferDone) {
    if (r->paused) {
      r->paused = false;
      curl_easy_pause(r->easy, CURLPAUSE_CONT);  // may deliver data right here
    }
    if (!Drive(*r, [&] { return r->Available() > 0; })) return false;
    // Take in what has already arrived as well: the reads that follow are then
    // served from the buffer on the caller's own thread.
    TakeInArrived(*r);
  }
  if (r->Available() == 0) {
    if (r->result != CURLE_OK) {
      t_lastError = MapCurlCode(r->result);
      return false;
    }
    t_lastError = 0;
    return true;  // end of the body
  }
  return TakeFromBody(*r, buffer, toRead, bytesRead);
}

bool InternetReadFileBuffered(HINTERNET file, void* buffer, DWORD toRead, DWORD* bytesRead) {
  auto r = LookupAs<RequestHandle>(file, Kind::Request);
  if (!r || !bytesRead || !buffer || toRead == 0) return false;
  if (r->Aborted() || !r->headersDone || r->atEnd || !r->sent) return false;
  if (r->Available() == 0 && !r->transferDone) {
    if (r->paused) {
      r->paused = false;
      curl_easy_pause(r->easy, CURLPAUSE_CONT);  // hands over what curl held back
    }
    TakeInArrived(*r);
  }
  if (r->Available() == 0) return false;
  return TakeFromBody(*r, buffer, toRead, bytesRead);
}

int64_t InternetSetFilePointer(HINTERNET file, int64_t distance, DWORD moveMethod) {
  auto r = LookupAs<RequestHandle>(file, Kind::Request);
  if (!r) return -1;
  if (!r->headersDone) {
    t_lastError = ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    return -1;
  }
  int64_t target;
  if (moveMethod == FILE_END) {
    auto size = RandomAccessSize(*r);
    if (!size) {
      t_lastError = ERROR_INTERNET_INVALID_OPERATION;
      return -1;
    }
    target = *size + distance;
  } else if (moveMethod == FILE_CURRENT) {
    target = r->position + distance;
  } else if (moveMethod == FILE_BEGIN) {
    target = distance;
  } else {
    t_lastError = ERROR_INVALID_PARAMETER;
    return -1;
  }
  if (target == r->position) {
    t_lastError = 0;
    return target;
  }
  auto size = RandomAccessSize(*r);
  if (size && target == *size && moveMethod == FILE_END) {
    // Nothing is left to read from here; the body is not fetched.
    r->atEnd = true;
    r->position = target;
    t_lastError = 0;
    return target;
  }
  t_lastError = ERROR_INTERNET_INVALID_OPERATION;
  return -1;
}

bool InternetQueryOption(HINTERNET internet, DWORD option, void* buffer, DWORD* length) {
  if (option == INTERNET_OPTION_MAX_CONNS_PER_SERVER)
    return CopyValue<DWORD>(g_maxConnsPerServer, buffer, length);
  if (option == INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER)
    return CopyValue<DWORD>(g_maxConnsPer10Server, buffer, length);
  auto h = Lookup(internet);
  if (!h) {
    t_lastError = ERROR_INVALID_HANDLE;
    return false;
  }
  auto text = [&](std::optional<std::string> Handle::*field) {
    return CopyOut(h->Inherited(field).value_or(""), buffer, length);
  };
  auto timeout = [&](std::optional<DWORD> Handle::*field) {
    return CopyValue<DWORD>(h->Inherited(field).value_or(0), buffer, length);
  };
  switch (option) {
    case INTERNET_OPTION_CONNECT_TIMEOUT:
      return timeout(&Handle::connectTimeout);
    case INTERNET_OPTION_RECEIVE_TIMEOUT:
      return timeout(&Handle::receiveTimeout);
    case INTERNET_OPTION_SEND_TIMEOUT:
      return timeout(&Handle::sendTimeout);
    case INTERNET_OPTION_USERNAME:
      return text(&Handle::userName);
    case INTERNET_OPTION_PASSWORD:
      return text(&Handle::password);
    case INTERNET_OPTION_PROXY_USERNAME:
      return text(&Handle::proxyUserName);
    case INTERNET_OPTION_PROXY_PASSWORD:
      return text(&Handle::proxyPassword);
    case INTERNET_OPTION_SECURITY_FLAGS:
      if (h->kind != Kind::Request) {
        t_lastError = ERROR_INTERNET_INCORRECT_HANDLE_TYPE;
        return false;
      }
      return CopyValue<DWORD>(static_cast<RequestHandle&>(*h).securityFlags, buffer, length);
    default:
      t_lastError = ERROR_INTERNET_INVALID_OPTION;
      return false;
  }
}

bool InternetSetOption(HINTERNET internet, DWORD option, const void* buffer, DWORD length) {
  auto dword = [&](DWORD& out) {
    if (!buffer || length < sizeof(DWORD)) {
      t_lastError = ERROR_INTERNET_BAD_OPTION_LENGTH;
      return false;
    }
    std::memcpy(&out, buffer, sizeof(DWORD));
    return true;
  };
  DWORD value = 0;
  if (option == INTERNET_OPTION_MAX_CONNS_PER_SERVER ||
      option == INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER) {
    if (!dword(value)) return false;
    (option == INTERNET_OPTION_MAX_CONNS_PER_SERVER ? g_maxConnsPerServer : g_maxConnsPer10Server) =
        value;
    return true;
  }
  auto h = Lookup(internet);
  if (!h) {
    t_lastError = ERROR_INVALID_HANDLE;
    return false;
  }
  switch (option) {
    case INTERNET_OPTION_CONNECT_TIMEOUT:
      return dword(value) && (h->connectTimeout = value, true);
    case INTERNET_OPTION_RECEIVE_TIMEOUT:
      return dword(value) && (h->receiveTimeout = value, true);
    case INTERNET_OPTION_SEND_TIMEOUT:
      return dword(value) && (h->sendTimeout = value, true);
    case INTERNET_OPTION_USERNAME:
      return SetStringOption(h->userName, buffer, length);
    case INTERNET_OPTION_PASSWORD:
      return SetStringOption(h->password, buffer, length);
    case INTERNET_OPTION_PROXY_USERNAME:
      return SetStringOption(h->proxyUserName, buffer, length);
    case INTERNET_OPTION_PROXY_PASSWORD:
      return SetStringOption(h->proxyPassword, buffer, length);
    case INTERNET_OPTION_SECURITY_FLAGS:
      if (h->kind != Kind::Request) {
        t_lastError = ERROR_INTERNET_INCORRECT_HANDLE_TYPE;
        return false;
      }
      return dword(static_cast<RequestHandle&>(*h).securityFlags);
    default:
      t_lastError = ERROR_INTERNET_INVALID_OPTION;
      return false;
  }
}

bool InternetCloseHandle(HINTERNET internet) {
  std::shared_ptr<Handle> h;
  {
    std::lock_guard lock(g_registryMutex);
    auto it = g_handles.find(reinterpret_cast<uintptr_t>(internet));
    if (it == g_handles.end()) {
      t_lastError = ERROR_INVALID_HANDLE;
      return false;
    }
    h = it->second;
    g_handles.erase(it);
  }
  h->closed = true;
  if (h->kind == Kind::Root) h->chain->aborted = true;
  // Pending calls on the chain notice the close at their next wake-up.
  {
    std::lock_guard lock(h->chain->mutex);
    for (RequestHandle* r : h->chain->requests) r->Wake();
  }
  t_lastError = 0;
  return true;  // the object itself goes when the last pending call lets go of it
}

bool InternetCrackUrl(const std::string& url, URL_COMPONENTS& uc) {
  URL_COMPONENTS blank;
  uc.nScheme = INTERNET_SCHEME_UNKNOWN;
  uc.nPort = 0;
  uc.scheme = uc.hostName = uc.userName = uc.password = uc.urlPath = uc.extraInfo = "";
  auto colon = url.find(':');
  if (colon == std::string::npos || colon == 0) {
    t_lastError = ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    return false;
  }
  std::string scheme = url.substr(0, colon);
  const SchemeInfo* info = FindScheme(scheme);
  if (!info) {
    t_lastError = ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    return false;
  }
  std::string rest = url.substr(colon + 1);
  std::string host, user, password, path, extra;
  int port = info->port;
  if (info->hierarchical) {
    if (rest.rfind("//", 0) != 0) {
      t_lastError = ERROR_INTERNET_INVALID_URL;
      return false;
    }
    rest = rest.substr(2);
    size_t end = rest.find_first_of("/?#");
    std::string authority = rest.substr(0, end);
    rest = end == std::string::npos ? "" : rest.substr(end);
    auto at = authority.rfind('@');
    if (at != std::string::npos) {
      std::string userInfo = authority.substr(0, at);
      authority = authority.substr(at + 1);
      auto c = userInfo.find(':');
      user = userInfo.substr(0, c);
      if (c != std::string::npos) password = userInfo.substr(c + 1);
    }
    std::string portText;
    if (!authority.empty() && authority[0] == '[') {
      auto close = authority.find(']');
      if (close == std::string::npos) {
        t_lastError = ERROR_INTERNET_INVALID_URL;
        return false;
      }
      host = authority.substr(1, close - 1);
      // Only an IPv6 literal goes in brackets: it has colons, and no bracket.
      if (host.find(':') == std::string::npos || host.find('[') != std::string::npos) {
        t_lastError = ERROR_INTERNET_INVALID_URL;
        return false;
      }
      std::string after = authority.substr(close + 1);
      if (!after.empty()) {
        if (after[0] != ':') {
          t_lastError = ERROR_INTERNET_INVALID_URL;
          return false;
        }
        portText = after.substr(1);
      }
    } else {
      auto c = authority.rfind(':');
      host = authority.substr(0, c);
      if (c != std::string::npos) portText = authority.substr(c + 1);
      // Colons and brackets belong to a bracketed IPv6 literal only; taken as a
      // host name they would be rebuilt as a different, unparsable URL.
      if (host.find_first_of(":[]") != std::string::npos) {
        t_lastError = ERROR_INTERNET_INVALID_URL;
        return false;
      }
    }
    if (!portText.empty()) {
      if (portText.size() > 5 ||
          !std::all_of(portText.begin(), portText.end(),
                       [](char ch) { return std::isdigit(static_cast<unsigned char>(ch)); }) ||
          std::atoi(portText.c_str()) > 65535) {
        t_lastError = ERROR_INTERNET_INVALID_URL;
        return false;
      }
      port = std::atoi(portText.c_str());
    }
    // Blanks and control characters cannot be part of a host name (and the URL
    // parser trims them off the rebuilt URL's end, which could drop the host).
    auto unfit = [](char ch) { return static_cast<unsigned char>(ch) <= 0x20 || ch == 0x7F; };
    if (std::any_of(host.begin(), host.end(), unfit)) {
      t_lastError = ERROR_INTERNET_INVALID_URL;
      return false;
    }
    if (host.empty() && info->type != INTERNET_SCHEME_FILE) {
      t_lastError = ERROR_INTERNET_INVALID_URL;
      return false;
    }
  }
  size_t q = rest.find_first_of("?#");
  path = rest.substr(0, q);
  if (q != std::string::npos) extra = rest.substr(q);
  const std::pair<const std::string*, size_t> fits[] = {
      {&scheme, uc.schemeCapacity}, {&host, uc.hostNameCapacity},
      {&user, uc.userNameCapacity}, {&password, uc.passwordCapacity},
      {&path, uc.urlPathCapacity},  {&extra, uc.extraInfoCapacity}};
  for (const auto& [text, capacity] : fits) {
    if (text->size() + 1 > capacity) {
      t_lastError = ERROR_INSUFFICIENT_BUFFER;
      return false;
    }
  }
  uc.nScheme = info->type;
  uc.scheme = scheme;
  uc.hostName = host;
  uc.userName = user;
  uc.password = password;
  uc.urlPath = path;
  uc.extraInfo = extra;
  uc.nPort = port;
  t_lastError = 0;
  return true;
}

bool InternetCreateUrl(const URL_COMPONENTS& uc, std::string& url, size_t bufferSize) {
  const SchemeInfo* info = uc.scheme.empty() ? FindScheme(uc.nScheme) : FindScheme(uc.scheme);
  std::string scheme = uc.scheme.empty() ? (info ? info->name : "") : uc.scheme;
  if (scheme.empty()) {
    t_lastError = ERROR_INTERNET_UNRECOGNIZED_SCHEME;
    return false;
  }
  std::string out = scheme + ":";
  if (!info || info->hierarchical) {
    out += "//";
    if (!uc.userName.empty()) {
      out += uc.userName;
      if (!uc.password.empty()) out += ":" + uc.password;
      out += "@";
    }
    bool v6 = uc.hostName.find(':') != std::string::npos;
    out += v6 ? "[" + uc.hostName + "]" : uc.hostName;
    if (uc.nPort != 0 && (!info || uc.nPort != info->port)) out += ":" + std::to_string(uc.nPort);
  }
  out += uc.urlPath + uc.extraInfo;
  if (out.size() + 1 > bufferSize) {
    t_lastError = ERROR_INSUFFICIENT_BUFFER;
    return false;
  }
  url = out;
  t_lastError = 0;
  return true;
}

size_t OpenHandleCount() {
  std::lock_guard lock(g_registryMutex);
  return g_handles.size();
}

}  // namespace wininet
