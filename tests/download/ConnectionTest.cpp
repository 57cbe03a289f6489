#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "download/clConnection.h"
#include "platform/Events.h"
#include "tests/download/ScriptedServer.h"
#include "tests/support/TestSupport.h"

using testsupport::ScriptedServer;
using namespace std::chrono_literals;

namespace {

size_t ThreadCount() {
  // A sanitizer runtime starts a lasting helper thread with the process's first
  // thread; one started and ended here puts it among the threads counted before.
  static const bool warmedUp = [] {
    std::thread([] {}).join();
    return true;
  }();
  (void)warmedUp;
  size_t n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

// A joined thread may still be listed for a moment (longer under load), and so may
// one of an earlier test when counting before: wait until no thread is left over.
bool NoThreadLeftOver(size_t before) {
  return testsupport::WaitFor([&] { return ThreadCount() <= before; });
}

// The action chain a download worker builds for one request.
struct Actions {
  std::shared_ptr<TclInternetConnection> connection =
      TclInternetConnection::Create(platform::CallQueue::Current());
  std::unique_ptr<TclInternetOpenAction> open;
  std::unique_ptr<TclConnectAction> connect;
  std::unique_ptr<TclHttpOpenRequestAction> request;

  void Open(int port, const std::string& verb, const std::string& object, int timeOut = 2000) {
    open = std::make_unique<TclInternetOpenAction>(connection, "Agent",
                                                   wininet::INTERNET_OPEN_TYPE_DIRECT, "", "");
    open->Fire(-1);
    connect = std::make_unique<TclConnectAction>(connection, open->Handle(), "127.0.0.1", port, "",
                                                 "", wininet::INTERNET_SERVICE_HTTP, 0);
    connect->Fire(timeOut);
    request = std::make_unique<TclHttpOpenRequestAction>(connection, open->Handle(),
                                                         connect->Handle(), verb, object,
                                                         wininet::INTERNET_FLAG_NO_CACHE_WRITE);
    request->Fire(timeOut);
  }
  void Send(int timeOut = 2000) {
    TclHttpSendRequestAction send(connection, open->RootHandle(), request->Handle());
    send.Fire(timeOut);
  }
};

ScriptedServer::Handler StallAfterSomeData() {
  return [](auto&, ScriptedServer::Connection& c) {
    c.Send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(10, 'd'));
    c.Stall();
  };
}

// A GET to a server that sends a little of the body and then stalls, with the
// action that reads the body into buf ready.
struct StalledGet {
  ScriptedServer server{StallAfterSomeData()};
  Actions a;
  std::unique_ptr<TclInternetReadFileAction> read;
  char buf[4096];

  explicit StalledGet(wininet::DWORD bufSize = sizeof buf) {
    a.Open(server.Port(), "GET", "/");
    a.Send();
    read = std::make_unique<TclInternetReadFileAction>(a.connection, a.open->RootHandle(),
                                                       a.request->Handle());
    read->SetBuffer(buf, bufSize);
  }
};

}  // namespace

TEST(InternetConnection, ActionsRunARequestAndReadItsBodyBlockByBlock) {
  size_t threadsBefore = ThreadCount();
  {
    ScriptedServer server(
        [](auto&, auto& c) { c.Send(ScriptedServer::Response(200, std::string(20000, 'b'))); });
    Actions a;
    a.Open(server.Port(), "GET", "/data");
    a.Send();
    TclInternetReadFileAction read(a.connection, a.open->RootHandle(), a.request->Handle());
    std::vector<char> buf(8192);
    std::string body;
    for (;;) {
      read.SetBuffer(buf.data(), static_cast<wininet::DWORD>(buf.size()));
      ASSERT_TRUE(read.Fire(20000));
      if (read.BytesRead() == 0) break;
      body.append(buf.data(), read.BytesRead());
    }
    EXPECT_EQ(body, std::string(20000, 'b'));
    EXPECT_EQ(a.connection->FindAction<TclInternetOpenAction>(), a.open.get());
  }
  EXPECT_TRUE(NoThreadLeftOver(threadsBefore));  // the call thread ended with the connection
  EXPECT_EQ(wininet::OpenHandleCount(), 0u);
}

