#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "download/clConnection.h"
#include "download/clSyncUtils.h"
#include "tests/support/TestSupport.h"

namespace {

int RefsHere() {
  return TclSynchronizerManager::Instance().ReferenceCount(std::this_thread::get_id());
}

}  // namespace

TEST(ThreadSynchronizer, RunsAtOnceOnTheBaseThreadAndWaitsForItFromAWorker) {
  TclThreadSynchronizer sync(platform::CallQueue::Current());
  bool ran = false;
  sync.Synchronize([&] { ran = true; });
  EXPECT_TRUE(ran);  // no queue turn needed

  std::thread::id ranOn;
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    sync.Synchronize([&] { ranOn = std::this_thread::get_id(); });
    returned = true;
  });
  ASSERT_TRUE(testsupport::WaitFor([&] { return returned.load(); }));
  worker.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(ThreadSynchronizer, OnTheOwnerAPostRunsAtFlushAndBeforeALaterCall) {
  TclThreadSynchronizer sync(platform::CallQueue::Current());
  std::vector<int> ran;
  sync.Post([&] { ran.push_back(1); });
  EXPECT_TRUE(ran.empty());
  sync.Synchronize([&] { ran.push_back(2); });
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  sync.Post([&] { ran.push_back(3); });
  sync.Flush();
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

TEST(ThreadSynchronizer, ExceptionOfTheCallIsRaisedInTheWorkerWithItsType) {
  TclThreadSynchronizer sync(platform::CallQueue::Current());
  std::atomic<bool> done{false};
  int code = 0;
  std::string message;
  std::thread worker([&] {
    try {
      sync.Synchronize([] { throw EclInternetError("handler failed", 42); });
    } catch (const EclInternetError& e) {
      code = e.ErrorCode();
      message = e.what();
    }
    done = true;
  });
  ASSERT_TRUE(testsupport::WaitFor([&] { return done.load(); }));
  worker.join();
  EXPECT_EQ(code, 42);
  EXPECT_EQ(message, "handler failed");
}

// Posts up to the depth go out without waiting for the owner; the next waits for
// the oldest and raises its exception; the calls still run once each, in order.
TEST(ThreadSynchronizer, PostsUpToTheDepthWithoutWaitingAndRaiseAnErrorLater) {
  TclThreadSynchronizer sync(platform::CallQueue::Current());
  sync.SetPostDepth(3);
  std::vector<int> ran;  // owner thread only
  std::atomic<int> inFlight{-1};
  std::atomic<bool> raised{false}, done{false};
  std::thread worker([&] {
    for (int i = 1; i <= 3; ++i)
      sync.Post([&ran, i] {
        ran.push_back(i);
        if (i == 1) throw std::runtime_error("report failed");
      });
    inFlight = static_cast<int>(sync.PostsInFlight());
    try {
      sync.Post([&] { ran.push_back(4); });
    } catch (const std::runtime_error&) {
      raised = true;
    }
    sync.Flush();
    done = sync.PostsInFlight() == 0;
  });
  // Not draining: a Post that waited for the owner would never get here.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (inFlight < 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  EXPECT_EQ(inFlight.load(), 3);
  EXPECT_TRUE(ran.empty());
  ASSERT_TRUE(testsupport::WaitFor([&] { return done.load(); }));
  worker.join();
  EXPECT_TRUE(raised.load());
  EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
}

TEST(ThreadSynchronizer, SynchronizersOfOneThreadShareOneRegistration) {
  size_t before = TclSynchronizerManager::Instance().RegistrationCount();
  auto first = std::make_unique<TclThreadSynchronizer>(platform::CallQueue::Current());
  auto second = std::make_unique<TclThreadSynchronizer>(platform::CallQueue::Current());
  EXPECT_EQ(TclSynchronizerManager::Instance().RegistrationCount(), before + 1);
  EXPECT_EQ(RefsHere(), 2);
  first.reset();
  EXPECT_EQ(RefsHere(), 1);
  EXPECT_EQ(TclSynchronizerManager::Instance().RegistrationCount(), before + 1);
  second.reset();
  EXPECT_EQ(RefsHere(), 0);
  EXPECT_EQ(TclSynchronizerManager::Instance().RegistrationCount(), before);
}

TEST(ThreadSynchronizer, RegistrationsOfEndedWorkerThreadsAreReleased) {
  size_t before = TclSynchronizerManager::Instance().RegistrationCount();
  std::vector<std::unique_ptr<TclThreadSynchronizer>> made(8);
  for (auto& s : made) {
    // Each worker registers and ends without ever draining its queue.
    std::thread([&] {
      s = std::make_unique<TclThreadSynchronizer>(platform::CallQueue::Current());
    }).join();
  }
  EXPECT_EQ(TclSynchronizerManager::Instance().RegistrationCount(), before + 8);
  // A call to an ended thread fails instead of hanging.
  EXPECT_THROW(made[0]->Synchronize([] {}), platform::CallQueueClosed);
  made.clear();  // destroyed on another thread than the one they belong to
  EXPECT_EQ(TclSynchronizerManager::Instance().RegistrationCount(), before);
}

TEST(ThreadSynchronizer, StressManyWorkersManyCalls) {
  constexpr int kWorkers = 16;
  constexpr int kCalls = 400;
  TclThreadSynchronizer shared(platform::CallQueue::Current());
  int counter = 0;  // touched only on this thread
  std::atomic<int> finished{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      for (int i = 0; i < kCalls; ++i) {
        if (w % 2) {
          shared.Synchronize([&] { ++counter; });
        } else {
          try {
            shared.Synchronize([&] {
              ++counter;
              if (i % 50 == 0) throw std::runtime_error("x");
            });
          } catch (const std::runtime_error&) {
          }
        }
      }
      ++finished;
    });
  }
  // Synchronizers come and go on this thread while the workers call.
  for (int i = 0; i < 200 && finished < kWorkers; ++i) {
    TclThreadSynchronizer transient(platform::CallQueue::Current());
    transient.Synchronize([] {});
    platform::PumpUntil([] { return true; }, std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(testsupport::WaitFor([&] { return finished == kWorkers; }));
  for (auto& t : workers) t.join();
  EXPECT_EQ(counter, kWorkers * kCalls);
  EXPECT_EQ(RefsHere(), 1);
}
