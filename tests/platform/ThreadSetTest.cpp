#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "platform/ThreadSet.h"

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

}  // namespace
