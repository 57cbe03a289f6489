// Connections of one item taking over each other's work: a slow connection's
// segment is cut and its tail fetched by one that has finished; one that brings
// nothing is given up and resumed.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <utility>
#include <vector>

#include "download/clMultiDownLoader.h"
#include "platform/CallQueue.h"
#include "tests/support/TestSupport.h"
#include "tools/sitesim/SiteSim.h"

using namespace std::chrono_literals;

namespace {

// A memory stream that remembers every positioned write.
class TLoggingStream : public TclMemoryStream {
 public:
  void WriteBufferAt(int64_t offset, const void* buffer, size_t count) override {
    {
      std::lock_guard lock(mutex_);
      writes_.emplace_back(offset, static_cast<int64_t>(count));
    }
    TclMemoryStream::WriteBufferAt(offset, buffer, count);
  }
  std::vector<std::pair<int64_t, int64_t>> Writes() {
    std::lock_guard lock(mutex_);
    return writes_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::pair<int64_t, int64_t>> writes_;
};

class WorkSteal : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.Start();
    dl.HttpProxySettings.Server = sim.ProxyHost();
    dl.HttpProxySettings.Port = sim.Port();
    dl.SetTryCount(3);
    dl.SetReconnectAfter(20);
    dl.SetTimeOut(60000);  // only the stall rule may end a silent read early
    dl.OnProcessCompleted = [this](TclMultiDownLoader*, TclDownLoadItem*) { ++completed; };
    dl.OnDataItemProceed = [this](TclMultiDownLoader*, TclDownLoadItem* item, TclResourceInfo*,
                                  TclResourceStateItem*, const char*, int) {
      int running = 0;
      for (int i = 0; i < item->ResourceState()->Count(); ++i)
        running += item->ResourceState()->Items(i)->Status() == psProcess;
      maxRunning = std::max(maxRunning, running);
    };
  }

  struct TRun {
    TclDownLoadItem* item;
    std::shared_ptr<TLoggingStream> stream;
    double seconds;
  };
  TRun Run(size_t stream) {
    auto* item = dl.DownLoadList()->Add();
    item->SetURL(sim.StreamUrl("v", stream));
    auto data = std::make_shared<TLoggingStream>();
    item->SetDataStream(data);
    const int before = completed;
    const auto t0 = std::chrono::steady_clock::now();
    dl.Start(item, true);
    EXPECT_TRUE(testsupport::WaitFor([&] { return completed > before; }, 60s));
    return {item, data,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count()};
  }

  // The file is the source, and no byte of it was written twice or left out.
  void ExpectEveryByteOnce(const TRun& run, size_t stream) {
    EXPECT_EQ(run.item->Status(), psSuccess);
    const std::string body = sim.StreamBody("v", stream);
    EXPECT_TRUE(run.stream->Data() == body) << "file differs from the source";
    auto writes = run.stream->Writes();
    std::sort(writes.begin(), writes.end());
    int64_t covered = 0;
    for (const auto& [offset, count] : writes) {
      EXPECT_EQ(offset, covered) << "overlap or gap at " << offset;
      covered = std::max(covered, offset + count);
    }
    EXPECT_EQ(covered, static_cast<int64_t>(body.size()));
  }

  // The GETs of one connection as (first, last) byte, from their Range headers.
  std::vector<std::pair<int64_t, int64_t>> RangesOf(int connection) const {
    std::vector<std::pair<int64_t, int64_t>> out;
    for (const auto& r : sim.Requests()) {
      long long first = 0, last = 0;
      if (r.Connection == connection && r.Method == "GET" &&
          std::sscanf(r.Header("Range").c_str(), "bytes=%lld-%lld", &first, &last) == 2)
        out.emplace_back(first, last);
    }
    return out;
  }

  sitesim::TSiteSim sim;
  TclMultiDownLoader dl{platform::CallQueue::Current()};
  int completed = 0;
  int maxRunning = 0;
};

}  // namespace

TEST_F(WorkSteal, SlowConnectionsTailIsTakenOverByAFinishedOne) {
  const int64_t size = 8 << 20;
  sitesim::TVideo v;
  v.Id = "v";
  v.Streams.resize(2);
  // Every connection at 4 MB/s, so that the time is the connections' and not the
  // machine's; in the second stream the second connection (after the probe's, a
  // data segment's) at 100 KB/s.
  for (auto& s : v.Streams) s.Size = size, s.Seed = 11, s.Fault.RateBytesPerSec = 4'000'000;
  v.Streams[1].ConnectionRates[2] = 100'000;
  sim.AddVideo(v);

  const TRun plain = Run(0);
  ExpectEveryByteOnce(plain, 0);
  sim.ClearRequests();
  maxRunning = 0;
  const TRun slow = Run(1);
  ExpectEveryByteOnce(slow, 1);
  std::printf("unthrottled %.2f s, one connection at 100 KB/s %.2f s (%.2fx)\n", plain.seconds,
              slow.seconds, slow.seconds / plain.seconds);

  // The slow connection's range was cut: another connection asked for its tail,
  // which is a segment of its own in the item's table.
  const auto order = sim.ConnectionOrder("v", 1);
  ASSERT_GE(order.size(), 2u);
  const auto slowRanges = RangesOf(order[1]);
  ASSERT_EQ(slowRanges.size(), 1u);
  const auto [first, last] = slowRanges[0];
  const auto* state = slow.item->ResourceState();
  const TclResourceStateItem* tail = nullptr;
  for (int i = 0; i < state->Count(); ++i) {
    const auto* s = state->Items(i);
    if (s->ResourcePos() > first && s->ResourcePos() <= last) tail = s;
  }
  ASSERT_NE(tail, nullptr) << "the slow segment was never split";
  bool tailFetched = false;
  for (size_t c = 0; c < order.size(); ++c)
    for (const auto& [f, l] : RangesOf(order[c]))
      tailFetched |= c != 1 && f == tail->ResourcePos() && l <= last;
  EXPECT_TRUE(tailFetched);
  EXPECT_GT(state->Count(), slow.item->ThreadCount());
  EXPECT_LE(maxRunning, slow.item->ThreadCount());
}

