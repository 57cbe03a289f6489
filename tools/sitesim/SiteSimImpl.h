#pragma once
// The simulator's shared state, seen by its connection handler and its public API.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/sitesim/SiteSim.h"

namespace sitesim {

namespace detail {

// A response entity: its size and a reader for any slice of it.
struct TEntity {
  int64_t size = 0;
  std::function<void(int64_t offset, char* out, size_t length)> read;
};

// What one request addresses, as looked up in the catalogue.
struct TTarget {
  bool isResource = false;  // a stream, a file or a watch page: served with faults
  int status = 0;           // 200: answer pageBody as it is
  bool denied = false;      // a stream whose address is not (or no longer) valid: 403
  std::string pageBody, notFound;
  TFault fault;
  TEntity entity;
  std::string resourceKey, contentType = "text/html; charset=utf-8", lastModified;
  std::map<int, int64_t> connectionRates;
};

}  // namespace detail

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

  uint64_t secret = 0;  // of the stream address signatures
  // Per resource key: the connections that sent a GET for it, in that order.
  std::map<std::string, std::vector<int>> connOrder;

  struct TConn {
    int fd = -1;
    std::thread thread;
    bool done = false;
  };
  std::list<TConn> conns;
  int connSerial = 0;
  int openConns = 0;
  // Site page requests (watch and information pages) being answered now, and
  // the most there ever were at once.
  int pagesInFlight = 0;
  int mostPagesInFlight = 0;

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

  // The rest hold the lock when they read the catalogue.
  std::string StreamHost(const TStream& s) const {
    return s.Host.empty() ? std::string(kDefaultStreamHost) : s.Host;
  }
  // A stream's address as a page served now gives it (signed when the video asks).
  std::string StreamUrlOf(const std::string& id, size_t n, const TStream& s) const;
  std::string Signature(const std::string& id, size_t n, int64_t expires) const;
  // Whether a stream request's address lets it through now.
  bool StreamAllowed(const TVideo& v, size_t n,
                     const std::map<std::string, std::string>& params) const;
  std::string BuildPage(const TVideo& v) const;
  // Looks up what a request addresses; called with the lock held.
  detail::TTarget Locate(const TRequest& req, bool proxied, const std::string& host,
                         const std::string& path, std::map<std::string, std::string>& params,
                         bool siteHost);
  // The throttle of this connection's bodies by its arrival order, or -1 when
  // the order has none; counts the connection in. Called with the lock held.
  int64_t OrderRate(const std::string& key, const std::map<int, int64_t>& rates, int serial);

  void Serve();
  void Connection(TConn* conn, int serial);
};

// Milliseconds on the clock signed addresses use.
int64_t NowMs();

}  // namespace sitesim
