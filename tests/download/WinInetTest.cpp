#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "download/clHttpUtils.h"
#include "download/clWinInet.h"
#include "tests/download/ScriptedServer.h"
#include "tests/support/TestSupport.h"

using namespace wininet;
using testsupport::ScriptedServer;

namespace {

// One request chain on the loopback server; closes everything it opened.
struct Chain {
  HINTERNET root = nullptr, connect = nullptr, request = nullptr;
  Chain(int port, const std::string& verb, const std::string& object,
        const std::string& host = "127.0.0.1", DWORD access = INTERNET_OPEN_TYPE_DIRECT,
        const std::string& proxy = "", DWORD flags = INTERNET_FLAG_NO_CACHE_WRITE) {
    root = InternetOpen("TestAgent/1.0", access, proxy, "", 0);
    connect =
        InternetConnect(root, host, port, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, nullptr);
    request = HttpOpenRequest(connect, verb, object, flags, nullptr);
  }
  ~Chain() {
    InternetCloseHandle(request);
    InternetCloseHandle(connect);
    InternetCloseHandle(root);
  }
  std::optional<std::string> Text(DWORD level) {
    char buf[1024];
    DWORD len = sizeof buf;
    if (!HttpQueryInfo(request, level, buf, &len)) return std::nullopt;
    return std::string(buf, len);
  }
  std::string Body() {
    std::string out;
    char buf[8192];
    DWORD n = 0;
    while (InternetReadFile(request, buf, sizeof buf, &n) && n > 0) out.append(buf, n);
    return out;
  }
};

const std::string kLastModified = "Last-Modified: Wed, 21 Oct 2015 07:28:05 GMT";

}  // namespace

TEST(WinInet, HeadAndGetAnswerHeaderQueries) {
  ScriptedServer server([](const ScriptedServer::Request& req, ScriptedServer::Connection& c) {
    std::string body(5000, 'x');
    std::string head = ScriptedServer::Response(
        200, "",
        {kLastModified, "Content-Type: video/x-flv", "Content-Length: 5000",
         "Content-Disposition: attachment; filename=\"a.flv\""});
    c.Send(req.method == "HEAD" ? head : head + body);
  });
  Chain head(server.Port(), "HEAD", "/v?id=1");
  ASSERT_TRUE(HttpAddRequestHeaders(head.request, "Accept-Encoding: gzip, deflate",
                                    HTTP_ADDREQ_FLAG_ADD_IF_NEW));
  ASSERT_TRUE(HttpSendRequest(head.request));
  DWORD status = 0, len = sizeof status;
  ASSERT_TRUE(
      HttpQueryInfo(head.request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &len));
  EXPECT_EQ(status, 200u);
  int64_t length = 0;
  len = sizeof length;
  ASSERT_TRUE(HttpQueryInfo(head.request, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER64,
                            &length, &len));
  EXPECT_EQ(length, 5000);
  SYSTEMTIME st;
  len = sizeof st;
  ASSERT_TRUE(HttpQueryInfo(head.request, HTTP_QUERY_LAST_MODIFIED | HTTP_QUERY_FLAG_SYSTEMTIME,
                            &st, &len));
  EXPECT_EQ(st.wYear, 2015);
  EXPECT_EQ(st.wMonth, 10);
  EXPECT_EQ(st.wDay, 21);
  EXPECT_EQ(st.wHour, 7);
  EXPECT_EQ(st.wMinute, 28);
  EXPECT_EQ(head.Text(HTTP_QUERY_CONTENT_TYPE), "video/x-flv");
  EXPECT_EQ(head.Text(HTTP_QUERY_CONTENT_DISPOSITION), "attachment; filename=\"a.flv\"");
  EXPECT_EQ(head.Text(HTTP_QUERY_CONTENT_ENCODING), std::nullopt);
  EXPECT_EQ(GetLastError(), ERROR_HTTP_HEADER_NOT_FOUND);
  // Raw headers: asked for the size first, then read.
  len = 0;
  EXPECT_FALSE(HttpQueryInfo(head.request, HTTP_QUERY_RAW_HEADERS_CRLF, nullptr, &len));
  EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  std::string raw(len, '\0');
  ASSERT_TRUE(HttpQueryInfo(head.request, HTTP_QUERY_RAW_HEADERS_CRLF, raw.data(), &len));
  raw.resize(len);
  EXPECT_EQ(raw.rfind("HTTP/1.1 200", 0), 0u);
  EXPECT_NE(raw.find("\r\nContent-Type: video/x-flv\r\n"), std::string::npos);
  EXPECT_EQ(raw.substr(raw.size() - 4), "\r\n\r\n");
  EXPECT_EQ(head.Body(), "");

  Chain get(server.Port(), "GET", "/v");
  ASSERT_TRUE(HttpSendRequest(get.request));
  EXPECT_EQ(get.Body(), std::string(5000, 'x'));

  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].method, "HEAD");
  EXPECT_EQ(requests[0].target, "/v?id=1");
  EXPECT_EQ(requests[0].Header("user-agent"), "TestAgent/1.0");
  EXPECT_EQ(requests[0].Header("accept-encoding"), "gzip, deflate");
  EXPECT_FALSE(requests[0].Has("accept"));
}

