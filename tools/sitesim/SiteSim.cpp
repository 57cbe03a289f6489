#include "tools/sitesim/SiteSim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <limits>
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace sitesim {

const char* const kDefaultStreamHost = "r1.media.sim.invalid";

namespace {

constexpr size_t kMaxHead = 64 * 1024;
constexpr size_t kChunk = 16 * 1024;
constexpr int64_t kMaxGzipBody = 64LL << 20;

uint64_t Mix(uint64_t x) {  // splitmix64 finaliser
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
      i += 2;
    } else if (s[i] == '+') {
      out += ' ';
    } else {
      out += s[i];
    }
  }
  return out;
}

std::map<std::string, std::string> ParseQuery(const std::string& query) {
  std::map<std::string, std::string> out;
  size_t pos = 0;
  while (pos <= query.size()) {
    size_t amp = query.find('&', pos);
    if (amp == std::string::npos) amp = query.size();
    std::string part = query.substr(pos, amp - pos);
    size_t eq = part.find('=');
    std::string key = PercentDecode(part.substr(0, eq));
    std::string value =
        eq == std::string::npos ? std::string() : PercentDecode(part.substr(eq + 1));
    if (!key.empty() && !out.count(key)) out[key] = value;
    pos = amp + 1;
  }
  return out;
}

std::string HttpDate(std::time_t t) {
  std::tm tm{};
  gmtime_r(&t, &tm);
  char buf[64];
  std::strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &tm);
  return buf;
}

std::string Reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 206:
      return "Partial Content";
    case 301:
      return "Moved Permanently";
    case 302:
      return "Found";
    case 400:
      return "Bad Request";
    case 401:
      return "Unauthorized";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 407:
      return "Proxy Authentication Required";
    case 416:
      return "Range Not Satisfiable";
    case 431:
      return "Request Header Fields Too Large";
    case 500:
      return "Internal Server Error";
    case 502:
      return "Bad Gateway";
    case 503:
      return "Service Unavailable";
    default:
      return "Status";
  }
}

