// Run control without a window: the runner against the in-memory grid, its
// downloads through the site simulator as proxy.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "download/clMultiDownLoader.h"
#include "jobs/JobRunner.h"
#include "jobs/MemoryJobGrid.h"
#include "settings/Settings.h"
#include "tests/support/TestSupport.h"
#include "tools/sitesim/SiteSim.h"

using testsupport::WaitFor;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class JobRunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.Start();
    cvOptions = TcvOptions{};
    cvOptions.IsProxy = true;
    cvOptions.ProxyAdress = sim.ProxyHost();
    cvOptions.ProxyPort = sim.Port();
    OutputFolder = dir.path();
    OutName = TOutName{};
    runner = std::make_unique<TJobRunner>([this] { return &list; }, platform::CallQueue::Current());
    runner->OnRunStarting = [this] { ++starts; };
  }
  void TearDown() override {
    runner.reset();  // stops what still runs before the jobs go
    for (int i = 0; i < list.Count(); ++i) delete list[i];
    cvOptions = TcvOptions{};
    OutputFolder.clear();
  }

  // A Download Only job for a video of the simulator, size bytes sent at rate
  // bytes per second per connection (0: unthrottled).
  TEncItem& AddJob(const std::string& id, const std::string& title, int64_t size, int64_t rate) {
    sitesim::TVideo video;
    video.Id = id;
    video.Title = title;
    sitesim::TStream stream;
    stream.Size = size;
    stream.Seed = static_cast<uint32_t>(std::hash<std::string>{}(id));
    stream.Fault.RateBytesPerSec = rate;
    video.Streams.push_back(stream);
    sim.AddVideo(video);
    auto* job = new TEncItem;
    list.Add(job);
    AttachJobToRow(*job, grid, grid.AppendRow());
    job->IsLink = true;
    job->Source = sim.WatchUrl(id);
    job->Title = title;
    job->StreamUrl = sim.StreamUrl(id, 0);
    job->Qualities.push_back(TQuality{"360p", TLink{job->StreamUrl, ".mp4"}});
    job->SetQuality(0);
    job->Mode = jmDownloadOnly;
    return *job;
  }
  std::string State(int row) { return grid.CellText(colState, row); }
  bool Idle() { return !runner->AnythingRunning() && !runner->DownloadsBusy(); }

  testsupport::TempDir dir;
  sitesim::TSiteSim sim;
  TMemoryJobGrid grid;
  TJobList list;
  std::unique_ptr<TJobRunner> runner;
  int starts = 0;
};

TEST_F(JobRunnerTest, FiveDownloadOnlyJobsRunThreeAtATimeIntoFilesOfTheirOwn) {
  // A file of the first name is already there and keeps its content.
  std::ofstream(dir / "Same.mp4") << "mine";
  for (int i = 0; i < 5; ++i)
    AddJob("v" + std::to_string(i), i < 2 ? "Same" : "Clip " + std::to_string(i), 60000, 50000);
  size_t mostRunning = 0;
  TclMultiDownLoader& manager = runner->DownLoader();
  auto proceed = manager.OnDataItemProceed;
  manager.OnDataItemProceed = [&](TclMultiDownLoader* sender, TclDownLoadItem* item,
                                  TclResourceInfo* info, TclResourceStateItem* state,
                                  const char* data, int size) {
    proceed(sender, item, info, state, data, size);
    size_t running = 0;
    for (int i = 0; i < manager.DownLoadList()->Count(); ++i)
      running += manager.DownLoadList()->Items(i)->IsRunning() ? 1 : 0;
    mostRunning = std::max(mostRunning, running);
  };

  runner->StartRun();
  EXPECT_EQ(starts, 1);
  EXPECT_TRUE(runner->AnythingRunning());
  for (int row = 0; row < 5; ++row) EXPECT_EQ(State(row), "Downloading...");
  ASSERT_TRUE(WaitFor([&] { return Idle(); }, std::chrono::seconds(30)));

  EXPECT_EQ(mostRunning, 3u);
  EXPECT_EQ(ReadAll(dir / "Same.mp4"), "mine");
  EXPECT_EQ(list[0]->MediaFile, dir / "Same0.mp4");
  EXPECT_EQ(list[1]->MediaFile, dir / "Same1.mp4");
  for (int row = 0; row < 5; ++row) {
    const TEncItem& job = *list[row];
    EXPECT_EQ(State(row), "Successfully!") << job.Notes;
    EXPECT_EQ(grid.CellText(colMode, row), "Skip");
    EXPECT_EQ(grid.Progress(row), 100);
    EXPECT_TRUE(ReadAll(job.MediaFile) == sim.StreamBody("v" + std::to_string(row), 0)) << row;
    EXPECT_EQ(job.DownloadItem, nullptr);
  }
}

TEST_F(JobRunnerTest, StopOfOneJobLeavesTheOtherRunning) {
  TEncItem& stopped = AddJob("s0", "Stopped", 400000, 20000);
  TEncItem& kept = AddJob("s1", "Kept", 40000, 40000);
  runner->StartRun();
  ASSERT_TRUE(WaitFor([&] { return grid.Progress(0) > 0; }));
  grid.SelectRow(0);
  runner->StopRows(grid, true);
  EXPECT_EQ(State(0), "Stopped");
  EXPECT_TRUE(stopped.StopRequested);
  ASSERT_TRUE(WaitFor([&] { return Idle(); }));
  // The stopped download's end report keeps the state and retires the job.
  EXPECT_EQ(State(0), "Stopped");
  EXPECT_EQ(grid.CellText(colMode, 0), "Skip");
  EXPECT_EQ(stopped.DownloadItem, nullptr);
  EXPECT_EQ(State(1), "Successfully!") << kept.Notes;
  EXPECT_TRUE(ReadAll(kept.MediaFile) == sim.StreamBody("s1", 0));
}

TEST_F(JobRunnerTest, FailedDownloadKeepsItsModeAndTheNextStartTriesAgain) {
  runner->DownLoader().SetTryCount(2);
  runner->DownLoader().SetReconnectAfter(10);
  TEncItem& job = AddJob("bad", "Missing", 20000, 0);
  sitesim::TFault notFound;
  notFound.Status = 404;
  sim.SetStreamFault("bad", 0, notFound);
  runner->StartRun();
  ASSERT_TRUE(WaitFor([&] { return Idle(); }));
  EXPECT_EQ(State(0), "Download failed");
  EXPECT_EQ(job.Mode, jmDownloadOnly);
  EXPECT_EQ(grid.CellText(colMode, 0), "");  // never turned to Skip
  EXPECT_EQ(job.Notes.rfind("Error: ", 0), 0u) << job.Notes;

  // A job that cannot be prepared keeps the whole run from starting.
  TEncItem& unready = AddJob("u", "No quality", 100, 0);
  unready.QualityIndex = -1;
  runner->StartRun();
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(runner->DownLoader().DownLoadList()->Count(), 0);
  EXPECT_EQ(job.DownloadItem, nullptr);

  unready.Mode = jmSkip;
  sim.SetStreamFault("bad", 0, sitesim::TFault{});
  runner->StartRun();
  ASSERT_TRUE(WaitFor([&] { return Idle(); }));
  EXPECT_EQ(State(0), "Successfully!") << job.Notes;
  EXPECT_TRUE(ReadAll(job.MediaFile) == sim.StreamBody("bad", 0));
}

}  // namespace