TEST(WinInet, AddIfNewKeepsTheFirstHeaderOfAName) {
  ScriptedServer server([](auto&, auto& c) { c.Send(ScriptedServer::Response(200, "")); });
  Chain chain(server.Port(), "GET", "/");
  EXPECT_TRUE(
      HttpAddRequestHeaders(chain.request, "X-One: 1\r\nX-Two: 2", HTTP_ADDREQ_FLAG_ADD_IF_NEW));
  EXPECT_FALSE(HttpAddRequestHeaders(chain.request, "x-one: other", HTTP_ADDREQ_FLAG_ADD_IF_NEW));
  EXPECT_EQ(GetLastError(), ERROR_HTTP_HEADER_ALREADY_EXISTS);
  ASSERT_TRUE(HttpSendRequest(chain.request));
  auto req = server.Requests().at(0);
  EXPECT_EQ(req.Header("x-one"), "1");
  EXPECT_EQ(req.Header("x-two"), "2");
}

TEST(WinInet, ErrorStatusStillDeliversItsBody) {
  ScriptedServer server([](auto&, auto& c) { c.Send(ScriptedServer::Response(404, "not here")); });
  Chain chain(server.Port(), "GET", "/missing");
  ASSERT_TRUE(HttpSendRequest(chain.request));
  EXPECT_EQ(chain.Text(HTTP_QUERY_STATUS_CODE), "404");
  EXPECT_EQ(chain.Body(), "not here");
}

TEST(WinInet, RandomAccessOnlyWhereTheServerReallyAllowsIt) {
  ScriptedServer server([](const ScriptedServer::Request& req, ScriptedServer::Connection& c) {
    std::string body(1000, 'r');
    if (req.target == "/ranges") {
      c.Send(ScriptedServer::Response(200, body, {"Accept-Ranges: bytes"}));
    } else if (req.target == "/norange") {
      c.Send(ScriptedServer::Response(200, body));
    } else if (req.target == "/partial") {
      c.Send(ScriptedServer::Response(206, body.substr(100, 100),
                                      {"Content-Range: bytes 100-199/1000"}));
    } else {  // /liar answers a range with the wrong part
      c.Send(
          ScriptedServer::Response(206, body.substr(0, 100), {"Content-Range: bytes 0-99/1000"}));
    }
  });
  {
    Chain chain(server.Port(), "GET", "/ranges");
    ASSERT_TRUE(HttpSendRequest(chain.request));
    EXPECT_EQ(InternetSetFilePointer(chain.request, 0, FILE_END), 1000);
    EXPECT_EQ(chain.Body(), "");  // at the end
  }
  {
    Chain chain(server.Port(), "GET", "/norange");
    ASSERT_TRUE(HttpSendRequest(chain.request));
    EXPECT_EQ(InternetSetFilePointer(chain.request, 0, FILE_END), -1);
    EXPECT_EQ(chain.Body().size(), 1000u);
  }
  {
    Chain chain(server.Port(), "GET", "/partial");
    HttpAddRequestHeaders(chain.request, "Range: bytes=100-199", HTTP_ADDREQ_FLAG_ADD_IF_NEW);
    ASSERT_TRUE(HttpSendRequest(chain.request));
    EXPECT_EQ(chain.Text(HTTP_QUERY_STATUS_CODE), "206");
    EXPECT_EQ(chain.Body(), std::string(100, 'r'));
    EXPECT_EQ(InternetSetFilePointer(chain.request, 0, FILE_END), 1000);
  }
  {
    Chain chain(server.Port(), "GET", "/liar");
    HttpAddRequestHeaders(chain.request, "Range: bytes=100-199", HTTP_ADDREQ_FLAG_ADD_IF_NEW);
    EXPECT_FALSE(HttpSendRequest(chain.request));
    EXPECT_EQ(GetLastError(), ERROR_HTTP_INVALID_SERVER_RESPONSE);
  }
  EXPECT_EQ(server.Requests().at(2).Header("range"), "bytes=100-199");
}

