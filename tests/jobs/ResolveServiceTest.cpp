// The resolver service: order, the bound of four, cancellation and its end.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "jobs/ResolveService.h"
#include "platform/CallQueue.h"
#include "tools/sitesim/SiteSim.h"

namespace {

using namespace std::chrono_literals;

class ResolveServiceTest : public ::testing::Test {
 protected:
  std::shared_ptr<platform::CallQueue> owner = platform::CallQueue::Current();
  sitesim::TSiteSim sim;  // declared before the service, so the service ends first
  std::unique_ptr<TResolveService> service = std::make_unique<TResolveService>(owner);
  std::atomic<bool> released{false};
  std::mutex mutex;
  std::vector<int> started, answered;

  // Work that waits to be released (or cancelled) and then answers with its number.
  TResolveService::TWork Piece(int n) {
    return [this, n](const std::atomic<bool>& cancel) -> std::function<void()> {
      {
        std::lock_guard lock(mutex);
        started.push_back(n);
      }
      while (!released && !cancel) std::this_thread::sleep_for(1ms);
      return [this, n] { answered.push_back(n); };
    };
  }
  // A site whose page `id` never answers; the proxy that reaches it.
  TFetchProxy HangingPage(const char* id) {
    sitesim::TVideo video;
    video.Id = id;
    video.PageFault.DelayMs = 600000;
    sim.AddVideo(video);
    sim.Start();
    TFetchProxy proxy;
    proxy.IsProxy = true;
    proxy.ProxyAdress = sim.ProxyHost();
    proxy.ProxyPort = sim.Port();
    return proxy;
  }
  int Started() {
    std::lock_guard lock(mutex);
    return static_cast<int>(started.size());
  }
};

}  // namespace

TEST_F(ResolveServiceTest, FourRunAtOnceTheRestWaitInOrderAndCancelledAnswersAreDropped) {
  std::vector<uint64_t> tickets;
  for (int n = 0; n < 10; ++n) tickets.push_back(service->Run(Piece(n)));
  ASSERT_TRUE(platform::PumpUntil([&] { return Started() == 4; }, 30s));
  EXPECT_EQ(service->Running(), 4);
  service->Cancel(tickets[1]);  // running: its flag ends it, its answer is dropped
  service->Cancel(tickets[7]);  // queued: it never starts
  ASSERT_TRUE(platform::PumpUntil([&] { return Started() == 5; }, 30s));
  released = true;
  ASSERT_TRUE(service->WaitIdle(30s));
  // The first four, then the fifth in the place the cancelled one left, then the rest.
  ASSERT_EQ(started.size(), 9u);
  std::sort(started.begin(), started.begin() + 4);
  std::sort(started.begin() + 5, started.end());
  EXPECT_EQ(started, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 8, 9}));
  std::vector<int> sorted = answered;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(sorted, (std::vector<int>{0, 2, 3, 4, 5, 6, 8, 9}));
  EXPECT_EQ(service->MostRunning(), TResolveService::kMaxRunning);
  EXPECT_TRUE(platform::PumpUntil([&] { return service->LiveThreads() == 0; }, 30s));
}

TEST_F(ResolveServiceTest, CancelAndTheServiceEndCloseAHangingPageAtOnce) {
  const TFetchProxy proxy = HangingPage("hang");
  int answers = 0;
  const uint64_t first = service->Resolve(sim.WatchUrl("hang"), proxy,
                                          [&](const resolve::TResolvedJob&) { ++answers; });
  service->Resolve(sim.WatchUrl("hang"), proxy, [&](const resolve::TResolvedJob&) { ++answers; });
  ASSERT_TRUE(platform::PumpUntil([&] { return sim.PagesInFlight() == 2; }, 30s));
  service->Cancel(first);
  EXPECT_TRUE(platform::PumpUntil([&] { return sim.PagesInFlight() == 1; }, 30s));
  // The end does not wait for the other page's limits.
  service.reset();
  EXPECT_TRUE(platform::PumpUntil([&] { return sim.PagesInFlight() == 0; }, 30s));
  owner->Drain();
  EXPECT_EQ(answers, 0);
}

TEST_F(ResolveServiceTest, AReadingEndsAtItsOverallLimitAndSaysWhy) {
  const TFetchProxy proxy = HangingPage("slow");
  service->SetOverallLimit(1);
  std::optional<resolve::TResolvedJob> answer;
  service->Resolve(sim.WatchUrl("slow"), proxy,
                   [&](const resolve::TResolvedJob& r) { answer = r; });
  ASSERT_TRUE(service->WaitIdle(60s));
  ASSERT_TRUE(answer);
  EXPECT_FALSE(answer->Ok);
  EXPECT_EQ(answer->Failure, "The page did not arrive within the link's time limit");
  EXPECT_EQ(answer->Notes,
            "Warning: The page did not arrive within the link's time limit\rparse youtube error\r");
  EXPECT_TRUE(platform::PumpUntil([&] { return sim.PagesInFlight() == 0; }, 30s));
}
