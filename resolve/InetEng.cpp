#include "resolve/InetEng.h"

#include <curl/curl.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <sstream>

#include "platform/Text.h"

namespace resolve {

namespace {

std::mutex g_mutex;
std::function<TFetchProxy()> g_proxySource;
TFetchTimeouts g_timeouts;

struct TTransfer {
  std::ostream* sink = nullptr;
  bool responseStarted = false;  // the head of the final response has arrived
  net::TResponseHead head;
  long long bodyBytes = 0;
  long long maxBodyBytes = 0;
  bool tooLarge = false;
  std::chrono::steady_clock::time_point deadline;
  bool tooLate = false;
  // The deadline was the caller's overall one, not this fetch's TotalSec.
  bool overall = false;
  const std::atomic<bool>* cancel = nullptr;
  bool cancelled = false;
};

bool IsBlankOrControl(unsigned char c) {
  return c <= 0x20 || c == 0x7F;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<TTransfer*>(user);
  const size_t n = size * count;
  if (!t->head.Feed(data, n)) return n;
  // Interim answers and redirects that will be followed do not open the URL yet.
  const int status = t->head.Status;
  bool redirect = status >= 300 && status < 400 && t->head.Header("Location");
  if (!t->head.IsInterim() && !redirect) t->responseStarted = true;
  return n;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto* t = static_cast<TTransfer*>(user);
  t->responseStarted = true;
  size_t n = size * count;
  t->bodyBytes += static_cast<long long>(n);
  if (t->bodyBytes > t->maxBodyBytes) {
    t->tooLarge = true;
    return 0;
  }
  try {
    t->sink->write(data, static_cast<std::streamsize>(n));
    if (!*t->sink) return 0;
  } catch (...) {
    return 0;  // a sink that fails ends the transfer like a failed read
  }
  return n;
}

// Also called while nothing arrives (about once a second), so the deadline holds
// against a silent server as much as against a trickling one.
int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  auto* t = static_cast<TTransfer*>(user);
  if (t->cancel && t->cancel->load()) {
    t->cancelled = true;
    return 1;
  }
  if (std::chrono::steady_clock::now() < t->deadline) return 0;
  t->tooLate = true;
  return 1;
}

// Runs the transfer on a multi handle of its own, waking at least every 50 ms,
// so a raised cancel flag or a passed deadline ends it at once rather than at
// libcurl's next progress call (up to a second on a silent connection).
CURLcode Perform(CURL* curl, TTransfer& t) {
  CURLM* multi = curl_multi_init();
  if (!multi) return curl_easy_perform(curl);
  if (curl_multi_add_handle(multi, curl) != CURLM_OK) {
    curl_multi_cleanup(multi);
    return curl_easy_perform(curl);
  }
  CURLcode rc = CURLE_OK;
  bool ended = false;
  for (;;) {
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
      rc = CURLE_FAILED_INIT;
      break;
    }
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
      if (msg->msg == CURLMSG_DONE && msg->easy_handle == curl) {
        rc = msg->data.result;
        ended = true;
      }
    }
    if (ended || running == 0) break;
    if (t.cancel && t.cancel->load()) {
      t.cancelled = true;
      rc = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    if (std::chrono::steady_clock::now() >= t.deadline) {
      t.tooLate = true;
      rc = CURLE_ABORTED_BY_CALLBACK;
      break;
    }
    curl_multi_poll(multi, nullptr, 0, 50, nullptr);
  }
  curl_multi_remove_handle(multi, curl);
  curl_multi_cleanup(multi);
  return rc;
}

}  // namespace

std::string FetchAddress(const std::string& link) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : platform::TrimBlanks(link)) {
    const auto byte = static_cast<unsigned char>(c);
    if (IsBlankOrControl(byte)) {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out;
}

void SetFetchProxySource(std::function<TFetchProxy()> source) {
  std::lock_guard lock(g_mutex);
  g_proxySource = std::move(source);
}

TFetchProxy CurrentFetchProxy() {
  std::function<TFetchProxy()> source;
  {
    std::lock_guard lock(g_mutex);
    source = g_proxySource;
  }
  return source ? source() : TFetchProxy{};
}

void SetFetchTimeouts(const TFetchTimeouts& timeouts) {
  std::lock_guard lock(g_mutex);
  g_timeouts = timeouts;
}

TFetchTimeouts FetchTimeouts() {
  std::lock_guard lock(g_mutex);
  return g_timeouts;
}

}  // namespace resolve

bool InetGetStream(const std::string& url, std::ostream& sink, const TFetchProxy& proxy,
                   std::string* failure, const std::atomic<bool>* cancel) {
  return InetGetStream(url, sink, proxy, resolve::FetchTimeouts(),
                       std::chrono::steady_clock::time_point::max(), cancel, failure);
}

