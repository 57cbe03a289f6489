// Stream addresses that the site stops honouring mid-run: the runner gets new
// ones from the watch page and the downloads go on. Real simulator on loopback,
// real cvtcore + ffmpeg for the conversions.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>

#include "download/clMultiDownLoader.h"
#include "jobs/JobRunner.h"
#include "jobs/MemoryJobGrid.h"
#include "jobs/Resolve.h"
#include "platform/ExeFolder.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "resolve/InetEng.h"
#include "settings/Settings.h"
#include "tests/convert/ConvertTestSupport.h"
#include "tests/support/TestSupport.h"
#include "tools/sitesim/SiteSim.h"

using testsupport::WaitFor;

namespace {

using testsupport::ReadAll;

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

constexpr const char* kRefreshNote = "Warning: The stream address expired";

// A stream served at rate bytes per second per connection, each connection cut
// after cutAfter body bytes (-1: never), so requests keep coming.
sitesim::TStream Stream(int itag, int64_t rate, int64_t cutAfter) {
  sitesim::TStream s;
  s.Itag = itag;
  s.Fault.RateBytesPerSec = rate;
  s.Fault.CloseAfterBytes = cutAfter;
  return s;
}

sitesim::TVideo Video(const std::string& id, int seconds, std::vector<sitesim::TStream> streams) {
  sitesim::TVideo v;
  v.Id = v.Title = id;
  v.LengthSeconds = seconds;
  v.Streams = std::move(streams);
  return v;
}

class AddressRefreshTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.Start();
    cvOptions = TcvOptions{};
    cvOptions.IsProxy = true;
    cvOptions.ProxyAdress = sim.ProxyHost();
    cvOptions.ProxyPort = sim.Port();
    const uint16_t port = sim.Port();
    resolve::SetFetchProxySource([port] { return TFetchProxy{true, "127.0.0.1", port, "", ""}; });
    platform::SetExeFolderOverride(testsupport::BinDir());
    OutputFolder = dir.path();
    OutName = TOutName{};
    runner = std::make_unique<TJobRunner>([this] { return &list; }, platform::CallQueue::Current());
    runner->DownLoader().SetReconnectAfter(100);
    // Every byte the client takes in, per item, to see what was fetched twice.
    TclMultiDownLoader& manager = runner->DownLoader();
    auto proceed = manager.OnDataItemProceed;
    manager.OnDataItemProceed = [this, proceed](TclMultiDownLoader* sender, TclDownLoadItem* item,
                                                TclResourceInfo* info, TclResourceStateItem* state,
                                                const char* data, int size) {
      received[item] += size;
      proceed(sender, item, info, state, data, size);
    };
  }
  void TearDown() override {
    runner.reset();
    for (int i = 0; i < list.Count(); ++i) delete list[i];
    resolve::SetFetchProxySource(nullptr);
    platform::SetExeFolderOverride("");
    cvOptions = TcvOptions{};
    OutputFolder.clear();
  }

  // A job resolved from the simulator's watch page, as pasting the link makes it.
  TEncItem& AddJob(const sitesim::TVideo& video, TJobMode mode) {
    sim.AddVideo(video);
    auto* job = new TEncItem;
    list.Add(job);
    AttachJobToRow(*job, grid, grid.AppendRow());
    job->IsLink = true;
    job->Source = sim.WatchUrl(video.Id);
    EXPECT_TRUE(ResolveJob(job)) << job->Notes;
    job->Notes.clear();
    job->Mode = mode;
    job->Settings = converttest::Audio(22050, 64, 1, "libmp3lame");
    job->Settings.OutExt = "mp3";
    return *job;
  }
  // A WAV of the given seconds (22050 Hz mono: about 44 KB a second).
  std::string Wav(const std::string& name, int seconds) {
    const std::string path = dir / name;
    EXPECT_EQ(converttest::MakeClip(
                  path, {"-f", "lavfi", "-i",
                         "sine=frequency=440:sample_rate=22050:duration=" + std::to_string(seconds),
                         "-ac", "1"}),
              0);
    return path;
  }
  size_t PageFetches(const std::string& id) {
    size_t n = 0;
    for (const auto& r : sim.Requests()) n += r.Target.find("watch?v=" + id) != std::string::npos;
    return n;
  }
  size_t StreamRequests(const std::string& id) {
    size_t n = 0;
    for (const auto& r : sim.Requests())
      n += r.Target.find("videoplayback?id=" + id + "&") != std::string::npos;
    return n;
  }
  std::string State(const TEncItem& job) { return grid.CellText(colState, JobRow(job)); }
  bool Idle() { return !runner->AnythingRunning() && !runner->DownloadsBusy(); }

  // Expiring addresses on a download of many cut connections: it completes,
  // byte-identical, with a few refreshes and next to nothing fetched twice.
  void ExpectCompletedThroughRefreshes(const TEncItem& job, const TclDownLoadItem* item,
                                       const std::string& id, const std::string& body) {
    EXPECT_EQ(State(job), "Successfully!") << job.Notes;
    EXPECT_TRUE(ReadAll(job.MediaFile) == body);
    EXPECT_GE(Count(job.Notes, kRefreshNote), 3u) << job.Notes;
    // Hosts only: the signed query never reaches a note.
    EXPECT_EQ(job.Notes.find("sig="), std::string::npos) << job.Notes;
    const auto size = static_cast<int64_t>(body.size());
    const int64_t taken = received[item];
    EXPECT_GE(taken, size);
    EXPECT_LE(taken - size, size / 100) << "fetched twice";
    std::cout << id << ": " << Count(job.Notes, kRefreshNote) << " refreshes, " << taken - size
              << " of " << size << " bytes fetched twice, " << StreamRequests(id)
              << " stream requests\n";
  }

  testsupport::TempDir dir;
  sitesim::TSiteSim sim;
  TMemoryJobGrid grid;
  TJobList list;
  std::unique_ptr<TJobRunner> runner;
  std::map<const TclDownLoadItem*, int64_t> received;
};