TEST(WinInet, UnresolvedHostAndClosedPortGiveTheirCodes) {
  {
    Chain chain(80, "GET", "/", "no-such-host.invalid");
    EXPECT_FALSE(HttpSendRequest(chain.request));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_NAME_NOT_RESOLVED);
  }
  int closedPort;
  {
    ScriptedServer gone([](auto&, auto&) {});
    closedPort = gone.Port();
  }
  Chain chain(closedPort, "GET", "/");
  EXPECT_FALSE(HttpSendRequest(chain.request));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_CANNOT_CONNECT);
}

TEST(WinInet, ConnectionClosedEarlyFailsTheReadAfterTheDataThatCame) {
  ScriptedServer server([](auto&, auto& c) {
    c.Send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(300, 'a'));
  });
  Chain chain(server.Port(), "GET", "/");
  ASSERT_TRUE(HttpSendRequest(chain.request));
  std::string got;
  char buf[4096];
  DWORD n = 0;
  bool ok;
  while ((ok = InternetReadFile(chain.request, buf, sizeof buf, &n)) && n > 0) got.append(buf, n);
  EXPECT_FALSE(ok);
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_CONNECTION_ABORTED);
  EXPECT_EQ(got, std::string(300, 'a'));
}

TEST(WinInet, GarbageResponseIsAnInvalidServerResponse) {
  ScriptedServer server([](auto&, auto& c) { c.Send("garbage\r\n\r\n"); });
  Chain chain(server.Port(), "GET", "/");
  EXPECT_FALSE(HttpSendRequest(chain.request));
  EXPECT_EQ(GetLastError(), ERROR_HTTP_INVALID_SERVER_RESPONSE);
}

TEST(WinInet, ClosingTheRootEndsAPendingReadAtOnce) {
  ScriptedServer server([](auto&, ScriptedServer::Connection& c) {
    c.Send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nabc");
    c.Stall();
  });
  Chain chain(server.Port(), "GET", "/");
  ASSERT_TRUE(HttpSendRequest(chain.request));
  char buf[100];
  DWORD n = 0;
  ASSERT_TRUE(InternetReadFile(chain.request, buf, sizeof buf, &n));
  EXPECT_EQ(n, 3u);
  HINTERNET root = chain.root;
  std::thread closer([root] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the read block
    InternetCloseHandle(root);
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(InternetReadFile(chain.request, buf, sizeof buf, &n));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_OPERATION_CANCELLED);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));  // stalls for ever
  closer.join();
  chain.root = nullptr;
  // Later calls of the chain fail too.
  EXPECT_FALSE(HttpSendRequest(chain.request));
  EXPECT_EQ(GetLastError(), ERROR_INTERNET_OPERATION_CANCELLED);
}