TEST_F(WorkSteal, SilentConnectionIsGivenUpWhileOthersProgress) {
  dl.StallTimeOut = 300ms;
  sitesim::TVideo v;
  v.Id = "v";
  v.Streams.resize(1);
  v.Streams[0].Size = 200000;  // segments too small to be split
  v.Streams[0].Fault.RateBytesPerSec = 100000;
  // The probe's GET and then one segment's: that one goes silent after 1000 bytes.
  v.Streams[0].Fault.Times = 2;
  v.Streams[0].Fault.GetOnly = true;
  v.Streams[0].Fault.StallAfterBytes = 1000;
  sim.AddVideo(v);
  auto* item = dl.DownLoadList()->Add();
  item->SetThreadCount(2);
  item->SetURL(sim.StreamUrl("v", 0));
  auto data = std::make_shared<TLoggingStream>();
  item->SetDataStream(data);
  dl.Start(item, true);
  // Without the stall rule the silent read would wait a minute.
  ASSERT_TRUE(testsupport::WaitFor([&] { return completed == 1; }, 20s));
  ExpectEveryByteOnce({item, data, 0}, 0);
  bool resumed = false;
  for (const auto& r : sim.Requests())
    resumed |= r.Method == "GET" && (r.Header("Range") == "bytes=1000-99999" ||
                                     r.Header("Range") == "bytes=101000-199999");
  EXPECT_TRUE(resumed);
}

TEST_F(WorkSteal, SplitSegmentsContinueAfterAStop) {
  sitesim::TVideo v;
  v.Id = "v";
  v.Streams.resize(1);
  v.Streams[0].Size = 8 << 20;
  v.Streams[0].Fault.RateBytesPerSec = 2'000'000;
  v.Streams[0].ConnectionRates[2] = 100'000;
  sim.AddVideo(v);
  auto* item = dl.DownLoadList()->Add();
  item->SetURL(sim.StreamUrl("v", 0));
  auto data = std::make_shared<TLoggingStream>();
  item->SetDataStream(data);
  const auto* state = item->ResourceState();
  dl.Start(item, true);
  ASSERT_TRUE(testsupport::WaitFor([&] { return state->Count() > item->ThreadCount(); }));
  dl.Stop(item);
  ASSERT_TRUE(testsupport::WaitFor([&] { return completed == 1; }));
  EXPECT_EQ(item->Status(), psTerminated);
  std::vector<std::pair<int64_t, int64_t>> expected;  // first and last byte still missing
  for (int i = 0; i < state->Count(); ++i) {
    const auto* s = state->Items(i);
    if (s->BytesProceed() < s->ResourceSize())
      expected.emplace_back(s->ResourcePos() + s->BytesProceed(),
                            s->ResourcePos() + s->ResourceSize() - 1);
  }

  // Every unfinished segment, changed in size or new, goes on where it stopped.
  sim.ClearRequests();
  maxRunning = 0;
  dl.Start(item, true);
  ASSERT_TRUE(testsupport::WaitFor([&] { return completed == 2; }, 60s));
  EXPECT_EQ(item->Status(), psSuccess);
  EXPECT_TRUE(data->Data() == sim.StreamBody("v", 0)) << "file differs from the source";
  // Each one is asked for from where it stopped; its end may already have moved
  // back when the second run split it again before its request went out.
  std::vector<std::pair<int64_t, int64_t>> asked;
  for (const auto& r : sim.Requests()) {
    long long first = 0, last = 0;
    if (r.Method == "GET" &&
        std::sscanf(r.Header("Range").c_str(), "bytes=%lld-%lld", &first, &last) == 2)
      asked.emplace_back(first, last);
  }
  for (const auto& [first, last] : expected)
    EXPECT_TRUE(std::any_of(asked.begin(), asked.end(),
                            [&](const auto& a) { return a.first == first && a.second <= last; }))
        << "bytes=" << first << "-" << last;
  EXPECT_LE(maxRunning, item->ThreadCount());
}