TEST_F(AddressRefreshTest, DownloadAndConvertCompletesWhileItsAddressesExpireEveryThreeSeconds) {
  if (platform::FindOnPath("ffmpeg").empty()) GTEST_SKIP() << "ffmpeg is not installed";
  sitesim::TVideo video = Video("exp", 55, {});
  sitesim::TStream stream = Stream(18, 30000, 120000);  // 5 connections: about 16 s
  stream.File = Wav("exp.wav", 55);
  video.Streams.push_back(stream);
  video.StreamExpiry = std::chrono::seconds(3);
  TEncItem& job = AddJob(video, jmDownloadConvert);

  runner->StartRun();
  const TclDownLoadItem* item = job.DownloadItem;
  ASSERT_TRUE(WaitFor([&] { return Idle(); }, std::chrono::seconds(120)));
  ExpectCompletedThroughRefreshes(job, item, "exp", ReadAll(stream.File));
  EXPECT_GT(platform::FileSize(job.OutputFile), 0) << job.OutputFile;
}

TEST_F(AddressRefreshTest, QueuedJobWhoseAddressExpiredWhileWaitingIsRefreshedWhenItStarts) {
  if (platform::FindOnPath("ffmpeg").empty()) GTEST_SKIP() << "ffmpeg is not installed";
  runner->DownLoader().SetMaxStartedItems(1);
  sitesim::TVideo first = Video("first", 10, {Stream(18, 40000, -1)});
  first.Streams[0].Size = 800000;  // about 4 s, longer than the other's address lives
  TEncItem& ahead = AddJob(first, jmDownloadOnly);
  sitesim::TVideo video = Video("queued", 42, {});
  sitesim::TStream stream = Stream(18, 30000, 120000);
  stream.File = Wav("queued.wav", 42);
  video.Streams.push_back(stream);
  video.StreamExpiry = std::chrono::seconds(3);
  TEncItem& job = AddJob(video, jmDownloadConvert);

  runner->StartRun();
  const TclDownLoadItem* item = job.DownloadItem;
  ASSERT_TRUE(WaitFor([&] { return Idle(); }, std::chrono::seconds(120)));
  EXPECT_EQ(State(ahead), "Successfully!") << ahead.Notes;
  ExpectCompletedThroughRefreshes(job, item, "queued", ReadAll(stream.File));
}

TEST_F(AddressRefreshTest, SiteThatRefusesForGoodFailsAfterTwoFruitlessRefreshes) {
  sitesim::TVideo video = Video("never", 10, {Stream(18, 0, -1)});
  video.Streams[0].Size = 100000;
  video.StreamsForbidden = true;
  TEncItem& job = AddJob(video, jmDownloadOnly);
  sim.ClearRequests();

  runner->StartRun();
  // Seconds, not the minutes that 25 attempts with their pauses would take.
  ASSERT_TRUE(WaitFor([&] { return Idle(); }, std::chrono::seconds(15)));
  EXPECT_EQ(State(job), "Download failed");
  EXPECT_NE(
      job.Notes.find("Error: The server refused the stream address (HTTP 403) again after two"),
      std::string::npos)
      << job.Notes;
  EXPECT_EQ(Count(job.Notes, kRefreshNote), 2u) << job.Notes;
  EXPECT_EQ(PageFetches("never"), 2u);
  EXPECT_LE(StreamRequests("never"), 6u);  // one probe per address, no attempts burnt
  EXPECT_EQ(job.Mode, jmDownloadOnly);     // the next Start tries again
}