TEST(WinInet, RedirectIsFollowedAndServerCredentialsStayWithTheirHost) {
  ScriptedServer target(
      [](auto&, auto& c) { c.Send(ScriptedServer::Response(200, "moved body")); });
  ScriptedServer origin([&](const ScriptedServer::Request& req, ScriptedServer::Connection& c) {
    // Same address under another name: a different host for credentials.
    c.Send(ScriptedServer::Response(
        302, "redirect body",
        {"Location: http://localhost:" + std::to_string(target.Port()) + "/new"}));
  });
  Chain chain(origin.Port(), "GET", "/old");
  std::string user = "user", pass = "secret";
  InternetSetOption(chain.request, INTERNET_OPTION_USERNAME, user.c_str(),
                    static_cast<DWORD>(user.size()));
  InternetSetOption(chain.request, INTERNET_OPTION_PASSWORD, pass.c_str(),
                    static_cast<DWORD>(pass.size()));
  HttpAddRequestHeaders(chain.request,
                        "Proxy-Authorization: Basic cHJveHk6cHc=", HTTP_ADDREQ_FLAG_ADD_IF_NEW);
  ASSERT_TRUE(HttpSendRequest(chain.request));
  EXPECT_EQ(chain.Text(HTTP_QUERY_STATUS_CODE), "200");
  EXPECT_EQ(chain.Body(), "moved body");
  auto first = origin.Requests().at(0);
  EXPECT_EQ(first.Header("authorization"), GetBasicAuthorization("user", "secret"));
  EXPECT_FALSE(first.Has("proxy-authorization"));  // no proxy: never sent
  auto second = target.Requests().at(0);
  EXPECT_EQ(second.target, "/new");
  EXPECT_FALSE(second.Has("authorization"));
  EXPECT_FALSE(second.Has("proxy-authorization"));
}

TEST(WinInet, NamedProxyGetsTheRequestAndItsCredentialsAlsoForATunnel) {
  ScriptedServer proxy([](const ScriptedServer::Request& req, ScriptedServer::Connection& c) {
    if (!req.Has("proxy-authorization"))
      c.Send(ScriptedServer::Response(407, "", {"Proxy-Authenticate: Basic realm=\"p\""}));
    else if (req.method == "CONNECT")
      c.Send("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
    else
      c.Send(ScriptedServer::Response(200, "via proxy"));
  });
  std::string proxyString =
      GetProxyString(3, TclHttpProxySettings{atBasic, "", "", "127.0.0.1", proxy.Port()}, {});
  {
    Chain chain(80, "GET", "/file", "video.test", INTERNET_OPEN_TYPE_PROXY, proxyString);
    ASSERT_TRUE(HttpSendRequest(chain.request));
    EXPECT_EQ(chain.Text(HTTP_QUERY_STATUS_CODE), "407");
    // As the worker does for a 407: hand over the proxy credentials and send again.
    std::string user = "pu", pass = "pp";
    InternetSetOption(chain.request, INTERNET_OPTION_PROXY_USERNAME, user.c_str(), 2);
    InternetSetOption(chain.request, INTERNET_OPTION_PROXY_PASSWORD, pass.c_str(), 2);
    ASSERT_TRUE(HttpSendRequest(chain.request));
    EXPECT_EQ(chain.Text(HTTP_QUERY_STATUS_CODE), "200");
    EXPECT_EQ(chain.Body(), "via proxy");
  }
  {
    std::string https =
        GetProxyString(4, TclHttpProxySettings{atBasic, "", "", "127.0.0.1", proxy.Port()}, {});
    Chain chain(0, "GET", "/secret", "video.test", INTERNET_OPEN_TYPE_PROXY, https,
                INTERNET_FLAG_SECURE);
    HttpAddRequestHeaders(chain.request,
                          "Proxy-Authorization: " + GetBasicAuthorization("pu", "pp"),
                          HTTP_ADDREQ_FLAG_ADD_IF_NEW);
    ASSERT_TRUE(HttpSendRequest(chain.request));
    EXPECT_EQ(chain.Text(HTTP_QUERY_STATUS_CODE), "403");  // the proxy refused the tunnel
  }
  auto requests = proxy.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].target, "http://video.test/file");
  EXPECT_EQ(requests[1].Header("proxy-authorization"), GetBasicAuthorization("pu", "pp"));
  EXPECT_EQ(requests[2].method, "CONNECT");
  EXPECT_EQ(requests[2].target, "video.test:443");
  EXPECT_EQ(requests[2].Header("proxy-authorization"), GetBasicAuthorization("pu", "pp"));
}

namespace {
int64_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  int64_t size = 0, resident = 0;
  statm >> size >> resident;
  return resident * 4096;
}
}  // namespace

