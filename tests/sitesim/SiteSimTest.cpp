#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "tests/support/TestSupport.h"
#include "tools/sitesim/SiteSim.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

// A raw HTTP exchange, so the tests see exactly what went over the wire.
class Client {
 public:
  explicit Client(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "connect";
  }
  ~Client() { ::close(fd_); }
  void Send(const std::string& s) { ::send(fd_, s.data(), s.size(), MSG_NOSIGNAL); }
  // Everything until the server closes, or until nothing came for idle.
  std::string ReadAll(std::chrono::milliseconds idle = 5s, bool* closed = nullptr) {
    std::string out;
    char buf[65536];
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(idle.count())) <= 0) {
        if (closed) *closed = false;
        return out;
      }
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    if (closed) *closed = true;
    return out;
  }

 private:
  int fd_ = -1;
};

struct Response {
  std::string head, body;
  int status = 0;
  std::string Header(const std::string& name) const {
    std::string key = "\r\n" + name + ": ";
    size_t p = head.find(key);
    if (p == std::string::npos) return "<none>";
    p += key.size();
    return head.substr(p, head.find("\r\n", p) - p);
  }
};

Response Split(const std::string& raw) {
  Response r;
  size_t end = raw.find("\r\n\r\n");
  r.head = raw.substr(0, end == std::string::npos ? raw.size() : end + 2);
  r.body = end == std::string::npos ? "" : raw.substr(end + 4);
  if (raw.size() > 12) r.status = std::atoi(raw.c_str() + 9);
  return r;
}

class SiteSim : public ::testing::Test {
 protected:
  void SetUp() override {
    sitesim::TVideo v;
    v.Id = "abc";
    v.Title = "Clip";
    v.Streams.resize(2);
    v.Streams[0].Itag = 22;
    v.Streams[0].Size = 100000;
    v.Streams[0].Seed = 5;
    v.Streams[1].Data = "0123456789";
    sim.AddVideo(v);
    sim.Start();
  }
  // One request on its own connection (closed by the server afterwards).
  Response Get(const std::string& target, const std::string& extra = {},
               const std::string& method = "GET") {
    Client c(sim.Port());
    c.Send(method + " " + target + " HTTP/1.1\r\nHost: x\r\n" + extra +
           "Connection: close\r\n\r\n");
    return Split(c.ReadAll());
  }
  std::string Stream(size_t n) { return sim.StreamUrl("abc", n); }

  sitesim::TSiteSim sim;
};

std::string Gunzip(const std::string& in) {
  z_stream zs{};
  inflateInit2(&zs, 15 + 16);
  std::string out(1 << 20, '\0');
  zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
  inflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  inflateEnd(&zs);
  return out;
}

}  // namespace

TEST_F(SiteSim, ServesPagesAndStreamsDirectlyAndAsProxy) {
  Response page = Get("http://www.youtube.com/watch?v=abc");
  EXPECT_EQ(page.status, 200);
  EXPECT_EQ(page.body, sim.WatchPage("abc"));
  EXPECT_NE(page.body.find("\"length_seconds\": 212, "), std::string::npos);
  EXPECT_NE(page.body.find("<title>\n  Clip - YouTube\n</title>"), std::string::npos);

  EXPECT_EQ(Get("/watch?v=abc").body, page.body);
  EXPECT_EQ(Get("http://www.youtube.com/watch?v=zzz").status, 404);
  EXPECT_NE(Get(sim.InfoUrl("abc")).body.find("status=ok"), std::string::npos);
  EXPECT_EQ(Get("http://elsewhere.invalid/").status, 502);

  Response s = Get(Stream(0));
  EXPECT_EQ(s.status, 200);
  EXPECT_EQ(s.body, sitesim::GeneratedBytes(5, 0, 100000));
  EXPECT_EQ(Get(sim.DirectUrl(Stream(1))).body, "0123456789");

  auto reqs = sim.Requests();
  ASSERT_GE(reqs.size(), 2u);
  EXPECT_EQ(reqs[0].Target, "http://www.youtube.com/watch?v=abc");
  EXPECT_EQ(reqs[0].Header("host"), "x");
}

