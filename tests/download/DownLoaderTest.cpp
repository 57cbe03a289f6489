#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iterator>
#include <system_error>
#include <thread>

#include "download/clMultiDownLoader.h"
#include "tests/download/ScriptedServer.h"
#include "tests/support/TestSupport.h"
#include "tools/sitesim/SiteSim.h"

using namespace std::chrono_literals;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool Exists(const std::string& path) {
  struct stat st{};
  return ::stat(path.c_str(), &st) == 0;
}

// A manager on the test thread talking to the simulator as its proxy, with short
// pauses and limits.
class DownLoader : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.Start();
    dl.HttpProxySettings.Server = sim.ProxyHost();
    dl.HttpProxySettings.Port = sim.Port();
    dl.SetTryCount(3);
    dl.SetReconnectAfter(20);
    dl.SetTimeOut(2000);
    dl.OnProcessCompleted = [this](TclMultiDownLoader*, TclDownLoadItem* item) {
      completed.push_back(item);
    };
  }

  void AddStreams(std::vector<sitesim::TStream> streams) {
    sitesim::TVideo v;
    v.Id = "v";
    v.Streams = std::move(streams);
    sim.AddVideo(v);
  }
  static sitesim::TStream Stream(int64_t size, uint32_t seed = 7) {
    sitesim::TStream s;
    s.Size = size;
    s.Seed = seed;
    return s;
  }

  // A worker on its own (no item), writing stream 0 into path, one try.
  std::shared_ptr<TclDownLoadThreader> LoneWorker(const std::string& path) {
    auto stream = std::make_shared<TclFileStream>(path, TclFileStream::fmCreate);
    auto worker =
        TclDownLoadThreader::Create(sim.StreamUrl("v", 0), false, stream, dl.OwnerQueue());
    worker->HttpProxySettings = dl.HttpProxySettings;
    worker->DataLock = std::make_shared<std::mutex>();
    worker->TryCount = 1;
    return worker;
  }

  TclDownLoadItem* NewItem(size_t stream, const std::string& name = "out.bin") {
    auto* item = dl.DownLoadList()->Add();
    item->SetURL(sim.StreamUrl("v", stream));
    item->SetLocalFile(dir / name);
    return item;
  }
  size_t Completions(TclDownLoadItem* item) const {
    return static_cast<size_t>(std::count(completed.begin(), completed.end(), item));
  }
  bool Run(TclDownLoadItem* item) {
    size_t before = Completions(item);
    dl.Start(item, true);
    return testsupport::WaitFor([&] { return Completions(item) > before; });
  }
  // Range headers of the GETs that carried one, sorted.
  std::vector<std::string> Ranges() const {
    std::vector<std::string> ranges;
    for (const auto& r : sim.Requests())
      if (r.Method == "GET" && r.HasHeader("Range")) ranges.push_back(r.Header("Range"));
    std::sort(ranges.begin(), ranges.end());
    return ranges;
  }
  size_t Count(const std::string& method) const {
    auto requests = sim.Requests();
    return static_cast<size_t>(std::count_if(requests.begin(), requests.end(),
                                             [&](auto& r) { return r.Method == method; }));
  }
  void ExpectWhole(TclDownLoadItem* item, size_t stream = 0) {
    EXPECT_EQ(item->Status(), psSuccess);
    std::string body = ReadFile(item->LocalFile());
    EXPECT_EQ(body.size(), sim.StreamBody("v", stream).size());
    EXPECT_TRUE(body == sim.StreamBody("v", stream)) << "file differs from the source";
  }

  sitesim::TSiteSim sim;
  testsupport::TempDir dir;
  TclMultiDownLoader dl{platform::CallQueue::Current()};
  std::vector<TclDownLoadItem*> completed;
};

}  // namespace