bool InetGetStream(const std::string& url, std::ostream& sink, const TFetchProxy& proxy,
                   const TFetchTimeouts& limits, std::chrono::steady_clock::time_point deadline,
                   const std::atomic<bool>* cancel, std::string* failure) {
  // An explicit proxy without a host cannot be reached; libcurl would read an
  // empty proxy text as "no proxy" and go direct instead.
  if (proxy.IsProxy && proxy.ProxyAdress.empty()) return false;
  net::InitCurl();
  CURL* curl = curl_easy_init();
  if (!curl) return false;
  if (failure) failure->clear();
  resolve::TTransfer transfer;
  transfer.sink = &sink;
  transfer.maxBodyBytes = limits.MaxBodyBytes;
  transfer.deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limits.TotalSec);
  if (deadline < transfer.deadline) {
    transfer.deadline = deadline;
    transfer.overall = true;
  }
  transfer.cancel = cancel;
  const std::string address = resolve::FetchAddress(url);

  curl_easy_setopt(curl, CURLOPT_URL, address.c_str());
  curl_easy_setopt(curl, CURLOPT_USERAGENT, resolve::kFetchUserAgent);
  // Links come from the clipboard: never let one read local files or other schemes.
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, 20L);
  curl_easy_setopt(curl, CURLOPT_COOKIEFILE, "");  // cookies live for this call only
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, limits.ConnectSec);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.StallSec);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, resolve::OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, resolve::OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, resolve::OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  // A declared length above the cap fails before any of the body is read.
  curl_easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.MaxBodyBytes));

  // Always from the server, never from a cache on the way.
  curl_slist* headers = nullptr;
  headers = curl_slist_append(headers, "Cache-Control: no-cache");
  headers = curl_slist_append(headers, "Pragma: no-cache");
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);

  std::string proxyText;
  if (proxy.IsProxy) {
    proxyText = resolve::ProxyText(proxy);
    curl_easy_setopt(curl, CURLOPT_PROXY, proxyText.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXYTYPE, static_cast<long>(CURLPROXY_HTTP));
    // Credentials are offered only when there are some, as the old HTTP layer did.
    if (!proxy.ProxyUser.empty() || !proxy.ProxyPassword.empty()) {
      curl_easy_setopt(curl, CURLOPT_PROXYUSERNAME, proxy.ProxyUser.c_str());
      curl_easy_setopt(curl, CURLOPT_PROXYPASSWORD, proxy.ProxyPassword.c_str());
      curl_easy_setopt(curl, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_ANY));
    }
  }
  // With IsProxy off CURLOPT_PROXY stays unset, so libcurl applies http_proxy,
  // https_proxy and no_proxy from the environment: the platform's configuration.

  const CURLcode rc = resolve::Perform(curl, transfer);
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);  // closes the connection: nothing waits on its socket after this
  if (transfer.tooLarge || rc == CURLE_FILESIZE_EXCEEDED) {
    if (failure)
      *failure = "The page is larger than " + std::to_string(limits.MaxBodyBytes) + " bytes";
    return false;
  }
  if (transfer.cancelled) {
    if (failure) *failure = "The fetch was cancelled";
    return false;
  }
  if (transfer.tooLate) {
    if (failure)
      *failure = transfer.overall
                     ? std::string("The page did not arrive within the link's time limit")
                     : "The page did not arrive within " + std::to_string(limits.TotalSec) + " s";
    return false;
  }
  // A transfer that fails before any response could not open the URL; one that
  // breaks off later keeps what was read so far.
  return rc == CURLE_OK || transfer.responseStarted;
}

bool InetGetStream(const std::string& url, std::ostream& sink) {
  return InetGetStream(url, sink, resolve::CurrentFetchProxy());
}

std::string InetGetText(const std::string& url, const TFetchProxy& proxy, std::string* failure,
                        const std::atomic<bool>* cancel) {
  std::ostringstream sink;
  if (!InetGetStream(url, sink, proxy, failure, cancel)) return {};
  return std::move(sink).str();
}

std::string InetGetText(const std::string& url, const TFetchProxy& proxy,
                        const TFetchTimeouts& limits,
                        std::chrono::steady_clock::time_point deadline,
                        const std::atomic<bool>* cancel, std::string* failure) {
  std::ostringstream sink;
  if (!InetGetStream(url, sink, proxy, limits, deadline, cancel, failure)) return {};
  return std::move(sink).str();
}

std::string InetGetText(const std::string& url, std::string* failure) {
  return InetGetText(url, resolve::CurrentFetchProxy(), failure);
}

std::string UrlDecode(const std::string& text) {
  // Digit values by plain character-code arithmetic (no validation), so odd
  // characters after "%" decode to a fixed, documented value.
  auto value = [](unsigned char c) -> unsigned {
    if (c < 48) return c + 208u;
    if (c <= 64) return c - 48u;
    if (c <= 96) return c - 55u;
    return c - 87u;
  };
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%') {
      if (text.size() - i - 1 < 2) {
        out += '%';  // fewer than two characters follow: keep "%", drop the rest
        break;
      }
      unsigned byte = value(static_cast<unsigned char>(text[i + 1])) * 16 +
                      value(static_cast<unsigned char>(text[i + 2]));
      out += static_cast<char>(byte & 0xFF);
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}