TEST_F(SiteSim, HeadAndRanges) {
  Response h = Get(Stream(0), {}, "HEAD");
  EXPECT_EQ(h.status, 200);
  EXPECT_EQ(h.Header("Content-Length"), "100000");
  EXPECT_EQ(h.Header("Accept-Ranges"), "bytes");
  EXPECT_EQ(h.Header("Content-Type"), "video/mp4");
  EXPECT_EQ(h.Header("Last-Modified"), "Wed, 21 Oct 2015 07:28:00 GMT");
  EXPECT_EQ(h.body, "");

  Response r = Get(Stream(0), "Range: bytes=99990-\r\n");
  EXPECT_EQ(r.status, 206);
  EXPECT_EQ(r.Header("Content-Range"), "bytes 99990-99999/100000");
  EXPECT_EQ(r.body, sitesim::GeneratedBytes(5, 99990, 10));
  EXPECT_EQ(Get(Stream(1), "Range: bytes=2-4\r\n").body, "234");
  EXPECT_EQ(Get(Stream(1), "Range: bytes=-3\r\n").body, "789");
  EXPECT_EQ(Get(Stream(1), "Range: bytes=10-\r\n").status, 416);
}

TEST_F(SiteSim, HeaderAndRangeFaults) {
  sitesim::TFault f;
  f.IgnoreRange = true;
  f.NoLastModified = f.NoContentType = true;
  sim.SetStreamFault("abc", 1, f);
  Response r = Get(Stream(1), "Range: bytes=2-4\r\n");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, "0123456789");
  EXPECT_EQ(r.Header("Last-Modified"), "<none>");
  EXPECT_EQ(r.Header("Content-Type"), "<none>");

  f = {};
  f.ContentRangeShift = 1;
  f.Times = 1;
  sim.SetStreamFault("abc", 1, f);
  EXPECT_EQ(Get(Stream(1), "Range: bytes=2-4\r\n").Header("Content-Range"), "bytes 3-5/10");
  EXPECT_EQ(Get(Stream(1), "Range: bytes=2-4\r\n").Header("Content-Range"), "bytes 2-4/10");

  f = {};
  f.NoContentLength = true;
  f.Gzip = true;
  sim.SetStreamFault("abc", 0, f);
  r = Get(Stream(0));
  EXPECT_EQ(r.Header("Content-Length"), "<none>");
  EXPECT_EQ(r.Header("Content-Encoding"), "gzip");
  EXPECT_EQ(Gunzip(r.body), sitesim::GeneratedBytes(5, 0, 100000));
}

TEST_F(SiteSim, StatusForTheFirstRequestsThenNormal) {
  sitesim::TFault f;
  f.Status = 503;
  f.Times = 2;
  f.GetOnly = true;
  sim.SetStreamFault("abc", 1, f);
  EXPECT_EQ(Get(Stream(1), {}, "HEAD").status, 200);  // HEAD does not count
  EXPECT_EQ(Get(Stream(1)).status, 503);
  EXPECT_EQ(Get(Stream(1)).status, 503);
  EXPECT_EQ(Get(Stream(1)).status, 200);
}

TEST_F(SiteSim, ChangingBodyAndCloseAfterBytes) {
  sitesim::TFault f;
  f.ChangingBody = true;
  sim.SetStreamFault("abc", 1, f);
  std::string first = Get(Stream(1)).body, second = Get(Stream(1)).body;
  EXPECT_EQ(first, sim.StreamBody("abc", 1, 0));
  EXPECT_EQ(second, sim.StreamBody("abc", 1, 1));
  EXPECT_NE(first, second);

  f = {};
  f.CloseAfterBytes = 1000;
  sim.SetStreamFault("abc", 0, f);
  Client c(sim.Port());
  // Keep-alive asked for, but the connection still ends mid-body.
  c.Send("GET " + Stream(0) + " HTTP/1.1\r\nHost: x\r\n\r\n");
  bool closed = false;
  Response r = Split(c.ReadAll(5s, &closed));
  EXPECT_TRUE(closed);
  EXPECT_EQ(r.Header("Content-Length"), "100000");
  EXPECT_EQ(r.body, sitesim::GeneratedBytes(5, 0, 1000));
}