std::string Base64(const std::string& in) {
  static const char* abc = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  size_t i = 0;
  for (; i + 2 < in.size(); i += 3) {
    unsigned v =
        (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8 | (unsigned char)in[i + 2];
    out += abc[v >> 18], out += abc[(v >> 12) & 63], out += abc[(v >> 6) & 63], out += abc[v & 63];
  }
  if (i + 1 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16;
    out += abc[v >> 18], out += abc[(v >> 12) & 63], out += "==";
  } else if (i + 2 == in.size()) {
    unsigned v = (unsigned char)in[i] << 16 | (unsigned char)in[i + 1] << 8;
    out += abc[v >> 18], out += abc[(v >> 12) & 63], out += abc[(v >> 6) & 63], out += '=';
  }
  return out;
}

std::string GzipOf(const std::string& data) {
  z_stream zs{};
  if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2 failed");
  std::string out;
  out.resize(deflateBound(&zs, data.size()) + 32);
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs.avail_in = static_cast<uInt>(data.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  int rc = deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
  return out;
}

std::string DefaultQuality(int itag) {
  switch (itag) {
    case 22:
      return "hd720";
    case 35:
      return "large";
    case 5:
      return "small";
    default:
      return "medium";
  }
}

// A response entity: its size and a reader for any slice of it.
struct TEntity {
  int64_t size = 0;
  std::function<void(int64_t offset, char* out, size_t length)> read;
};

}  // namespace

void GenerateBytes(uint32_t seed, uint64_t offset, char* out, size_t length) {
  for (size_t i = 0; i < length;) {
    uint64_t pos = offset + i;
    uint64_t word = Mix((static_cast<uint64_t>(seed) << 40) ^ (pos >> 3));
    unsigned shift = static_cast<unsigned>(pos & 7) * 8;
    out[i++] = static_cast<char>((word >> shift) & 0xFF);
  }
}

std::string GeneratedBytes(uint32_t seed, uint64_t offset, size_t length) {
  std::string s(length, '\0');
  GenerateBytes(seed, offset, s.data(), length);
  return s;
}

std::string PercentEncode(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string TRequest::Header(const std::string& name) const {
  std::string key = Lower(name);
  for (const auto& [k, v] : Headers)
    if (Lower(k) == key) return v;
  return {};
}

bool TRequest::HasHeader(const std::string& name) const {
  std::string key = Lower(name);
  for (const auto& h : Headers)
    if (Lower(h.first) == key) return true;
  return false;
}

struct TSiteSim::Impl {
  TOptions options;
  mutable std::mutex mutex;  // catalogue, counters, request log, connections
  mutable std::condition_variable changed;
  std::map<std::string, TVideo> videos;
  std::map<std::pair<std::string, std::string>, TStream> files;  // (lower host, path)
  std::map<std::string, int> requestCount;  // per resource key: requests that counted
  std::map<std::string, int> getCount;      // per resource key: GETs seen (body version)
  // Per resource key: a throttle that bodies already being sent follow too.
  std::map<std::string, int64_t> liveRate;
  std::vector<TRequest> requests;

  struct TConn {
    int fd = -1;
    std::thread thread;
    bool done = false;
  };
  std::list<TConn> conns;
  int connSerial = 0;
  int openConns = 0;

  int listenFd = -1;
  int wakePipe[2] = {-1, -1};
  std::thread acceptThread;
  std::atomic<bool> stopping{false};
  bool running = false;
  uint16_t port = 0;

  // Waits up to ms unless the server stops; false when it stopped.
  bool Pause(int64_t ms) {
    std::unique_lock lock(mutex);
    return !changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping.load(); });
  }

  std::string StreamHost(const TStream& s) const {
    return s.Host.empty() ? std::string(kDefaultStreamHost) : s.Host;
  }
  std::string StreamUrlOf(const std::string& id, size_t n, const TStream& s) const {
    return "http://" + StreamHost(s) + "/videoplayback?id=" + PercentEncode(id) +
           "&n=" + std::to_string(n);
  }

  std::string BuildPage(const TVideo& v) const {
    if (!v.Page.empty()) return v.Page;
    std::string map;
    for (size_t i = 0; i < v.Streams.size(); ++i) {
      const TStream& s = v.Streams[i];
      if (i) map += ",";
      map += "url=" + PercentEncode(StreamUrlOf(v.Id, i, s));
      map += "\\u0026quality=" + (s.Quality.empty() ? DefaultQuality(s.Itag) : s.Quality);
      map += "\\u0026fallback_host=tc.v1.cache1.c.sim.invalid";
      map += "\\u0026type=" + PercentEncode(s.ContentType);
      map += "\\u0026itag=" + std::to_string(s.Itag);
    }
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\" dir=\"ltr\">\n<head>\n"
        "<meta http-equiv=\"content-type\" content=\"text/html; charset=utf-8\">\n"
        "<title>\n  " +
        v.Title +
        " - YouTube\n</title>\n"
        "<link rel=\"stylesheet\" href=\"\\/\\/s.sim.invalid\\/yt\\/css\\/www-core.css\">\n"
        "</head>\n<body>\n<div id=\"watch-container\">\n<div id=\"player\"></div>\n"
        "<script>\nvar swfConfig = {\"url\": \"http:\\/\\/s.sim.invalid\\/player.swf\", "
        "\"args\": {\"video_id\": \"" +
        v.Id + "\", ";
    if (v.LengthSeconds >= 0)
      page += "\"length_seconds\": " + std::to_string(v.LengthSeconds) + ", ";
    page += "\"url_encoded_fmt_stream_map\": \"" + map +
            "\", \"fmt_list\": \"\", \"hl\": \"en_US\"}};\n"
            "</script>\n</div>\n</body>\n</html>\n";
    return page;
  }

  void Serve();
  void Connection(TConn* conn, int serial);
};

// ---------------------------------------------------------------------------
// Connection handling

namespace {

// One self-signed certificate (P-256, CN "sitesim") for every tunnelled https
// connection; clients that want to reach it must skip verification.
SSL_CTX* TlsContext() {
  static SSL_CTX* ctx = [] {
    SSL_CTX* c = SSL_CTX_new(TLS_server_method());
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 3600L * 24 * 365);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("sitesim"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_sign(cert, key, EVP_sha256());
    SSL_CTX_use_certificate(c, cert);
    SSL_CTX_use_PrivateKey(c, key);
    X509_free(cert);
    EVP_PKEY_free(key);
    return c;
  }();
  return ctx;
}

class TSocket {
 public:
  TSocket(int fd, std::atomic<bool>& stopping) : fd_(fd), stopping_(stopping) {}
  ~TSocket() {
    if (ssl_) SSL_free(ssl_);
  }

