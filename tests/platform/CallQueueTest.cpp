#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/CallQueue.h"
#include "platform/Events.h"
#include "tests/support/TestSupport.h"

using platform::CallQueue;

TEST(CallQueue, CallFromBaseThreadRunsAtOnceAndOthersWaitForTheDrain) {
  auto queue = CallQueue::Current();
  bool ranHere = false;
  queue->Call([&] { ranHere = true; });
  EXPECT_TRUE(ranHere);  // no drain needed

  std::atomic<bool> workerReturned{false};
  std::thread::id ranOn;
  std::thread worker([&] {
    queue->Call([&] { ranOn = std::this_thread::get_id(); });
    workerReturned = true;
  });
  ASSERT_TRUE(testsupport::WaitFor([&] { return workerReturned.load(); }));
  worker.join();
  EXPECT_EQ(ranOn, std::this_thread::get_id());
}

TEST(CallQueue, PostOnTheBaseThreadRunsAtTheNextDrainAndWaitThereDrainsUntilItRan) {
  auto queue = CallQueue::Current();
  std::vector<int> ran;
  auto first = std::make_shared<CallQueue::Posted>();
  first->fn = [&] { ran.push_back(1); };
  auto second = std::make_shared<CallQueue::Posted>();
  second->fn = [&] {
    ran.push_back(2);
    throw std::runtime_error("second");
  };
  queue->Post(first);
  queue->Post(second);
  EXPECT_TRUE(ran.empty());  // never inside the poster
  EXPECT_THROW(queue->Wait(second), std::runtime_error);
  EXPECT_EQ(ran, (std::vector<int>{1, 2}));
  queue->Wait(first);  // already run: returns at once
  EXPECT_EQ(queue->Pending(), 0u);
}

#if VANTOREL_OWNER_CHECKS
void OwnerOnlyEntryPoint(const std::shared_ptr<CallQueue>& owner) {
  VANTOREL_ASSERT_OWNER(owner);
}

// A quiet post calls no waker; a wait for it from another thread does, so an
// event loop that drains only when woken still runs it.
TEST(CallQueue, AQuietPostWakesTheBaseThreadOnlyWhenAnotherThreadWaitsForIt) {
  CallQueue queue;
  std::atomic<int> wakes{0};
  queue.SetWaker([&] { ++wakes; });
  auto call = std::make_shared<CallQueue::Posted>();
  bool ran = false;
  call->fn = [&] { ran = true; };
  queue.PostQuietly(call);
  EXPECT_EQ(wakes.load(), 0);
  std::atomic<bool> waited{false};
  std::thread worker([&] {
    queue.Wait(call);
    waited = true;
  });
  ASSERT_TRUE(testsupport::WaitFor([&] { return wakes.load() > 0; }));
  EXPECT_FALSE(ran);
  EXPECT_EQ(queue.Drain(), 1u);
  worker.join();
  EXPECT_TRUE(ran);
  EXPECT_TRUE(waited.load());
  queue.SetWaker(nullptr);
}

TEST(OwnerCheckDeathTest, EntryPointOffItsOwnerThreadAbortsNamingIt) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  OwnerOnlyEntryPoint(CallQueue::Current());  // on its owner: passes
  std::shared_ptr<CallQueue> other;
  std::thread([&] { other = std::make_shared<CallQueue>(); }).join();
  EXPECT_DEATH(OwnerOnlyEntryPoint(other), "OwnerOnlyEntryPoint.*off its owner thread");
}
#endif

TEST(CallQueue, ExceptionIsCarriedBackToTheCaller) {
  auto queue = CallQueue::Current();
  std::string caught;
  std::atomic<bool> done{false};
  std::thread worker([&] {
    try {
      queue->Call([] { throw std::runtime_error("boom"); });
    } catch (const std::runtime_error& e) {
      caught = e.what();
    }
    done = true;
  });
  ASSERT_TRUE(testsupport::WaitFor([&] { return done.load(); }));
  worker.join();
  EXPECT_EQ(caught, "boom");
}

TEST(CallQueue, ShutdownReleasesWaitingCallers) {
  auto queue = std::make_shared<CallQueue>();
  platform::ManualResetEvent queued;
  std::atomic<bool> closed{false};
  std::thread worker([&] {
    queue->SetWaker([&] { queued.Set(); });
    try {
      queue->Call([] {});
    } catch (const platform::CallQueueClosed&) {
      closed = true;
    }
  });
  queued.Wait();
  queue->Shutdown();
  worker.join();
  EXPECT_TRUE(closed);
  bool refused = false;
  std::thread([&] {
    try {
      queue->Call([] {});
    } catch (const platform::CallQueueClosed&) {
      refused = true;
    }
  }).join();
  EXPECT_TRUE(refused);
}

TEST(CallQueue, ManyWorkersManyCallsAllRunOnBaseThreadInPerCallerOrder) {
  auto queue = CallQueue::Current();
  const int workers = 8, calls = 200;
  std::vector<std::vector<int>> seen(workers);
  std::atomic<int> finished{0};
  std::vector<std::thread> threads;
  const auto base = std::this_thread::get_id();
  std::atomic<bool> wrongThread{false};
  for (int w = 0; w < workers; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < calls; ++i)
        queue->Call([&, w, i] {
          if (std::this_thread::get_id() != base) wrongThread = true;
          seen[w].push_back(i);
        });
      ++finished;
    });
  }
  ASSERT_TRUE(testsupport::WaitFor([&] { return finished == workers; }));
  for (auto& t : threads) t.join();
  EXPECT_FALSE(wrongThread);
  for (int w = 0; w < workers; ++w) {
    ASSERT_EQ(seen[w].size(), static_cast<size_t>(calls));
    for (int i = 0; i < calls; ++i) EXPECT_EQ(seen[w][i], i);
  }
}

TEST(AutoResetEvent, OneSetReleasesOneWait) {
  platform::AutoResetEvent ev;
  EXPECT_FALSE(ev.Wait(std::chrono::milliseconds(1)));
  ev.Set();
  EXPECT_TRUE(ev.Wait(std::chrono::milliseconds(1)));
  EXPECT_FALSE(ev.Wait(std::chrono::milliseconds(1)));
}