TEST(ResourceState, SplitsIntoSegmentsWith64BitOffsets) {
  using P = std::vector<std::pair<int64_t, int64_t>>;
  EXPECT_EQ(TclResourceStateList::Split(100000, 5),
            (P{{0, 20000}, {20000, 20000}, {40000, 20000}, {60000, 20000}, {80000, 20000}}));
  EXPECT_EQ(TclResourceStateList::Split(100001, 5).back(), (std::pair<int64_t, int64_t>{80000, 20001}));
  const int64_t big = 5LL * 1024 * 1024 * 1024 + 3;  // over 4 GiB
  auto parts = TclResourceStateList::Split(big, 5);
  EXPECT_EQ(parts[4].first, 4 * (big / 5));
  EXPECT_EQ(parts[4].first + parts[4].second, big);
  EXPECT_EQ(TclResourceStateList::Split(0, 1), (P{{0, 0}}));

  TclResourceStateList list;
  auto* a = list.Add();
  a->SetResourcePos(-5);  // ignored
  a->SetResourceSize(3'000'000'000LL);
  a->SetBytesProceed(2'500'000'000LL);
  list.Add()->SetBytesProceed(1'000'000'000LL);
  EXPECT_EQ(a->ResourcePos(), 0);
  EXPECT_EQ(list.BytesProceed(), 3'500'000'000LL);

  a->SetStatus(psSuccess);
  list.Items(1)->SetStatus(psFailed);
  EXPECT_EQ(list.OverallStatus(), psFailed);
  list.Items(1)->SetStatus(psProcess);
  EXPECT_EQ(list.OverallStatus(), psProcess);
  list.Items(1)->SetStatus(psSuccess);
  list.SetLastStatus(psErrors);
  EXPECT_EQ(list.OverallStatus(), psErrors);
}

TEST(ResourceInfo, DispositionNameNeverLeavesTheFolder) {
  EXPECT_EQ(ExtractFileNameFromDisposition("attachment; filename=\"clip.mp4\""), "clip.mp4");
  EXPECT_EQ(ExtractFileNameFromDisposition("attachment; FileName='a;b.flv'; size=3"), "a;b.flv");
  EXPECT_EQ(ExtractFileNameFromDisposition("attachment; filename=../../.bashrc"), ".bashrc");
  EXPECT_EQ(ExtractFileNameFromDisposition("attachment; filename=\"C:\\x\\..\\evil.exe\""),
            "evil.exe");
  EXPECT_EQ(ExtractFileNameFromDisposition("attachment; filename=\"/etc/..\""), "");
  EXPECT_EQ(ExtractFileNameFromDisposition("inline"), "");
}

TEST(MultiDownLoader, SettersIgnoreValuesOutOfRange) {
  TclMultiDownLoader dl{platform::CallQueue::Current()};
  EXPECT_EQ(dl.TryCount(), 5);
  EXPECT_EQ(dl.MaxStartedItems(), 5);
  dl.SetTryCount(0);
  dl.SetTimeOut(-1);
  dl.SetBatchSize(0);
  dl.SetMaxStartedItems(-1);
  dl.SetDefaultChar(10);
  EXPECT_EQ(dl.TryCount(), 5);
  EXPECT_EQ(dl.TimeOut(), 5000);
  EXPECT_EQ(dl.BatchSize(), 8192);
  EXPECT_EQ(dl.MaxStartedItems(), 5);
  EXPECT_EQ(dl.DefaultChar(), 128);
  auto* item = dl.DownLoadList()->Add();
  item->SetThreadCount(0);
  item->SetThreadCount(11);
  EXPECT_EQ(item->ThreadCount(), 5);
  dl.SetLocalFolder("/tmp/x");
  auto* second = dl.DownLoadList()->Add();
  EXPECT_EQ(second->LocalFile(), "/tmp/x/");
  second->SetURL("http://h/dir/file.mp4");
  EXPECT_EQ(second->LocalFile(), "/tmp/x/file.mp4");
  dl.SetLocalFolder("/tmp/y");
  EXPECT_EQ(second->LocalFile(), "/tmp/y/file.mp4");
}

TEST(MultiDownLoader, ChangeEventSeesTheNewValue) {
  TclMultiDownLoader dl{platform::CallQueue::Current()};
  auto* item = dl.DownLoadList()->Add();
  std::vector<std::string> seen;
  dl.OnChanged = [&](TclMultiDownLoader*, TclDownLoadItem* changed) {
    seen.push_back(changed->URL() + " " + changed->LocalFile());
  };
  dl.SetLocalFolder("/tmp/x");
  seen.clear();
  item->SetURL("http://h/dir/file.mp4");
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front(), "http://h/dir/file.mp4 /tmp/x/");
  EXPECT_EQ(seen.back(), "http://h/dir/file.mp4 /tmp/x/file.mp4");
}

TEST_F(DownLoader, SplitsIntoRangesByBatchSizeAndThreadCount) {
  auto noDate = Stream(100000, 3);
  noDate.Fault.NoLastModified = true;
  AddStreams({Stream(100000), Stream(100001, 5), Stream(8000, 6), noDate});
  std::vector<std::string> ranges[4];
  for (size_t n = 0; n < 4; ++n) {
    sim.ClearRequests();
    auto* item = NewItem(n, "f" + std::to_string(n));
    ASSERT_TRUE(Run(item));
    ExpectWhole(item, n);
    ranges[n] = Ranges();
  }
  EXPECT_EQ(ranges[0], (std::vector<std::string>{"bytes=0-19999", "bytes=20000-39999",
                                                 "bytes=40000-59999", "bytes=60000-79999",
                                                 "bytes=80000-99999"}));
  ASSERT_EQ(ranges[1].size(), 5u);
  EXPECT_EQ(ranges[1].back(), "bytes=80000-100000");
  EXPECT_EQ(ranges[2], (std::vector<std::string>{"bytes=0-7999"}));
  // Without a validator the resource is never split.
  EXPECT_EQ(ranges[3], (std::vector<std::string>{"bytes=0-99999"}));

  // The finished file carries the server's modification time.
  struct stat st{};
  ASSERT_EQ(::stat((dir / "f0").c_str(), &st), 0);
  EXPECT_EQ(st.st_mtime, 1445412480);  // Wed, 21 Oct 2015 07:28:00 GMT
}

// Every fault must still end in a file equal to the source.
struct FaultCase {
  const char* name;
  sitesim::TFault fault;
  bool fromDataPhase = false;  // switched on once the probe has reported
};

class DownLoaderFaults : public DownLoader, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(DownLoaderFaults, FileEqualsTheSource) {
  auto s = Stream(100000);
  if (!GetParam().fromDataPhase) s.Fault = GetParam().fault;
  AddStreams({s});
  dl.OnGetResourceInfo = [&](TclMultiDownLoader*, TclDownLoadItem*, TclResourceInfo*) {
    if (GetParam().fromDataPhase) sim.SetStreamFault("v", 0, GetParam().fault);
  };
  auto* item = NewItem(0);
  ASSERT_TRUE(Run(item));
  ExpectWhole(item);
  EXPECT_FALSE(Exists(item->LocalFile() + "~"));
}

sitesim::TFault Fault(std::function<void(sitesim::TFault&)> set) {
  sitesim::TFault f;
  set(f);
  return f;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DownLoaderFaults,
    ::testing::Values(
        FaultCase{"ServerErrorOnProbe", Fault([](auto& f) {
                    f.Times = 2;
                    f.GetOnly = true;
                    f.Status = 500;
                  })},
        FaultCase{"ServerErrorOnSegments", Fault([](auto& f) {
                    f.Times = 3;
                    f.GetOnly = true;
                    f.Status = 500;
                  }), true},
        FaultCase{"DroppedMidSegment", Fault([](auto& f) {
                    f.Times = 3;
                    f.GetOnly = true;
                    f.CloseAfterBytes = 7000;
                  }), true},
        FaultCase{"Slow", Fault([](auto& f) {
                    f.DelayMs = 150;
                    f.RateBytesPerSec = 200000;
                  })},
        FaultCase{"IgnoresRange", Fault([](auto& f) { f.IgnoreRange = true; })},
        FaultCase{"WrongContentRange", Fault([](auto& f) {
                    f.Times = 3;
                    f.GetOnly = true;
                    f.ContentRangeShift = 100;
                  }), true},
        FaultCase{"Gzip", Fault([](auto& f) { f.Gzip = true; })},
        FaultCase{"NoAcceptRanges", Fault([](auto& f) { f.NoAcceptRanges = true; })}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DownLoader, DroppedConnectionResumesWhereItStopped) {
  auto s = Stream(100000);
  s.Fault.Times = 2;  // the probe's GET and the first data GET
  s.Fault.GetOnly = true;
  s.Fault.CloseAfterBytes = 5000;
  AddStreams({s});
  auto* item = NewItem(0);
  ASSERT_TRUE(Run(item));
  ExpectWhole(item);
  // One segment was asked for again from 5000 bytes past its start.
  auto ranges = Ranges();
  EXPECT_EQ(ranges.size(), 6u);
  bool resumed = false;
  for (int i = 0; i < 5; ++i)
    resumed |= std::count(ranges.begin(), ranges.end(),
                          "bytes=" + std::to_string(i * 20000 + 5000) + "-" +
                              std::to_string(i * 20000 + 19999)) == 1;
  EXPECT_TRUE(resumed);
}

TEST_F(DownLoader, ChangedResourceFailsInsteadOfMixingVersions) {
  auto s = Stream(100000);
  s.Fault.ChangingBody = true;
  AddStreams({s});
  auto* item = NewItem(0);
  ASSERT_TRUE(Run(item));
  EXPECT_EQ(item->Status(), psFailed);
  ASSERT_FALSE(item->Errors().empty());
  EXPECT_EQ(item->Errors().front().ErrorCode, kErrorResourceChanged);
  // No retries of a version that is gone.
  EXPECT_LE(Count("GET"), 6u);
  EXPECT_EQ(item->ResourceState()->Count(), 0);
}

TEST_F(DownLoader, NotFoundFailsAfterTryCountAttempts) {
  auto s = Stream(1000);
  s.Fault.Status = 404;
  AddStreams({s});
  std::vector<std::pair<std::string, int>> errors;
  dl.OnError = [&](TclMultiDownLoader*, TclDownLoadItem*, const std::string& e, int code) {
    errors.emplace_back(e, code);
  };
  auto* item = NewItem(0);
  ASSERT_TRUE(Run(item));
  EXPECT_EQ(item->Status(), psFailed);
  EXPECT_EQ(Count("HEAD"), 3u);
  EXPECT_EQ(Count("GET"), 0u);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].first, "HTTP resource access error occured, code = 404");
  EXPECT_EQ(errors[0].second, 404);
  EXPECT_FALSE(dl.IsBusy());
}

TEST_F(DownLoader, StopDuringThePauseEndsAtOnce) {
  auto s = Stream(1000);
  s.Fault.Status = 500;
  AddStreams({s});
  dl.SetReconnectAfter(60000);
  auto* item = NewItem(0);
  dl.Start(item, true);
  ASSERT_TRUE(testsupport::WaitFor([&] { return !sim.Requests().empty(); }));
  auto stopped = std::chrono::steady_clock::now();
  dl.Stop(item);
  // Half the pause at most: the stop did not wait for it.
  ASSERT_TRUE(testsupport::WaitFor([&] { return Completions(item) == 1; }, 30s));
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, 30s);
  EXPECT_EQ(item->Status(), psTerminated);
  EXPECT_TRUE(item->Errors().empty());
}

TEST_F(DownLoader, StopAndStartAgainResumesEverySegment) {
  auto s = Stream(500000);
  s.Fault.RateBytesPerSec = 100000;  // five segments of 100000 bytes: a second each
  AddStreams({s});
  auto* item = NewItem(0);
  dl.Start(item, true);
  ASSERT_TRUE(testsupport::WaitFor(
      [&] { return item->ResourceState()->Count() == 5 && item->ResourceState()->BytesProceed() > 100000; }));
  dl.Stop(item);
  ASSERT_TRUE(testsupport::WaitFor([&] { return Completions(item) == 1; }));
  EXPECT_EQ(item->Status(), psTerminated);
  std::vector<std::string> expected;
  for (int i = 0; i < 5; ++i) {
    auto* seg = item->ResourceState()->Items(i);
    EXPECT_LT(seg->BytesProceed(), seg->ResourceSize());
    expected.push_back("bytes=" + std::to_string(seg->ResourcePos() + seg->BytesProceed()) + "-" +
                       std::to_string(seg->ResourcePos() + seg->ResourceSize() - 1));
  }
  std::sort(expected.begin(), expected.end());

  s.Fault = {};
  sim.SetStreamFault("v", 0, s.Fault);
  sim.ClearRequests();
  ASSERT_TRUE(Run(item));
  EXPECT_EQ(Ranges(), expected);
  ExpectWhole(item);
}

TEST_F(DownLoader, StartsThreeAtOnceAndQueuesTheRest) {
  std::vector<sitesim::TStream> streams;
  for (uint32_t i = 0; i < 5; ++i) {
    auto s = Stream(60000, i + 1);
    s.Fault.RateBytesPerSec = 200000;
    streams.push_back(s);
  }
  AddStreams(streams);
  dl.SetMaxStartedItems(3);
  std::vector<TclDownLoadItem*> items;
  for (size_t i = 0; i < 5; ++i) items.push_back(NewItem(i, "f" + std::to_string(i)));
  int busyChanges = 0;
  dl.OnIsBusyChanged = [&](TclMultiDownLoader*) { ++busyChanges; };
  bool fourthRanFirst = false;
  dl.OnProcessCompleted = [&](TclMultiDownLoader* sender, TclDownLoadItem* item) {
    if (completed.empty()) fourthRanFirst = items[3]->IsRunning() && sender->IsBusy();
    completed.push_back(item);
  };
  dl.Start(nullptr, true);
  EXPECT_TRUE(items[0]->IsRunning() && items[1]->IsRunning() && items[2]->IsRunning());
  EXPECT_FALSE(items[3]->IsRunning() || items[4]->IsRunning());
  EXPECT_THROW(dl.Start(items[0], true), EclInternetError);
  dl.Stop(items[4]);  // waiting: leaves silently
  ASSERT_TRUE(testsupport::WaitFor([&] { return completed.size() == 4 && !dl.IsBusy(); }));
  EXPECT_TRUE(fourthRanFirst);
  EXPECT_EQ(Completions(items[4]), 0u);
  EXPECT_EQ(busyChanges, 2);
  for (size_t i = 0; i < 4; ++i) ExpectWhole(items[i], i);
}

TEST_F(DownLoader, ProxyChallengeGetsTheCredentials) {
  AddStreams({Stream(30000)});
  sim.SetProxyAuth(true, "u", "p");
  dl.HttpProxySettings.UserName = "u";
  dl.HttpProxySettings.Password = "p";
  auto* item = NewItem(0);
  ASSERT_TRUE(Run(item));
  ExpectWhole(item);

  // Wrong credentials: one attempt sends the HEAD four times, then fails.
  dl.HttpProxySettings.Password = "wrong";
  dl.SetTryCount(1);
  sim.ClearRequests();
  auto* second = NewItem(0, "second");
  ASSERT_TRUE(Run(second));
  EXPECT_EQ(second->Status(), psFailed);
  EXPECT_EQ(Count("HEAD"), 4u);
  ASSERT_FALSE(second->Errors().empty());
  EXPECT_EQ(second->Errors().back().ErrorCode, 407);
}

TEST_F(DownLoader, SynchronousStartRunsTheCallbacksWhileItWaits) {
  AddStreams({Stream(50000)});
  auto* item = NewItem(0);
  int64_t lastPercent = 0;
  std::thread::id eventThread;
  dl.OnDataItemProceed = [&](TclMultiDownLoader*, TclDownLoadItem*, TclResourceInfo*,
                             TclResourceStateItem* state, const char*, int size) {
    EXPECT_GT(size, 0);
    eventThread = std::this_thread::get_id();
    lastPercent = state->ResourceState()->BytesProceed() * 100 / state->ResourceState()->ResourceSize();
  };
  dl.Start(item, false);
  EXPECT_FALSE(item->IsRunning());
  EXPECT_EQ(Completions(item), 1u);
  EXPECT_EQ(lastPercent, 100);
  EXPECT_EQ(eventThread, std::this_thread::get_id());
  ExpectWhole(item);
}

// A worker on its own: a range far past 2 GiB goes out and lands at its offset.
TEST_F(DownLoader, WorkerHandlesOffsetsPastFourGiB) {
  const int64_t size = 5LL * 1024 * 1024 * 1024;
  AddStreams({Stream(size, 9)});
  auto path = dir / "sparse.bin";
  auto worker = LoneWorker(path);
  TclResourceInfo info;
  info.Size = size;
  info.AllowsRandomAccess = true;
  info.LastModified = "Wed, 21 Oct 2015 07:28:00 GMT";
  worker->SetResourceInfo(info);
  worker->SetRange(size - 3000, 3000);
  std::atomic<bool> ended{false};
  int64_t lastPosition = 0;
  worker->OnDataItemProceed = [&](TclDownLoadThreader*, const TclResourceInfo*, int64_t pos,
                                  const char*, int) { lastPosition = pos; };
  worker->OnTerminate = [&](TclCustomThreader*) { ended = true; };
  worker->Resume();
  ASSERT_TRUE(testsupport::WaitFor([&] { return ended.load(); }));
  EXPECT_EQ(worker->Status(), psSuccess);
  EXPECT_EQ(lastPosition, size);
  EXPECT_EQ(Ranges(), (std::vector<std::string>{"bytes=5368706120-5368709119"}));
  std::string tail(3000, '\0');
  std::ifstream in(path, std::ios::binary);
  in.seekg(size - 3000);
  in.read(tail.data(), 3000);
  EXPECT_TRUE(tail == sitesim::GeneratedBytes(9, static_cast<uint64_t>(size - 3000), 3000));
}

// Blocks gathered and written together are still reported one by one, in order,
// on the owner thread: each at most BatchSize, at its position, with its bytes
// zero-terminated, or without bytes when the owner does not want them.
TEST_F(DownLoader, WorkerReportsEveryBlockInOrder) {
  const int64_t size = 700001;
  AddStreams({Stream(size, 5)});
  const std::string source = sim.StreamBody("v", 0);
  for (const bool withData : {true, false}) {
    SCOPED_TRACE(withData ? "with block data" : "without block data");
    auto path = dir / (withData ? "blocks.bin" : "positions.bin");
    auto worker = LoneWorker(path);
    worker->BatchSize = 5000;
    worker->ReportBlockData = withData;
    TclResourceInfo info;
    info.Size = size;
    info.LastModified = "Wed, 21 Oct 2015 07:28:00 GMT";
    worker->SetResourceInfo(info);
    worker->SetRange(1, size - 1);
    const auto testThread = std::this_thread::get_id();
    std::atomic<bool> ended{false};
    int64_t expected = 1;
    int blocks = 0;
    bool ok = true;
    worker->OnDataItemProceed = [&](TclDownLoadThreader*, const TclResourceInfo*, int64_t pos,
                                    const char* data, int n) {
      ++blocks;
      ok = ok && std::this_thread::get_id() == testThread && n > 0 && n <= 5000 &&
           pos == expected + n &&
           (withData ? data[n] == 0 &&
                           std::string(data, static_cast<size_t>(n)) == source.substr(expected, n)
                     : data == nullptr);
      expected = pos;
    };
    worker->OnTerminate = [&](TclCustomThreader*) { ended = true; };
    worker->Resume();
    ASSERT_TRUE(testsupport::WaitFor([&] { return ended.load(); }));
    EXPECT_EQ(worker->Status(), psSuccess);
    EXPECT_TRUE(ok);
    EXPECT_EQ(expected, size);  // all reported before OnTerminate
    EXPECT_GE(blocks, 140);
    EXPECT_TRUE(ReadFile(path).substr(1) == source.substr(1));
  }
}

// The segment whose handler raised fails at once (no retry of its own) and is
// started again, from where it stopped, when another segment ends well.
TEST_F(DownLoader, FailedSegmentRestartsWhenAnotherEndsWell) {
  auto s = Stream(500000);
  s.Fault.RateBytesPerSec = 500000;  // the others end well after the failure
  AddStreams({s});
  auto* item = NewItem(0);
  int calls = 0;
  dl.OnDataItemProceed = [&](TclMultiDownLoader*, TclDownLoadItem*, TclResourceInfo*,
                             TclResourceStateItem*, const char*, int) {
    if (++calls == 1) throw std::runtime_error("handler broke");
  };
  ASSERT_TRUE(Run(item));
  ASSERT_EQ(item->Errors().size(), 1u);
  EXPECT_EQ(item->Errors().front().Error, "handler broke");
  EXPECT_EQ(item->Errors().front().ErrorCode, 0);
  EXPECT_EQ(Ranges().size(), 6u);
  ExpectWhole(item);
}

// The same without block data, where the failure surfaces at a later report.
TEST_F(DownLoader, FailedSegmentWithoutBlockDataRestartsWhenAnotherEndsWell) {
  auto s = Stream(500000);
  s.Fault.RateBytesPerSec = 500000;
  AddStreams({s});
  auto* item = NewItem(0);
  dl.ReportBlockData = false;
  int calls = 0;
  dl.OnDataItemProceed = [&](TclMultiDownLoader*, TclDownLoadItem*, TclResourceInfo*,
                             TclResourceStateItem*, const char* data, int) {
    EXPECT_EQ(data, nullptr);
    if (++calls == 1) throw std::runtime_error("handler broke");
  };
  ASSERT_TRUE(Run(item));
  ASSERT_EQ(item->Errors().size(), 1u);
  EXPECT_EQ(item->Errors().front().Error, "handler broke");
  ExpectWhole(item);
}

// The server ignores Range: once the segments past 0 have ended, the item waits for
// the one at 0 to fetch everything again as one segment. A stop then ends it there.
TEST_F(DownLoader, StopBeforeTheOneSegmentFallBackSendsNothing) {
  auto s = Stream(100000);
  s.Fault.IgnoreRange = true;
  s.Fault.StallAfterBytes = 5000;  // the segment at 0 never ends by itself
  AddStreams({s});
  dl.SetTimeOut(60000);
  auto* item = NewItem(0);
  dl.Start(item, true);
  ASSERT_TRUE(testsupport::WaitFor(
      [&] { return item->ResourceState()->Count() == 5 && TclCustomThreader::LiveCount() == 1; }));
  const size_t requests = sim.Requests().size();
  dl.Stop(item);
  EXPECT_TRUE(testsupport::WaitFor([&] { return Completions(item) == 1; }, 30s));
  EXPECT_EQ(item->Status(), psTerminated);
  EXPECT_FALSE(item->IsRunning());
  EXPECT_FALSE(dl.IsBusy());
  EXPECT_EQ(sim.Requests().size(), requests);
}

// One segment has failed for good and waits for another to end well; that one ends
// well just as the item is stopped: the failed one must not be asked for again.
TEST_F(DownLoader, StopCancelsTheRestartOfAFailedSegment) {
  using testsupport::ScriptedServer;
  const std::string body(20000, 'b');
  const std::vector<std::string> meta = {"Content-Type: video/mp4", "Accept-Ranges: bytes",
                                         "Last-Modified: Wed, 21 Oct 2015 07:28:00 GMT"};
  auto with = [&](std::string header) {
    auto headers = meta;
    headers.push_back(std::move(header));
    return headers;
  };
  ScriptedServer server([&](const ScriptedServer::Request& r, ScriptedServer::Connection& c) {
    std::string range = r.Header("range");
    if (r.method == "HEAD") {
      c.Send(ScriptedServer::Response(200, "", with("Content-Length: 20000")));
    } else if (range.empty()) {
      c.Send(ScriptedServer::Response(200, body, meta));
    } else if (range == "bytes=0-9999") {
      c.Stall();  // until the other segment has failed
      c.Send(ScriptedServer::Response(206, body.substr(0, 10000),
                                      with("Content-Range: bytes 0-9999/20000")));
    } else {
      c.Send(ScriptedServer::Response(500, "broken"));
    }
  });
  dl.HttpProxySettings = {};
  dl.SetTryCount(1);
  dl.SetTimeOut(60000);
  size_t requestsAtStop = 0;
  dl.OnStatusChanged = [&](TclMultiDownLoader* sender, TclDownLoadItem* item, TclProcessStatus st) {
    // The segment at 0 has ended well: the restart of the failed one is due now.
    if (st == psFailed && requestsAtStop == 0) {
      requestsAtStop = server.Requests().size();
      sender->Stop(item);
    }
  };
  auto* item = dl.DownLoadList()->Add();
  item->SetURL(server.Url("/f.mp4"));
  item->SetLocalFile(dir / "f.mp4");
  dl.Start(item, true);
  ASSERT_TRUE(testsupport::WaitFor([&] {
    return item->ResourceState()->Count() == 2 &&
           item->ResourceState()->Items(1)->Status() == psFailed;
  }));
  server.ReleaseStalls();
  ASSERT_TRUE(testsupport::WaitFor([&] { return Completions(item) == 1; }));
  EXPECT_GT(requestsAtStop, 0u);
  EXPECT_EQ(server.Requests().size(), requestsAtStop);
  EXPECT_EQ(item->Status(), psTerminated);
  EXPECT_FALSE(item->IsRunning());
}

// A worker whose thread cannot be created is a failed worker: recorded, and the
// item completes (a failed data segment is fetched again when another ends well).
TEST_F(DownLoader, WorkerWhoseThreadCannotStartFailsLikeAnyWorker) {
  AddStreams({Stream(100000)});
  int launches = 0, failing = 1;
  TclCustomThreader::SetLaunchHook([&] {
    if (++launches == failing)
      throw std::system_error(EAGAIN, std::generic_category(), "no thread");
  });
  struct Unhook {
    ~Unhook() { TclCustomThreader::SetLaunchHook(nullptr); }
  } unhook;
  auto* item = NewItem(0);
  ASSERT_TRUE(Run(item));  // the probe
  EXPECT_EQ(item->Status(), psFailed);
  EXPECT_FALSE(item->IsRunning());
  EXPECT_FALSE(dl.IsBusy());
  ASSERT_EQ(item->Errors().size(), 1u);
  EXPECT_EQ(item->Errors().front().ErrorCode, 0);

  launches = 0;
  failing = 3;  // the second data worker
  ASSERT_TRUE(Run(item));
  EXPECT_EQ(item->Errors().size(), 1u);
  EXPECT_EQ(launches, 7);  // probe, five segments, one restart
  ExpectWhole(item);
  EXPECT_FALSE(item->IsRunning());
}

// A site's chunk limit and its headers: every request sends the headers, no data
// request asks for more than the limit, and the ranges still cover the file once.
TEST_F(DownLoader, ChunkLimitAndExtraHeadersOnEveryRequest) {
  AddStreams({Stream(100000)});
  auto* item = NewItem(0);
  item->SetChunkLimit(7000);
  auto request = std::make_shared<TclHttpRequest>();
  request->HeaderLines = {"Referer: https://page.test/", "User-Agent: Agent/1", "Cookie: a=1"};
  item->SetHttpRequest(request);
  item->SetUseHttpRequest(true);
  ASSERT_TRUE(Run(item));
  ExpectWhole(item);
  std::vector<std::pair<int64_t, int64_t>> spans;
  for (const auto& r : sim.Requests()) {
    EXPECT_EQ(r.Header("User-Agent"), "Agent/1") << r.Method;
    EXPECT_EQ(r.Header("Referer"), "https://page.test/");
    EXPECT_EQ(r.Header("Cookie"), "a=1");
    if (r.Method != "GET" || !r.HasHeader("Range")) continue;
    long long from = -1, to = -1;
    ASSERT_EQ(std::sscanf(r.Header("Range").c_str(), "bytes=%lld-%lld", &from, &to), 2);
    EXPECT_LE(to - from + 1, 7000) << r.Header("Range");
    spans.emplace_back(from, to);
  }
  std::sort(spans.begin(), spans.end());
  ASSERT_GT(spans.size(), 5u);
  int64_t next = 0;
  for (const auto& [from, to] : spans) {
    EXPECT_EQ(from, next);
    next = to + 1;
  }
  EXPECT_EQ(next, 100000);
}