  // Turns the connection into the server side of a TLS session (after CONNECT).
  bool StartTls() {
    // The TLS layer writes without MSG_NOSIGNAL: a client that hangs up must give
    // EPIPE on this connection's thread, not end the process.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    ssl_ = SSL_new(TlsContext());
    SSL_set_fd(ssl_, fd_);
    return SSL_accept(ssl_) == 1;
  }

  // Reads a request head ("...\r\n\r\n"); false when the peer closed or it was too long.
  bool ReadHead(std::string& head, bool& tooLong) {
    tooLong = false;
    for (;;) {
      size_t end = buffer_.find("\r\n\r\n");
      if (end != std::string::npos) {
        head = buffer_.substr(0, end + 4);
        buffer_.erase(0, end + 4);
        return true;
      }
      if (buffer_.size() > kMaxHead) {
        tooLong = true;
        return false;
      }
      if (!Fill()) return false;
    }
  }

  bool Discard(int64_t count) {
    while (count > 0) {
      if (buffer_.empty() && !Fill()) return false;
      size_t n =
          static_cast<size_t>(std::min<int64_t>(count, static_cast<int64_t>(buffer_.size())));
      buffer_.erase(0, n);
      count -= static_cast<int64_t>(n);
    }
    return true;
  }

  bool Send(const char* data, size_t length) {
    while (length > 0) {
      ssize_t n = ssl_ ? SSL_write(ssl_, data, static_cast<int>(length))
                       : ::send(fd_, data, length, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      data += n;
      length -= static_cast<size_t>(n);
    }
    return !stopping_;
  }
  bool Send(const std::string& s) { return Send(s.data(), s.size()); }

  // Holds the connection open without sending until the peer closes or the server stops.
  void Stall() {
    char tmp[4096];
    while (!stopping_) {
      pollfd p{fd_, POLLIN, 0};
      int rc = ::poll(&p, 1, 50);
      if (rc < 0 && errno != EINTR) return;
      if (rc > 0) {
        ssize_t n = ssl_ ? SSL_read(ssl_, tmp, sizeof tmp) : ::recv(fd_, tmp, sizeof tmp, 0);
        if (n <= 0) return;
      }
    }
  }

 private:
  bool Fill() {
    char tmp[8192];
    for (;;) {
      ssize_t n = ssl_ ? SSL_read(ssl_, tmp, sizeof tmp) : ::recv(fd_, tmp, sizeof tmp, 0);
      if (n < 0 && errno == EINTR && !ssl_) continue;
      if (n <= 0) return false;
      buffer_.append(tmp, static_cast<size_t>(n));
      return true;
    }
  }

  int fd_;
  std::atomic<bool>& stopping_;
  std::string buffer_;
  SSL* ssl_ = nullptr;
};

bool ParseHead(const std::string& head, TRequest& req) {
  size_t lineEnd = head.find("\r\n");
  std::string line = head.substr(0, lineEnd);
  size_t a = line.find(' ');
  size_t b = a == std::string::npos ? a : line.find(' ', a + 1);
  if (a == std::string::npos || b == std::string::npos) return false;
  req.Method = line.substr(0, a);
  req.Target = line.substr(a + 1, b - a - 1);
  req.Version = line.substr(b + 1);
  size_t pos = lineEnd + 2;
  while (pos < head.size()) {
    size_t end = head.find("\r\n", pos);
    if (end == std::string::npos || end == pos) break;
    std::string h = head.substr(pos, end - pos);
    size_t colon = h.find(':');
    if (colon != std::string::npos) {
      std::string value = h.substr(colon + 1);
      size_t f = value.find_first_not_of(" \t");
      size_t l = value.find_last_not_of(" \t");
      value = f == std::string::npos ? std::string() : value.substr(f, l - f + 1);
      req.Headers.emplace_back(h.substr(0, colon), value);
    }
    pos = end + 2;
  }
  return !req.Method.empty() && !req.Target.empty();
}

// Single "bytes=" range against size; false when absent or not a single range.
// unsatisfiable is set for a syntactically good range outside the entity.
bool ParseRange(const std::string& header, int64_t size, int64_t& first, int64_t& last,
                bool& unsatisfiable) {
  unsatisfiable = false;
  std::string h = header;
  if (Lower(h.substr(0, 6)) != "bytes=") return false;
  h = h.substr(6);
  if (h.find(',') != std::string::npos) return false;
  size_t dash = h.find('-');
  if (dash == std::string::npos) return false;
  std::string a = h.substr(0, dash), b = h.substr(dash + 1);
  auto num = [](const std::string& s, int64_t& v) {
    if (s.empty() || s.size() > 18) return false;
    v = 0;
    for (char c : s) {
      if (c < '0' || c > '9') return false;
      v = v * 10 + (c - '0');
    }
    return true;
  };
  if (a.empty()) {  // suffix range
    int64_t n;
    if (!num(b, n)) return false;
    if (n == 0 || size == 0) return unsatisfiable = true, false;
    first = std::max<int64_t>(0, size - n);
    last = size - 1;
    return true;
  }
  if (!num(a, first)) return false;
  if (b.empty()) {
    last = size - 1;
  } else if (!num(b, last) || last < first) {
    return false;
  }
  if (first >= size) return unsatisfiable = true, false;
  last = std::min(last, size - 1);
  return true;
}

}  // namespace

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
    std::string pageBody;
    TFault fault;
    TEntity entity;
    std::string resourceKey, contentType = "text/html; charset=utf-8", lastModified;
    bool isResource = false;
    int status = 0;
    std::string notFound;
    {
      std::lock_guard lock(mutex);
      auto serve = [&](const TStream& s) {
        fault = s.Fault;
        contentType = s.ContentType;
        lastModified = s.LastModified;
        // The body reader captures copies so catalogue changes cannot pull it away.
        if (!s.Data.empty()) {
          auto data = std::make_shared<std::string>(s.Data);
          entity.size = static_cast<int64_t>(data->size());
          entity.read = [data](int64_t off, char* out, size_t len) {
            std::memcpy(out, data->data() + off, len);
          };
        } else if (!s.File.empty()) {
          struct stat st {};
          auto file = std::make_shared<std::ifstream>(s.File, std::ios::binary);
          entity.size = (::stat(s.File.c_str(), &st) == 0 && *file) ? st.st_size : 0;
          entity.read = [file](int64_t off, char* out, size_t len) {
            file->seekg(off);
            file->read(out, static_cast<std::streamsize>(len));
          };
        } else {
          uint32_t seed = s.Seed;
          entity.size = s.Size;
          entity.read = [seed](int64_t off, char* out, size_t len) {
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
        isResource = true;
        resourceKey = "f:" + fileIt->first.first + fileIt->first.second;
        serve(fileIt->second);
      } else if (path == "/videoplayback") {
        auto it = videos.find(params["id"]);
        size_t n = static_cast<size_t>(std::atoll(params["n"].c_str()));
        if (it != videos.end() && n < it->second.Streams.size() &&
            (siteHost || host == Lower(StreamHost(it->second.Streams[n])))) {
          isResource = true;
          resourceKey = "s:" + it->first + "#" + std::to_string(n);
          serve(it->second.Streams[n]);
        } else {
          notFound = "<html><body>No such stream</body></html>";
        }
      } else if (siteHost && path == "/watch") {
        auto it = videos.find(params["v"]);
        if (it != videos.end()) {
          isResource = true;
          resourceKey = "p:" + it->first;
          fault = it->second.PageFault;
          auto page = std::make_shared<std::string>(BuildPage(it->second));
          entity.size = static_cast<int64_t>(page->size());
          entity.read = [page](int64_t off, char* out, size_t len) {
            std::memcpy(out, page->data() + off, len);
          };
          lastModified = "";
          fault.NoLastModified = true;
        } else {
          notFound =
              "<!DOCTYPE html>\n<html><head><title>YouTube</title></head>\n"
              "<body><div id=\"unavailable-message\">This video does not "
              "exist.</div></body></html>\n";
        }
      } else if (siteHost && path == "/get_video_info") {
        auto it = videos.find(params["video_id"]);
        if (it != videos.end())
          pageBody = "status=ok&video_id=" + PercentEncode(it->first) +
                     "&length_seconds=" + std::to_string(it->second.LengthSeconds) +
                     "&title=" + PercentEncode(it->second.Title);
        else
          pageBody =
              "status=fail&errorcode=100&reason=" + PercentEncode("This video does not exist.");
        status = 200;
      } else if (siteHost && path == "/") {
        pageBody =
            "<!DOCTYPE html>\n<html><head><title>YouTube</title></head><body></body></html>\n";
        status = 200;
      } else {
        notFound = "<html><body>Not found</body></html>";
      }
    }

    if (status == 200) {
      std::string r = "HTTP/1.1 200 OK\r\nDate: " + HttpDate(std::time(nullptr)) +
                      "\r\nServer: sitesim\r\nContent-Type: " +
                      (path == "/get_video_info" ? "application/x-www-form-urlencoded"
                                                 : "text/html; charset=utf-8") +
                      "\r\nContent-Length: " + std::to_string(pageBody.size()) + "\r\n" +
                      (keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n");
      if (!head_) r += pageBody;
      if (!sock.Send(r)) break;
      continue;
    }
    if (!isResource) {
      bool ok = notFound.empty()
                    ? simple(502, "<html><body>Bad gateway: unknown host</body></html>")
                    : simple(404, notFound);
      if (!ok) break;
      continue;
    }

    // Count the request and decide whether the fault script applies to it.
    int version = 0;
    bool active;
    {
      std::lock_guard lock(mutex);
      bool counts = !fault.GetOnly || !head_;
      int n = counts ? ++requestCount[resourceKey] : requestCount[resourceKey];
      active = counts && (fault.Times < 0 || n <= fault.Times);
      version = head_ ? getCount[resourceKey] : getCount[resourceKey]++;
    }
    if (active && fault.DelayMs > 0 && !Pause(fault.DelayMs)) break;
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
    int64_t rate = fault.RateBytesPerSec, pacedFrom = 0;
    std::vector<char> chunk(kChunk);
    int64_t sent = 0;
    bool ok = true;
    while (ok && sent < limit) {
      {
        std::lock_guard lock(mutex);
        auto live = liveRate.find(resourceKey);
        if (live != liveRate.end() && live->second != rate) {
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

// ---------------------------------------------------------------------------

TSiteSim::TSiteSim(TOptions options) : impl_(std::make_unique<Impl>()) {
  impl_->options = std::move(options);
}

TSiteSim::TSiteSim(const TCatalogue& catalogue) : TSiteSim(catalogue.Options) {
  for (const auto& v : catalogue.Videos) AddVideo(v);
}

TSiteSim::~TSiteSim() {
  Stop();
}

void TSiteSim::Start() {
  Impl& d = *impl_;
  if (d.running) return;
  d.listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (d.listenFd < 0) throw std::runtime_error("sitesim: socket failed");
  int one = 1;
  ::setsockopt(d.listenFd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(d.options.Port);
  socklen_t len = sizeof addr;
  if (::bind(d.listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(d.listenFd, 64) != 0 ||
      ::getsockname(d.listenFd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 ||
      ::pipe2(d.wakePipe, O_CLOEXEC) != 0) {
    std::string why = std::strerror(errno);
    ::close(d.listenFd);
    d.listenFd = -1;
    throw std::runtime_error("sitesim: cannot listen on loopback: " + why);
  }
  port_ = d.port = ntohs(addr.sin_port);
  d.stopping = false;
  d.running = true;
  d.acceptThread = std::thread([&d] { d.Serve(); });
}

void TSiteSim::Stop() {
  Impl& d = *impl_;
  if (!d.running) return;
  d.stopping = true;
  char byte = 1;
  [[maybe_unused]] ssize_t w = ::write(d.wakePipe[1], &byte, 1);
  d.acceptThread.join();
  {
    std::lock_guard lock(d.mutex);
    for (auto& c : d.conns)
      if (c.fd >= 0) ::shutdown(c.fd, SHUT_RDWR);
  }
  d.changed.notify_all();
  for (auto& c : d.conns) c.thread.join();
  d.conns.clear();
  ::close(d.listenFd);
  ::close(d.wakePipe[0]);
  ::close(d.wakePipe[1]);
  d.listenFd = d.wakePipe[0] = d.wakePipe[1] = -1;
  d.running = false;
}

std::string TSiteSim::ProxyAddress() const {
  return "127.0.0.1:" + std::to_string(port_);
}
std::string TSiteSim::Origin() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

void TSiteSim::AddVideo(TVideo video) {
  std::lock_guard lock(impl_->mutex);
  std::string id = video.Id;
  for (size_t n = 0; n < video.Streams.size(); ++n)
    impl_->liveRate.erase("s:" + id + "#" + std::to_string(n));
  impl_->videos[id] = std::move(video);
}

void TSiteSim::RemoveVideo(const std::string& id) {
  std::lock_guard lock(impl_->mutex);
  impl_->videos.erase(id);
}

void TSiteSim::SetStreamFault(const std::string& videoId, size_t stream, const TFault& fault) {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->videos.find(videoId);
  if (it == impl_->videos.end() || stream >= it->second.Streams.size())
    throw std::out_of_range("sitesim: no stream " + videoId + "#" + std::to_string(stream));
  it->second.Streams[stream].Fault = fault;
  impl_->requestCount.erase("s:" + videoId + "#" + std::to_string(stream));
  impl_->liveRate.erase("s:" + videoId + "#" + std::to_string(stream));
}

void TSiteSim::SetStreamRate(const std::string& videoId, size_t stream, int64_t bytesPerSec) {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->videos.find(videoId);
  if (it == impl_->videos.end() || stream >= it->second.Streams.size())
    throw std::out_of_range("sitesim: no stream " + videoId + "#" + std::to_string(stream));
  it->second.Streams[stream].Fault.RateBytesPerSec = bytesPerSec;
  impl_->liveRate["s:" + videoId + "#" + std::to_string(stream)] = bytesPerSec;
}

void TSiteSim::SetPageFault(const std::string& videoId, const TFault& fault) {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->videos.find(videoId);
  if (it == impl_->videos.end()) throw std::out_of_range("sitesim: no video " + videoId);
  it->second.PageFault = fault;
  impl_->requestCount.erase("p:" + videoId);
}

void TSiteSim::AddFile(const std::string& host, const std::string& path, TStream body) {
  std::lock_guard lock(impl_->mutex);
  impl_->files[{Lower(host), path}] = std::move(body);
  impl_->requestCount.erase("f:" + Lower(host) + path);
}

std::string TSiteSim::FileUrl(const std::string& host, const std::string& path) const {
  return "http://" + host + path;
}

void TSiteSim::SetProxyAuth(bool required, const std::string& user, const std::string& password) {
  std::lock_guard lock(impl_->mutex);
  impl_->options.RequireProxyAuth = required;
  impl_->options.ProxyUser = user;
  impl_->options.ProxyPassword = password;
}

std::string TSiteSim::WatchUrl(const std::string& videoId) const {
  std::lock_guard lock(impl_->mutex);
  return "http://" + impl_->options.SiteHost + "/watch?v=" + PercentEncode(videoId);
}

std::string TSiteSim::InfoUrl(const std::string& videoId) const {
  std::lock_guard lock(impl_->mutex);
  return "http://" + impl_->options.SiteHost + "/get_video_info?video_id=" + PercentEncode(videoId);
}

std::string TSiteSim::StreamUrl(const std::string& videoId, size_t stream) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->videos.find(videoId);
  if (it == impl_->videos.end() || stream >= it->second.Streams.size())
    throw std::out_of_range("sitesim: no stream " + videoId + "#" + std::to_string(stream));
  return impl_->StreamUrlOf(videoId, stream, it->second.Streams[stream]);
}

std::string TSiteSim::DirectUrl(const std::string& url) const {
  if (Lower(url.substr(0, 7)) != "http://") return url;
  size_t slash = url.find('/', 7);
  return Origin() + (slash == std::string::npos ? "/" : url.substr(slash));
}

std::string TSiteSim::StreamBody(const std::string& videoId, size_t stream, int version) const {
  TStream s;
  {
    std::lock_guard lock(impl_->mutex);
    auto it = impl_->videos.find(videoId);
    if (it == impl_->videos.end() || stream >= it->second.Streams.size())
      throw std::out_of_range("sitesim: no stream " + videoId + "#" + std::to_string(stream));
    s = it->second.Streams[stream];
  }
  std::string body;
  if (!s.Data.empty()) {
    body = s.Data;
  } else if (!s.File.empty()) {
    std::ifstream in(s.File, std::ios::binary);
    body.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } else {
    body = GeneratedBytes(s.Seed, 0, static_cast<size_t>(s.Size));
  }
  if (s.Fault.ChangingBody && version > 0) {
    unsigned char flip = static_cast<unsigned char>(version * 37 + 1);
    for (char& c : body) c = static_cast<char>(c ^ flip);
  }
  return body;
}

std::string TSiteSim::WatchPage(const std::string& videoId) const {
  std::lock_guard lock(impl_->mutex);
  auto it = impl_->videos.find(videoId);
  if (it == impl_->videos.end()) throw std::out_of_range("sitesim: no video " + videoId);
  return impl_->BuildPage(it->second);
}

std::vector<TRequest> TSiteSim::Requests() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->requests;
}

void TSiteSim::ClearRequests() {
  std::lock_guard lock(impl_->mutex);
  impl_->requests.clear();
}

bool TSiteSim::WaitForRequests(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(impl_->mutex);
  return impl_->changed.wait_for(lock, timeout, [&] { return impl_->requests.size() >= count; });
}

int TSiteSim::OpenConnections() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->openConns;
}

}  // namespace sitesim
