#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>

#include "tools/sitesim/SiteSimImpl.h"
#include "tools/sitesim/SiteSimSocket.h"
#include "tools/sitesim/SiteSimText.h"

// The connection handler: one thread per connection, requests in turn.
namespace sitesim {

using namespace detail;

namespace {

constexpr size_t kChunk = 16 * 1024;
constexpr int64_t kMaxGzipBody = 64LL << 20;

}  // namespace

detail::TTarget TSiteSim::Impl::Locate(const TRequest& req, bool proxied, const std::string& host,
                                       const std::string& path,
                                       std::map<std::string, std::string>& params, bool siteHost) {
  detail::TTarget t;
  auto serve = [&](const TStream& s) {
    t.fault = s.Fault;
    t.contentType = s.ContentType;
    t.lastModified = s.LastModified;
    t.connectionRates = s.ConnectionRates;
    // The body reader captures copies so catalogue changes cannot pull it away.
    if (!s.Data.empty()) {
      auto data = std::make_shared<std::string>(s.Data);
      t.entity.size = static_cast<int64_t>(data->size());
      t.entity.read = [data](int64_t off, char* out, size_t len) {
        std::memcpy(out, data->data() + off, len);
      };
    } else if (!s.File.empty()) {
      struct stat st {};
      auto file = std::make_shared<std::ifstream>(s.File, std::ios::binary);
      t.entity.size = (::stat(s.File.c_str(), &st) == 0 && *file) ? st.st_size : 0;
      t.entity.read = [file](int64_t off, char* out, size_t len) {
        file->seekg(off);
        file->read(out, static_cast<std::streamsize>(len));
      };
    } else {
      uint32_t seed = s.Seed;
      t.entity.size = s.Size;
      t.entity.read = [seed](int64_t off, char* out, size_t len) {
        GenerateBytes(seed, static_cast<uint64_t>(off), out, len);
      };
    }
  };
  std::string fileHost = host;
  if (!proxied) {
    fileHost = Lower(req.Header("Host"));
    const size_t colon = fileHost.rfind(':');
    if (colon != std::string::npos && fileHost.find(']') == std::string::npos)
      fileHost.resize(colon);
  }
  const auto fileIt = files.find({fileHost, path});
  bool knownHost = siteHost;
  for (const auto& [id, v] : videos)
    for (const auto& s : v.Streams) knownHost = knownHost || host == Lower(StreamHost(s));
  for (const auto& [key, f] : files) knownHost = knownHost || host == key.first;
  if (!knownHost) {
    // A proxy that cannot reach the host answers for it.
  } else if (fileIt != files.end()) {
    t.isResource = true;
    t.resourceKey = "f:" + fileIt->first.first + fileIt->first.second;
    serve(fileIt->second);
  } else if (path == "/videoplayback") {
    auto it = videos.find(params["id"]);
    size_t n = static_cast<size_t>(std::atoll(params["n"].c_str()));
    if (it != videos.end() && n < it->second.Streams.size() &&
        (siteHost || host == Lower(StreamHost(it->second.Streams[n])))) {
      t.isResource = true;
      t.resourceKey = "s:" + it->first + "#" + std::to_string(n);
      serve(it->second.Streams[n]);
      t.denied = !StreamAllowed(it->second, n, params);
    } else {
      t.notFound = "<html><body>No such stream</body></html>";
    }
  } else if (siteHost && path == "/watch") {
    auto it = videos.find(params["v"]);
    if (it != videos.end()) {
      t.isResource = true;
      t.resourceKey = "p:" + it->first;
      t.fault = it->second.PageFault;
      auto page = std::make_shared<std::string>(BuildPage(it->second));
      t.entity.size = static_cast<int64_t>(page->size());
      t.entity.read = [page](int64_t off, char* out, size_t len) {
        std::memcpy(out, page->data() + off, len);
      };
      t.lastModified = "";
      t.fault.NoLastModified = true;
    } else {
      t.notFound =
          "<!DOCTYPE html>\n<html><head><title>YouTube</title></head>\n"
          "<body><div id=\"unavailable-message\">This video does not "
          "exist.</div></body></html>\n";
    }
  } else if (siteHost && path == "/get_video_info") {
    auto it = videos.find(params["video_id"]);
    if (it != videos.end())
      t.pageBody = "status=ok&video_id=" + PercentEncode(it->first) +
                   "&length_seconds=" + std::to_string(it->second.LengthSeconds) +
                   "&title=" + PercentEncode(it->second.Title);
    else
      t.pageBody =
          "status=fail&errorcode=100&reason=" + PercentEncode("This video does not exist.");
    t.status = 200;
  } else if (siteHost && path == "/") {
    t.pageBody = "<!DOCTYPE html>\n<html><head><title>YouTube</title></head><body></body></html>\n";
    t.status = 200;
  } else {
    t.notFound = "<html><body>Not found</body></html>";
  }
  return t;
}

void TSiteSim::Impl::Connection(TConn* conn, int serial) {
  TSocket sock(conn->fd, stopping);
  bool keepAlive = true;
  bool tunnelled = false;
  while (keepAlive && !stopping) {
    std::string head;
    bool tooLong = false;
    if (!sock.ReadHead(head, tooLong)) {
      if (tooLong)
        sock.Send("HTTP/1.1 431 " + Reason(431) +
                  "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      break;
    }
    TRequest req;
    req.Connection = serial;
    if (!ParseHead(head, req)) {
      sock.Send("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
      break;
    }
    {
      std::lock_guard lock(mutex);
      requests.push_back(req);
    }
    changed.notify_all();

    std::string contentLength = req.Header("Content-Length");
    if (!contentLength.empty() && !sock.Discard(std::atoll(contentLength.c_str()))) break;

    std::string connHeader = Lower(req.Header("Connection") + "," + req.Header("Proxy-Connection"));
    if (req.Version == "HTTP/1.0")
      keepAlive = connHeader.find("keep-alive") != std::string::npos;
    else
      keepAlive = connHeader.find("close") == std::string::npos;
    const bool head_ = req.Method == "HEAD";

    // Plain answer with a small HTML body.
    auto simple = [&](int status, const std::string& body, const std::string& extra = {}) {
      std::string r = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
      r += "Date: " + HttpDate(std::time(nullptr)) + "\r\nServer: sitesim\r\n" + extra;
      r += "Content-Type: text/html; charset=utf-8\r\n";
      r += "Content-Length: " + std::to_string(body.size()) + "\r\n";
      r += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
      if (!head_) r += body;
      return sock.Send(r);
    };

    // A tunnel to one of our hosts is served here, over TLS; the requests in it
    // are origin-form with the host in Host, like direct ones.
    if (req.Method == "CONNECT" && !tunnelled) {
      std::string name = Lower(req.Target.substr(0, req.Target.rfind(':')));
      bool known = false;
      {
        std::lock_guard lock(mutex);
        known = name == Lower(options.SiteHost);
        for (const auto& [key, f] : files) known = known || name == key.first;
      }
      if (!known) {
        keepAlive = false;
        simple(502, "<html><body>Bad gateway: unknown host</body></html>");
        break;
      }
      if (!sock.Send("HTTP/1.1 200 Connection established\r\n\r\n") || !sock.StartTls()) break;
      tunnelled = true;
      keepAlive = true;
      continue;
    }
    if (req.Method != "GET" && req.Method != "HEAD") {
      keepAlive = false;
      simple(405, "<html><body>Method not allowed</body></html>", "Allow: GET, HEAD\r\n");
      break;
    }

    // Split the target: absolute form means we act as a proxy for that host.
    std::string target = req.Target, host, path, query;
    bool proxied = false;
    if (Lower(target.substr(0, 7)) == "http://") {
      proxied = true;
      size_t slash = target.find('/', 7);
      host = target.substr(7, slash == std::string::npos ? std::string::npos : slash - 7);
      target = slash == std::string::npos ? "/" : target.substr(slash);
      size_t colon = host.rfind(':');
      if (colon != std::string::npos && host.find(']') == std::string::npos)
        host = host.substr(0, colon);
      host = Lower(host);
    }
    size_t qm = target.find('?');
    path = target.substr(0, qm);
    query = qm == std::string::npos ? std::string() : target.substr(qm + 1);
    auto params = ParseQuery(query);

    TOptions opts;
    {
      std::lock_guard lock(mutex);
      opts = options;
    }
    if (proxied && opts.RequireProxyAuth) {
      std::string expected = "Basic " + Base64(opts.ProxyUser + ":" + opts.ProxyPassword);
      if (req.Header("Proxy-Authorization") != expected) {
        if (!simple(407, "<html><body>Proxy authentication required</body></html>",
                    "Proxy-Authenticate: Basic realm=\"sitesim\"\r\n"))
          break;
        continue;
      }
    }

    // Find what the request addresses: the site's pages or a stream.
    // Requests for the simulator's own address count as direct ones.
    const bool siteHost =
        !proxied || host == Lower(opts.SiteHost) || host == "127.0.0.1" || host == "localhost";
    detail::TTarget t;
    {
      std::lock_guard lock(mutex);
      t = Locate(req, proxied, host, path, params, siteHost);
    }
    // Counts the site's page requests from their arrival until their answer
    // begins: a client cannot have sent its next request of the same reading
    // before then, so the count is an exact bound of the client's concurrency.
    struct TPageCount {
      Impl* impl;
      bool page;
      TPageCount(Impl* i, bool p) : impl(i), page(p) {
        if (!page) return;
        std::lock_guard lock(impl->mutex);
        impl->mostPagesInFlight = std::max(impl->mostPagesInFlight, ++impl->pagesInFlight);
      }
      void Answering() {
        if (!page) return;
        page = false;
        std::lock_guard lock(impl->mutex);
        --impl->pagesInFlight;
      }
      ~TPageCount() { Answering(); }
    } pageCount(this, siteHost && (path == "/watch" || path == "/get_video_info"));
    const std::string& pageBody = t.pageBody;
    TFault& fault = t.fault;
    TEntity& entity = t.entity;
    const std::string &resourceKey = t.resourceKey, &contentType = t.contentType,
                      &lastModified = t.lastModified;

    if (t.status == 200) {
      std::string r = "HTTP/1.1 200 OK\r\nDate: " + HttpDate(std::time(nullptr)) +
                      "\r\nServer: sitesim\r\nContent-Type: " +
                      (path == "/get_video_info" ? "application/x-www-form-urlencoded"
                                                 : "text/html; charset=utf-8") +
                      "\r\nContent-Length: " + std::to_string(pageBody.size()) + "\r\n" +
                      (keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n");
      if (!head_) r += pageBody;
      pageCount.Answering();
      if (!sock.Send(r)) break;
      continue;
    }
    if (!t.isResource) {
      pageCount.Answering();
      bool ok = t.notFound.empty()
                    ? simple(502, "<html><body>Bad gateway: unknown host</body></html>")
                    : simple(404, t.notFound);
      if (!ok) break;
      continue;
    }

    // A signature check comes before anything else, as at a real edge server.
    if (t.denied) {
      if (!simple(403, "<html><body>Error 403</body></html>")) break;
      continue;
    }

    // Count the request and decide whether the fault script applies to it.
    int version = 0;
    bool active;
    int64_t orderRate = -1;
    {
      std::lock_guard lock(mutex);
      if (!head_) orderRate = OrderRate(resourceKey, t.connectionRates, serial);
      bool counts = !fault.GetOnly || !head_;
      int n = counts ? ++requestCount[resourceKey] : requestCount[resourceKey];
      active = counts && (fault.Times < 0 || n <= fault.Times);
      version = head_ ? getCount[resourceKey] : getCount[resourceKey]++;
    }
    if (active && fault.DelayMs > 0) {
      // A client that gives up meanwhile closes the connection, and it ends here.
      bool gone = false;
      for (int64_t left = fault.DelayMs; left > 0 && !gone; left -= 50)
        gone = !Pause(std::min<int64_t>(left, 50)) || sock.PeerClosed();
      if (gone) break;
    }
    pageCount.Answering();
    if (active && fault.Status > 0) {
      std::string extra =
          fault.Location.empty() ? std::string() : "Location: " + fault.Location + "\r\n";
      if (!simple(fault.Status,
                  "<html><body>Error " + std::to_string(fault.Status) + "</body></html>", extra))
        break;
      continue;
    }

    // Versions and encodings of the body.
    if (fault.ChangingBody && version > 0) {
      auto base = entity.read;
      unsigned char flip = static_cast<unsigned char>(version * 37 + 1);
      entity.read = [base, flip](int64_t off, char* out, size_t len) {
        base(off, out, len);
        for (size_t i = 0; i < len; ++i) out[i] = static_cast<char>(out[i] ^ flip);
      };
    }
    // Bodies are compressed whole in memory, so only up to a size tests need.
    const bool gzip = fault.Gzip && entity.size <= kMaxGzipBody;
    if (gzip) {
      std::string plain(static_cast<size_t>(entity.size), '\0');
      if (entity.size) entity.read(0, plain.data(), plain.size());
      auto gz = std::make_shared<std::string>(GzipOf(plain));
      entity.size = static_cast<int64_t>(gz->size());
      entity.read = [gz](int64_t off, char* out, size_t len) {
        std::memcpy(out, gz->data() + off, len);
      };
    }

    int64_t first = 0, last = entity.size - 1;
    int code = 200;
    std::string rangeHeader = req.Header("Range");
    if (fault.EndlessBody && entity.size > 0) {
      // The entity over and over, until the peer gives up.
      const int64_t size = entity.size;
      auto once = entity.read;
      entity.read = [once, size](int64_t off, char* out, size_t len) {
        while (len > 0) {
          const size_t n = static_cast<size_t>(std::min<int64_t>(size - off % size, len));
          once(off % size, out, n);
          off += static_cast<int64_t>(n), out += n, len -= n;
        }
      };
      last = std::numeric_limits<int64_t>::max() - 1;
    } else if (!rangeHeader.empty() && !fault.IgnoreRange) {
      bool unsatisfiable = false;
      if (ParseRange(rangeHeader, entity.size, first, last, unsatisfiable)) {
        code = 206;
      } else {
        first = 0, last = entity.size - 1;
        if (unsatisfiable) {
          if (!simple(416, "", "Content-Range: bytes */" + std::to_string(entity.size) + "\r\n"))
            break;
          continue;
        }
      }
    }
    const int64_t length = last - first + 1;
    const bool closeDelimited = fault.NoContentLength || fault.EndlessBody;
    if (closeDelimited) keepAlive = false;

    std::string r = "HTTP/1.1 " + std::to_string(code) + " " + Reason(code) + "\r\n";
    r += "Date: " + HttpDate(std::time(nullptr)) + "\r\nServer: sitesim\r\n";
    if (!fault.NoContentType) r += "Content-Type: " + contentType + "\r\n";
    if (!fault.NoLastModified && !lastModified.empty())
      r += "Last-Modified: " + lastModified + "\r\n";
    if (!fault.NoAcceptRanges) r += "Accept-Ranges: bytes\r\n";
    // A body that changes is a new version, as a real server's validator says.
    if (fault.ChangingBody) r += "ETag: \"v" + std::to_string(version) + "\"\r\n";
    if (gzip) r += "Content-Encoding: gzip\r\n";
    if (code == 206) {
      int64_t shift = active ? fault.ContentRangeShift : 0;
      r += "Content-Range: bytes " + std::to_string(first + shift) + "-" +
           std::to_string(last + shift) + "/" + std::to_string(entity.size) + "\r\n";
    }
    if (!closeDelimited) r += "Content-Length: " + std::to_string(length) + "\r\n";
    r += keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n";
    if (!sock.Send(r)) break;
    if (head_) continue;

    // The body, in chunks, with the scripted break, stall and throttle.
    int64_t limit = length;
    bool closeEarly = false, stall = false;
    if (active && fault.CloseAfterBytes >= 0 && fault.CloseAfterBytes < limit)
      limit = fault.CloseAfterBytes, closeEarly = true;
    if (active && fault.StallAfterBytes >= 0 && fault.StallAfterBytes < limit)
      limit = fault.StallAfterBytes, stall = true, closeEarly = false;
    // Pacing restarts from where the body stands whenever the live rate changes.
    auto started = std::chrono::steady_clock::now();
    int64_t rate = orderRate >= 0 ? orderRate : fault.RateBytesPerSec, pacedFrom = 0;
    std::vector<char> chunk(kChunk);
    int64_t sent = 0;
    bool ok = true;
    while (ok && sent < limit) {
      {
        std::lock_guard lock(mutex);
        auto live = liveRate.find(resourceKey);
        if (orderRate < 0 && live != liveRate.end() && live->second != rate) {
          rate = live->second;
          started = std::chrono::steady_clock::now();
          pacedFrom = sent;
        }
      }
      size_t n = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(kChunk), limit - sent));
      if (rate > 0)
        n = static_cast<size_t>(std::clamp<int64_t>(rate / 20, 1, static_cast<int64_t>(n)));
      entity.read(first + sent, chunk.data(), n);
      ok = sock.Send(chunk.data(), n);
      sent += static_cast<int64_t>(n);
      if (ok && rate > 0) {
        auto due = started + std::chrono::microseconds((sent - pacedFrom) * 1'000'000 / rate);
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            due - std::chrono::steady_clock::now());
        if (wait.count() > 0 && !Pause(wait.count())) ok = false;
      }
    }
    if (!ok) break;
    if (stall) {
      sock.Stall();
      break;
    }
    if (closeEarly || closeDelimited) break;
  }
  // Under the lock so Stop() never shuts down a descriptor that was reused.
  std::lock_guard lock(mutex);
  ::shutdown(conn->fd, SHUT_RDWR);
  ::close(conn->fd);
  conn->fd = -1;
  conn->done = true;
  --openConns;
  changed.notify_all();
}

int64_t TSiteSim::Impl::OrderRate(const std::string& key, const std::map<int, int64_t>& rates,
                                  int serial) {
  std::vector<int>& order = connOrder[key];
  auto at = std::find(order.begin(), order.end(), serial);
  if (at == order.end()) at = order.insert(order.end(), serial);
  auto rate = rates.find(static_cast<int>(at - order.begin()) + 1);
  return rate == rates.end() ? -1 : rate->second;
}

void TSiteSim::Impl::Serve() {
  for (;;) {
    pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakePipe[0], POLLIN, 0}};
    int rc = ::poll(fds, 2, -1);
    if (stopping) return;
    if (rc < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (!(fds[0].revents & POLLIN)) continue;
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    std::lock_guard lock(mutex);
    // Join the connections that have ended, so threads do not pile up.
    for (auto it = conns.begin(); it != conns.end();) {
      if (it->done) {
        it->thread.join();
        it = conns.erase(it);
      } else {
        ++it;
      }
    }
    conns.emplace_back();
    TConn* conn = &conns.back();
    conn->fd = fd;
    ++openConns;
    int serial = ++connSerial;
    conn->thread = std::thread([this, conn, serial] { Connection(conn, serial); });
  }
}

}  // namespace sitesim