TEST_F(SiteSim, KeepAliveRateLimitAndStallShutDownCleanly) {
  {
    Client c(sim.Port());
    c.Send("HEAD " + Stream(1) + " HTTP/1.1\r\nHost: x\r\n\r\nGET " + Stream(1) +
           " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    std::string raw = c.ReadAll();
    EXPECT_NE(raw.find("0123456789"), std::string::npos);
    auto reqs = sim.Requests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_EQ(reqs[0].Connection, reqs[1].Connection);
  }

  sitesim::TFault f;
  f.RateBytesPerSec = 50000;
  sim.SetStreamFault("abc", 0, f);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Get(Stream(0), "Range: bytes=0-24999\r\n").body.size(), 25000u);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 400ms);

  f = {};
  f.StallAfterBytes = 10;
  sim.SetStreamFault("abc", 0, f);
  Client c(sim.Port());
  c.Send("GET " + Stream(0) + " HTTP/1.1\r\nHost: x\r\n\r\n");
  bool closed = true;
  Response r = Split(c.ReadAll(2s, &closed));  // idle this long: stalled, not just slow
  EXPECT_FALSE(closed);
  EXPECT_EQ(r.body.size(), 10u);
  EXPECT_EQ(sim.OpenConnections(), 1);
  sim.Stop();  // must not wait for the stalled client
  EXPECT_EQ(sim.OpenConnections(), 0);
  c.ReadAll(20s, &closed);
  EXPECT_TRUE(closed);
}

TEST_F(SiteSim, ProxyAuthenticationAndDelay) {
  sim.SetProxyAuth(true, "u", "p");
  Response r = Get(sim.WatchUrl("abc"));
  EXPECT_EQ(r.status, 407);
  EXPECT_EQ(r.Header("Proxy-Authenticate"), "Basic realm=\"sitesim\"");
  EXPECT_EQ(Get(sim.WatchUrl("abc"), "Proxy-Authorization: Basic dTpw\r\n").status, 200);
  EXPECT_EQ(Get("/watch?v=abc").status, 200);  // only proxy requests need it

  sitesim::TFault f;
  f.DelayMs = 200;
  sim.SetPageFault("abc", f);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(Get("/watch?v=abc").status, 200);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 200ms);
}

// The first stream address in a watch page, unescaped as a client would.
std::string FirstStreamUrl(const std::string& page) {
  size_t from = page.find("url=") + 4, to = page.find("\\u0026", from);
  std::string out;
  for (size_t i = from; i < to; ++i) {
    out +=
        page[i] == '%' ? static_cast<char>(std::stoi(page.substr(i + 1, 2), nullptr, 16)) : page[i];
    if (page[i] == '%') i += 2;
  }
  return out;
}

TEST_F(SiteSim, SignedAddressesExpireAndRefusedStreams) {
  sim.SetStreamExpiry("abc", 1s);
  const std::string url = Stream(1);
  EXPECT_NE(url.find("&sig="), std::string::npos);
  EXPECT_EQ(Get(url).body, "0123456789");
  EXPECT_EQ(Get(url.substr(0, url.find("&expires="))).status, 403);
  std::string forged = url;
  forged.back() = forged.back() == '0' ? '1' : '0';
  EXPECT_EQ(Get(forged).status, 403);

  // The address stops working once its time is up; a page served then signs afresh.
  auto until = std::chrono::steady_clock::now() + 10s;
  while (Get(url).status == 200 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(20ms);
  EXPECT_EQ(Get(url).status, 403);
  const std::string fresh = FirstStreamUrl(Get(sim.WatchUrl("abc")).body);
  EXPECT_NE(fresh, url);
  EXPECT_EQ(Get(fresh).body, sitesim::GeneratedBytes(5, 0, 100000));

  sim.SetStreamsForbidden("abc", true);
  EXPECT_EQ(Get(Stream(1)).status, 403);
  sim.SetStreamsForbidden("abc", false);
  sim.SetStreamExpiry("abc", 0ms);
  EXPECT_EQ(Get(Stream(1)).status, 200);
}

TEST_F(SiteSim, ThrottleByConnectionOrder) {
  sim.SetConnectionRate("abc", 0, 2, 20000);
  Get(Stream(0), {}, "HEAD");  // takes no place
  std::vector<std::chrono::steady_clock::duration> took;
  for (int i = 0; i < 3; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Get(Stream(0), "Range: bytes=0-9999\r\n").body.size(), 10000u);
    took.push_back(std::chrono::steady_clock::now() - t0);
  }
  EXPECT_GE(took[1], 400ms);  // 10000 bytes at 20000 B/s
  std::vector<int> gets;
  for (const auto& r : sim.Requests())
    if (r.Method == "GET") gets.push_back(r.Connection);
  EXPECT_EQ(sim.ConnectionOrder("abc", 0), gets);
}