TEST(InternetConnection, StalledReadEndsWithRequestTimeoutAfterTheLimit) {
  size_t threadsBefore = ThreadCount();
  {
    StalledGet get;
    TclInternetReadFileAction& read = *get.read;
    ASSERT_TRUE(read.Fire(20000));
    auto start = std::chrono::steady_clock::now();
    try {
      read.Fire(300);
      FAIL() << "no timeout";
    } catch (const EclTimeoutInternetError& e) {
      EXPECT_STREQ(e.what(), "Request timeout");
      EXPECT_EQ(e.ErrorCode(), 258);
    }
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 300ms);
    EXPECT_LT(elapsed, 30s);  // the stalled read would otherwise wait for ever
    // The chain was aborted: the next call fails at once with its own error.
    EXPECT_FALSE(read.Fire(2000, true));
    EXPECT_EQ(read.LastErrorCode(), 12017);
  }
  EXPECT_TRUE(NoThreadLeftOver(threadsBefore));
}

TEST(InternetConnection, CancelFromAnotherThreadEndsAStalledReadAtOnce) {
  StalledGet get;
  Actions& a = get.a;
  TclInternetReadFileAction& read = *get.read;
  ASSERT_TRUE(read.Fire(20000));
  std::thread canceller([&] {
    // Cancel once the read is really waiting.
    testsupport::WaitFor([&] { return a.connection->CurrentAction() == &read; });
    std::this_thread::sleep_for(50ms);
    a.connection->Cancel();
  });
  auto start = std::chrono::steady_clock::now();
  try {
    read.Fire(999999);
    FAIL() << "no error";
  } catch (const EclTimeoutInternetError&) {
    FAIL() << "a cancel is not a timeout";
  } catch (const EclInternetError& e) {
    EXPECT_EQ(e.ErrorCode(), 12017);
    EXPECT_STREQ(e.what(), "The operation was cancelled");
  }
  // Far below the read's own limit; a busy machine may be slow to switch threads.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 60s);
  canceller.join();
}

TEST(InternetConnection, ACancelledCallThatCompletesAnywayStillFailsAndLeavesNoChain) {
  // A cancel waiting for the next call ends it before its root exists; the open
  // completes, but must not hand out a root that nothing will close.
  auto connection = TclInternetConnection::Create(platform::CallQueue::Current());
  TclInternetOpenAction open(connection, "Agent", wininet::INTERNET_OPEN_TYPE_DIRECT, "", "");
  connection->Cancel();
  EXPECT_FALSE(open.Fire(-1, true));
  EXPECT_EQ(open.LastErrorCode(), 12017);
  EXPECT_EQ(open.Handle(), nullptr);
  EXPECT_EQ(open.RootHandle(), nullptr);
  EXPECT_EQ(wininet::OpenHandleCount(), 0u);
}

// A call that completes while a cancel closes its chain.
class TLateAction : public TclInternetAction {
 public:
  TLateAction(std::shared_ptr<TclInternetConnection> connection, wininet::HINTERNET root)
      : TclInternetAction(std::move(connection), root) {}
  platform::ManualResetEvent started, closed;

 protected:
  void Execute() override {
    started.Set();
    closed.Wait(std::chrono::milliseconds(5000));
  }
  void HandleClosed(wininet::HINTERNET handle) override {
    TclInternetAction::HandleClosed(handle);
    closed.Set();
  }
};

TEST(InternetConnection, ACallThatOutlivesACancelStillFailsAsCancelled) {
  auto connection = TclInternetConnection::Create(platform::CallQueue::Current());
  TclInternetOpenAction open(connection, "Agent", wininet::INTERNET_OPEN_TYPE_DIRECT, "", "");
  ASSERT_TRUE(open.Fire(20000));
  TLateAction late(connection, open.RootHandle());
  std::thread canceller([&] {
    late.started.Wait(std::chrono::milliseconds(5000));
    connection->Cancel();
  });
  EXPECT_FALSE(late.Fire(5000, true));
  EXPECT_EQ(late.LastErrorCode(), 12017);
  canceller.join();
}