TEST(WinInet, LargeBodyStreamsThroughBoundedMemory) {
  constexpr int64_t kTotal = 256ll << 20;
  ScriptedServer server([&](auto&, ScriptedServer::Connection& c) {
    c.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kTotal) + "\r\n\r\n");
    std::string block(1 << 16, 'z');
    for (int64_t sent = 0; sent < kTotal; sent += block.size())
      if (!c.Send(block)) return;
  });
  Chain chain(server.Port(), "GET", "/big");
  ASSERT_TRUE(HttpSendRequest(chain.request));
  int64_t before = ResidentBytes(), peak = before, got = 0;
  std::vector<char> buf(8192);
  DWORD n = 0;
  while (InternetReadFile(chain.request, buf.data(), static_cast<DWORD>(buf.size()), &n) && n > 0) {
    got += n;
    if ((got & ((1 << 24) - 1)) < n) peak = std::max(peak, ResidentBytes());
  }
  EXPECT_EQ(got, kTotal);
#ifndef __SANITIZE_ADDRESS__
  // That allocator holds freed blocks in quarantine, so resident size proves nothing there.
  EXPECT_LT(peak - before, 16ll << 20);
#endif
}

// The download worker reads on its own thread whatever has arrived, never waiting:
// a whole body comes through that way alone, in pieces no larger than asked for.
TEST(WinInet, BufferedReadTakesInWhatHasArrived) {
  std::string body(1 << 20, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7 + i / 251);
  ScriptedServer server([&](auto&, ScriptedServer::Connection& c) {
    c.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n");
    for (size_t at = 0; at < body.size(); at += 100000)
      if (!c.Send(body.substr(at, 100000))) return;
  });
  Chain chain(server.Port(), "GET", "/paced");
  ASSERT_TRUE(HttpSendRequest(chain.request));
  std::string got;
  char buf[8192];
  DWORD n = 0;
  while (got.size() < body.size()) {
    ASSERT_TRUE(testsupport::WaitFor(
        [&] { return InternetReadFileBuffered(chain.request, buf, sizeof buf, &n); }));
    ASSERT_GT(n, 0u);
    ASSERT_LE(n, sizeof buf);
    got.append(buf, n);
  }
  EXPECT_TRUE(got == body);
  EXPECT_FALSE(InternetReadFileBuffered(chain.request, buf, sizeof buf, &n));  // nothing left
  EXPECT_TRUE(InternetReadFile(chain.request, buf, sizeof buf, &n));
  EXPECT_EQ(n, 0u);
}

// What arrives past the reader's buffer goes on into its spill buffer, in order;
// with little room left, the transfer holds still until the next read takes it
// up again, and no byte is lost or repeated on the way.
TEST(WinInet, BufferedReadGoesOnIntoTheSpillBuffer) {
  std::string body(3 << 20, '\0');
  for (size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 13 + i / 509);
  ScriptedServer server([&](auto&, ScriptedServer::Connection& c) {
    c.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n");
    c.Send(body);
  });
  Chain chain(server.Port(), "GET", "/burst");
  ASSERT_TRUE(HttpSendRequest(chain.request));
  std::string got;
  std::vector<char> buf(20000), spill(30001);
  int spilledReads = 0;
  while (got.size() < body.size()) {
    DWORD n = 0, m = 0;
    ASSERT_TRUE(testsupport::WaitFor([&] {
      return InternetReadFileBuffered(chain.request, buf.data(), static_cast<DWORD>(buf.size()),
                                      &n, 0, spill.data(), static_cast<DWORD>(spill.size()), &m);
    }));
    ASSERT_GT(n, 0u);
    ASSERT_LE(m, spill.size());
    if (m > 0) {
      ASSERT_EQ(n, buf.size());  // the spill buffer only takes over from a full one
      ++spilledReads;
    }
    got.append(buf.data(), n).append(spill.data(), m);
  }
  EXPECT_TRUE(got == body);
  EXPECT_GT(spilledReads, 0);
  DWORD n = 0;
  EXPECT_TRUE(InternetReadFile(chain.request, buf.data(), 1, &n));
  EXPECT_EQ(n, 0u);
}