TEST(SiteSimCatalogue, ParsesVideosStreamsAndFaults) {
  auto cat = sitesim::ParseCatalogue(
      "; comment\n[server]\nsite_host = www.youtube.com\nproxy_user = u\n"
      "[video abc]\ntitle = A\\x2Bb\nlength = 61\npage_delay_ms = 5\nstream_expiry_ms = 3000\n"
      "[stream]\nitag = 22\nsize = 1048576\nseed = 9\nclose_after = 100\ntimes = 1\n"
      "connection_rate = 2:100000\n"
      "[stream]\nitag = 5\ndata = xyz\ngzip = yes\nno_last_modified = 1\n"
      "[file http://clips.example/a/page.html]\ndata = <video>\ncontent_type = text/html\n");
  EXPECT_TRUE(cat.Options.RequireProxyAuth);
  ASSERT_EQ(cat.Files.size(), 1u);
  EXPECT_EQ(cat.Files[0].Host, "clips.example");
  EXPECT_EQ(cat.Files[0].Path, "/a/page.html");
  EXPECT_EQ(cat.Files[0].Body.ContentType, "text/html");
  ASSERT_EQ(cat.Videos.size(), 1u);
  const auto& v = cat.Videos[0];
  EXPECT_EQ(v.Title, "A+b");
  EXPECT_EQ(v.LengthSeconds, 61);
  EXPECT_EQ(v.PageFault.DelayMs, 5);
  EXPECT_EQ(v.StreamExpiry, std::chrono::milliseconds(3000));
  EXPECT_EQ(v.Streams[0].ConnectionRates.at(2), 100000);
  ASSERT_EQ(v.Streams.size(), 2u);
  EXPECT_EQ(v.Streams[0].Size, 1048576);
  EXPECT_EQ(v.Streams[0].Fault.CloseAfterBytes, 100);
  EXPECT_EQ(v.Streams[0].Fault.Times, 1);
  EXPECT_TRUE(v.Streams[1].Fault.Gzip);
  EXPECT_TRUE(v.Streams[1].Fault.NoLastModified);
  EXPECT_THROW(sitesim::ParseCatalogue("[stream]\nitag=1\n"), std::runtime_error);
  EXPECT_THROW(sitesim::ParseCatalogue("[video a]\nbogus = 1\n"), std::runtime_error);
  EXPECT_THROW(sitesim::ParseCatalogue("[video a]\nlength = x\n"), std::runtime_error);
  EXPECT_THROW(sitesim::ParseCatalogue("[file clips.example/a]\n"), std::runtime_error);
  EXPECT_THROW(sitesim::ParseCatalogue("[file http://clips.example]\n"), std::runtime_error);
}

TEST(SiteSimProgram, PrintsItsAddressServesTheCatalogueAndStopsOnSignal) {
  testsupport::TempDir dir;
  std::ofstream(dir / "cat.ini") << "[video v1]\ntitle = T\n[stream]\nitag = 18\ndata = body\n";
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_addclose(&fa, out[0]);
  std::string exe = testsupport::BinDir() + "sitesim", cat = dir / "cat.ini";
  char* argv[] = {exe.data(), cat.data(), nullptr};
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, exe.c_str(), &fa, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&fa);
  ::close(out[1]);
  std::string line;
  char ch;
  while (::read(out[0], &ch, 1) == 1 && ch != '\n') line += ch;
  ::close(out[0]);
  ASSERT_EQ(line.rfind("127.0.0.1:", 0), 0u) << line;
  uint16_t port = static_cast<uint16_t>(std::stoi(line.substr(10)));

  Client c(port);
  c.Send(
      "GET http://r1.media.sim.invalid/videoplayback?id=v1&n=0 HTTP/1.1\r\nHost: x\r\n"
      "Connection: close\r\n\r\n");
  EXPECT_EQ(Split(c.ReadAll()).body, "body");

  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}
