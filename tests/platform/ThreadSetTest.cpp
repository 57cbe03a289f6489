#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <future>
#include <system_error>

#include "platform/ThreadSet.h"
#include "tests/support/TestSupport.h"

namespace {

TEST(ThreadSet, JoinsWhatEndedAndWaitsForTheRestAtTheEnd) {
  std::atomic<int> ran{0};
  std::promise<void> release;
  std::shared_future<void> gate = release.get_future().share();
  {
    platform::TThreadSet set;
    set.Launch([&] { ++ran; });
    set.Launch([&, gate] {
      gate.wait();
      ++ran;
    });
    EXPECT_FALSE(set.AllDone());  // the second waits for the gate
    set.ReapEnded();
    release.set_value();
  }  // the destructor joins the one still running
  EXPECT_EQ(ran, 2);
}

TEST(ThreadSet, TeardownStopsOnlyRunningThreadsAndAFailedLaunchLeavesNothing) {
  platform::TThreadSet set;
  std::atomic<int> stopsOfEnded{0};
  set.Launch([] {}, [&] { ++stopsOfEnded; });
  std::promise<void> stop;
  std::shared_future<void> stopped = stop.get_future().share();
  std::atomic<bool> sawStop{false};
  set.Launch(
      [&, stopped] {
        sawStop = stopped.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
      },
      [&] { stop.set_value(); });
  ASSERT_TRUE(testsupport::WaitFor([&] { return set.Live() == 1; }));

  set.SetLaunchHook([] { throw std::system_error(EAGAIN, std::generic_category()); });
  bool ran = false;
  EXPECT_THROW(set.Launch([&] { ran = true; }), std::system_error);
  set.SetLaunchHook(nullptr);
  EXPECT_EQ(set.Live(), 1);

  set.StopAndJoin();
  EXPECT_TRUE(sawStop);
  EXPECT_EQ(stopsOfEnded, 0);
  EXPECT_FALSE(ran);
  EXPECT_TRUE(set.AllDone());
  set.Launch([&] { ran = true; });  // still usable
  set.StopAndJoin();
  EXPECT_TRUE(ran);
}

}  // namespace