TEST(InternetConnection, PlatformFailuresRaiseEclInternetErrorWithCodeAndText) {
  int closedPort;
  {
    ScriptedServer gone([](auto&, auto&) {});
    closedPort = gone.Port();
  }
  Actions a;
  a.Open(closedPort, "GET", "/");
  try {
    a.Send();
    FAIL() << "no error";
  } catch (const EclInternetError& e) {
    EXPECT_EQ(e.ErrorCode(), 12029);
    EXPECT_STREQ(e.what(), "A connection with the server could not be established");
  }
}

TEST(InternetConnection, CloseEndsTheCallThreadAndFailsLaterCalls) {
  StalledGet get(64);
  Actions& a = get.a;
  TclInternetReadFileAction& read = *get.read;
  std::atomic<int> code{-1};
  std::thread reader([&] {
    read.Fire(999999, true);  // first block arrives
    read.Fire(999999, true);  // stalls until the close
    code = read.LastErrorCode();
  });
  ASSERT_TRUE(testsupport::WaitFor([&] { return a.connection->CurrentAction() == &read; }));
  a.connection->Close();
  reader.join();
  EXPECT_EQ(code, 12017);
  EXPECT_EQ(a.request->Handle(), nullptr);
  EXPECT_FALSE(read.Fire(100, true));
  EXPECT_EQ(read.LastErrorCode(), 12017);
}

TEST(InternetConnection, EventsReachTheCreatingThread) {
  ScriptedServer server([](auto&, auto& c) { c.Send(ScriptedServer::Response(200, "x")); });
  auto connection = TclInternetConnection::Create(platform::CallQueue::Current());
  std::vector<std::string> seen;
  auto owner = std::this_thread::get_id();
  bool allOnOwner = true;
  connection->OnBeforeFireAction = [&](auto*, auto*) {
    seen.push_back("before");
    allOnOwner &= std::this_thread::get_id() == owner;
  };
  connection->OnAfterFireAction = [&](auto*, auto*) { seen.push_back("after"); };
  std::atomic<bool> done{false};
  std::thread worker([&] {
    TclInternetOpenAction open(connection, "Agent", wininet::INTERNET_OPEN_TYPE_DIRECT, "", "");
    open.Fire(-1);
    done = true;
  });
  ASSERT_TRUE(testsupport::WaitFor([&] { return done.load(); }));
  worker.join();
  EXPECT_EQ(seen, (std::vector<std::string>{"before", "after"}));
  EXPECT_TRUE(allOnOwner);
}

TEST(InternetConnection, StressManyConnectionsWithRacingCancels) {
  ScriptedServer server([](const ScriptedServer::Request& req, ScriptedServer::Connection& c) {
    c.Send(ScriptedServer::Response(200, std::string(req.target == "/slow" ? 50000 : 3000, 's')));
  });
  constexpr int kWorkers = 6, kRequests = 15;
  std::atomic<int> ok{0}, cancelled{0}, other{0};
  std::vector<std::shared_ptr<TclInternetConnection>> connections(kWorkers);
  std::atomic<int> ready{0};
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      connections[w] = TclInternetConnection::Create(platform::CallQueue::Current());
      ++ready;
      for (int i = 0; i < kRequests; ++i) {
        try {
          Actions a;
          a.connection = connections[w];
          a.Open(server.Port(), "GET", i % 3 ? "/fast" : "/slow");
          a.Send();
          TclInternetReadFileAction read(a.connection, a.open->RootHandle(), a.request->Handle());
          char buf[1024];
          do read.SetBuffer(buf, sizeof buf);
          while (read.Fire(5000) && read.BytesRead() > 0);
          ++ok;
        } catch (const EclInternetError& e) {
          (e.ErrorCode() == 12017 ? cancelled : other)++;
          if (e.ErrorCode() != 12017) ADD_FAILURE() << e.ErrorCode() << " " << e.what();
        }
      }
    });
  }
  while (ready < kWorkers) std::this_thread::yield();
  std::thread canceller([&] {
    for (int i = 0; !stop; ++i) {
      connections[i % kWorkers]->Cancel();
      std::this_thread::sleep_for(2ms);
    }
  });
  for (auto& t : workers) t.join();
  stop = true;
  canceller.join();
  EXPECT_EQ(ok + cancelled, kWorkers * kRequests);
  EXPECT_EQ(other, 0);
  connections.clear();
  EXPECT_EQ(wininet::OpenHandleCount(), 0u);
}