TEST_F(AddressRefreshTest, RefreshThatFindsAnotherResourceStartsAgainInTheSameFile) {
  sitesim::TVideo video = Video("swap", 10, {Stream(18, 20000, 50000)});
  video.Streams[0].Size = 600000;
  TEncItem& job = AddJob(video, jmDownloadOnly);
  runner->StartRun();
  ASSERT_TRUE(WaitFor([&] { return grid.Progress(JobRow(job)) > 10; }));
  const std::string file = job.MediaFile;
  struct stat before {};
  ASSERT_EQ(::stat(file.c_str(), &before), 0);

  // The old address is refused from now on; the page's quality of the same
  // name is now a smaller resource at another address.
  sitesim::TVideo swapped = Video("swap", 10, {Stream(34, 0, -1), Stream(18, 100000, -1)});
  swapped.Streams[0].Fault.Status = 403;
  swapped.Streams[1].Size = 400000;
  swapped.Streams[1].Seed = 99;
  sim.AddVideo(swapped);
  ASSERT_TRUE(WaitFor([&] { return Idle(); }, std::chrono::seconds(30)));

  EXPECT_EQ(State(job), "Successfully!") << job.Notes;
  EXPECT_EQ(job.MediaFile, file);
  EXPECT_TRUE(ReadAll(file) == sim.StreamBody("swap", 1));
  // Under the same name, but a new file: what was claimed of the old one can
  // never be taken for the new resource's bytes.
  struct stat after {};
  ASSERT_EQ(::stat(file.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(Count(job.Notes, kRefreshNote), 1u) << job.Notes;
  EXPECT_EQ(job.StreamUrl, sim.StreamUrl("swap", 1));
}

TEST_F(AddressRefreshTest, PageThatLostTheQualityEndsTheJobAfterOneFetch) {
  sitesim::TVideo video = Video("lost", 10, {Stream(18, 20000, 50000)});
  video.Streams[0].Size = 400000;
  TEncItem& job = AddJob(video, jmDownloadOnly);
  sim.ClearRequests();
  runner->StartRun();
  ASSERT_TRUE(WaitFor([&] { return grid.Progress(JobRow(job)) > 5; }));

  sitesim::TVideo lost = Video("lost", 10, {Stream(22, 0, -1)});
  lost.Streams[0].Fault.Status = 403;
  sim.AddVideo(lost);
  ASSERT_TRUE(WaitFor([&] { return Idle(); }, std::chrono::seconds(30)));

  EXPECT_EQ(State(job), "Download failed");
  EXPECT_NE(job.Notes.find("Error: The watch page no longer offers the quality \"MP4 (240p)\""),
            std::string::npos)
      << job.Notes;
  EXPECT_EQ(PageFetches("lost"), 1u);
}

TEST_F(AddressRefreshTest, StopDuringARefreshEndsAtOnceAndDropsTheLatePage) {
  sitesim::TVideo video = Video("slow", 10, {Stream(18, 0, -1)});
  video.Streams[0].Size = 100000;
  video.StreamsForbidden = true;
  TEncItem& job = AddJob(video, jmDownloadOnly);
  const std::string address = job.StreamUrl;
  sitesim::TFault slowPage;
  slowPage.DelayMs = 5000;  // well after the stop, however slow the machine
  sim.SetPageFault("slow", slowPage);

  runner->StartRun();
  TclDownLoadItem* item = job.DownloadItem;
  ASSERT_TRUE(WaitFor([&] { return item->AwaitingAddress(); }));
  runner->StopJob(&job);
  EXPECT_EQ(State(job), "Stopped");
  ASSERT_TRUE(WaitFor([&] { return Idle(); }));
  EXPECT_EQ(job.DownloadItem, nullptr);
  EXPECT_TRUE(WaitFor([] { return TclCustomThreader::LiveCount() == 0; }));

  // The page comes in after the stop and changes nothing.
  ASSERT_TRUE(runner->WaitForAddressRefreshes());
  EXPECT_EQ(State(job), "Stopped");
  EXPECT_EQ(job.StreamUrl, address);
  EXPECT_EQ(Count(job.Notes, kRefreshNote), 0u) << job.Notes;
}

// Closing the window mid-refresh: the runner's end gives up the page fetch
// instead of waiting for the fetcher's own limit.
TEST_F(AddressRefreshTest, RunnerEndGivesUpAPageFetchThatHangs) {
  sitesim::TVideo video = Video("hang", 10, {Stream(18, 0, -1)});
  video.Streams[0].Size = 100000;
  video.StreamsForbidden = true;
  TEncItem& job = AddJob(video, jmDownloadOnly);
  sitesim::TFault hang;
  hang.DelayMs = 120000;
  sim.SetPageFault("hang", hang);

  runner->StartRun();
  TclDownLoadItem* item = job.DownloadItem;
  ASSERT_TRUE(WaitFor([&] { return item->AwaitingAddress() && PageFetches("hang") >= 1; }));
  const auto began = std::chrono::steady_clock::now();
  runner.reset();
  const auto took = std::chrono::steady_clock::now() - began;
  EXPECT_LT(took, std::chrono::seconds(20)) << "the fetch ran to its own limit";
  EXPECT_TRUE(WaitFor([] { return TclCustomThreader::LiveCount() == 0; }));
}

}  // namespace
