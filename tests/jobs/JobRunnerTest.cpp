// Run control without a window: the runner against the in-memory grid, its
// downloads through the site simulator as proxy.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <set>

#include "download/clHttpRange.h"
#include "download/clMultiDownLoader.h"
#include "jobs/Conversion.h"
#include "jobs/JobRunner.h"
#include "jobs/Journal.h"
#include "jobs/MemoryJobGrid.h"
#include "settings/OutputName.h"
#include "settings/Settings.h"
#include "tests/support/TestSupport.h"
#include "tools/sitesim/SiteSim.h"

using testsupport::WaitFor;

namespace {

using testsupport::ReadAll;

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

  // A video of the simulator, size bytes sent at rate bytes per second per
  // connection (0: unthrottled).
  static sitesim::TVideo Video(const std::string& id, const std::string& title, int64_t size,
                               int64_t rate) {
    sitesim::TVideo video;
    video.Id = id;
    video.Title = title;
    sitesim::TStream stream;
    stream.Size = size;
    stream.Seed = static_cast<uint32_t>(std::hash<std::string>{}(id));
    stream.Fault.RateBytesPerSec = rate;
    video.Streams.push_back(stream);
    return video;
  }
  // A Download Only job for a new video of the simulator.
  TEncItem& AddJob(const std::string& id, const std::string& title, int64_t size, int64_t rate) {
    sim.AddVideo(Video(id, title, size, rate));
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

  // Starts the job's download and stops it once part of it is in the file.
  void StopMidway(TEncItem& job) {
    runner->StartRun();
    ASSERT_TRUE(WaitFor([&] { return job.Progress > 20; }));
    runner->StopJob(&job);
    ASSERT_TRUE(WaitFor([&] { return Idle(); }));
    ASSERT_EQ(job.Mode, jmSkip);
    ASSERT_FALSE(job.Resume.Empty());
  }
  // [first, last] of every GET of the video's stream; last -1 (to the end) is
  // the probe's, which only learns whether the server seeks.
  std::multiset<std::pair<int64_t, int64_t>> Ranges(const std::string& id) {
    std::multiset<std::pair<int64_t, int64_t>> spans;
    for (const auto& r : sim.Requests()) {
      if (r.Method != "GET" || r.Target != sim.StreamUrl(id, 0)) continue;
      const auto ask = httprange::ParseRangeHeader(r.Header("Range"));
      spans.insert({ask ? ask->first : 0, ask && ask->last ? *ask->last : -1});
    }
    return spans;
  }

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
  auto files = [&] { return std::distance(std::filesystem::directory_iterator(dir.path()), {}); };
  const auto filesBefore = files();
  runner->StartRun();
  EXPECT_EQ(starts, 1);
  EXPECT_EQ(runner->DownLoader().DownLoadList()->Count(), 0);
  EXPECT_EQ(job.DownloadItem, nullptr);
  // ... and leaves the prepared jobs as they were, without a file reserved for nothing.
  EXPECT_EQ(State(0), "Download failed");
  EXPECT_EQ(files(), filesBefore);

  unready.Mode = jmSkip;
  sim.SetStreamFault("bad", 0, sitesim::TFault{});
  runner->StartRun();
  ASSERT_TRUE(WaitFor([&] { return Idle(); }));
  EXPECT_EQ(State(0), "Successfully!") << job.Notes;
  EXPECT_TRUE(ReadAll(job.MediaFile) == sim.StreamBody("bad", 0));
}

TEST_F(JobRunnerTest, StartContinuesAStoppedDownloadInItsFileAskingOnlyForWhatIsMissing) {
  TEncItem& job = AddJob("r", "Resumed", 600000, 60000);
  StopMidway(job);
  const std::string file = job.MediaFile;
  const std::string body = sim.StreamBody("r", 0);
  EXPECT_EQ(job.Resume.ResourceSize, 600000);
  EXPECT_EQ(job.Resume.LastModified, "Wed, 21 Oct 2015 07:28:00 GMT");
  // What the table claims is in the file is the resource's.
  const std::string partial = ReadAll(file);
  std::multiset<std::pair<int64_t, int64_t>> missing;
  int64_t done = 0;
  for (const TSegmentState& s : job.Resume.Segments) {
    EXPECT_TRUE(partial.compare(static_cast<size_t>(s.Pos), static_cast<size_t>(s.Done), body,
                                static_cast<size_t>(s.Pos), static_cast<size_t>(s.Done)) == 0);
    done += s.Done;
    if (s.Done < s.Size) missing.insert({s.Pos + s.Done, s.Pos + s.Size - 1});
  }
  EXPECT_GT(done, 0);
  EXPECT_LT(done, 600000);
  ASSERT_GE(missing.size(), 2u);

  sim.SetStreamRate("r", 0, 0);
  sim.ClearRequests();
  job.Mode = jmDownloadOnly;
  runner->StartRun();
  ASSERT_TRUE(WaitFor([&] { return Idle(); }));
  EXPECT_EQ(State(0), "Successfully!") << job.Notes;
  EXPECT_EQ(job.Notes, "");
  EXPECT_EQ(job.MediaFile, file);
  EXPECT_TRUE(ReadAll(file) == body);
  missing.insert({0, -1});  // the probe
  EXPECT_EQ(Ranges("r"), missing);
  EXPECT_TRUE(job.Resume.Empty());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST_F(JobRunnerTest, AnotherResourceOrAnAlteredFileIsDownloadedFromTheStartWithAWarning) {
  struct TCase {
    const char* name;
    std::function<void(const std::string& id, const std::string& file)> alter;
    const char* warning;
  };
  const TCase cases[] = {
      {"size",
       [&](const std::string& id, const std::string&) {
         sim.AddVideo(Video(id, "Altered", 500000, 0));
       },
       "has 500000 bytes, not 600000"},
      {"date",
       [&](const std::string& id, const std::string&) {
         sitesim::TVideo v = Video(id, "Altered", 600000, 0);
         v.Streams[0].LastModified = "Thu, 22 Oct 2015 07:28:00 GMT";
         sim.AddVideo(v);
       },
       "another modification date"},
      {"shortened",
       [](const std::string&, const std::string& file) {
         std::filesystem::resize_file(file, 1000);
       },
       "holds 1000 bytes, not 600000"},
      {"missing", [](const std::string&, const std::string& file) { std::remove(file.c_str()); },
       "is missing"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string id = std::string("x") + c.name;
    TEncItem& job = AddJob(id, c.name, 600000, 60000);
    StopMidway(job);
    c.alter(id, job.MediaFile);
    sim.SetStreamRate(id, 0, 0);
    sim.ClearRequests();
    job.Mode = jmDownloadOnly;
    runner->StartRun();
    ASSERT_TRUE(WaitFor([&] { return Idle(); }));
    EXPECT_EQ(State(list.IndexOf(&job)), "Successfully!") << job.Notes;
    EXPECT_EQ(job.Notes.rfind("Warning: ", 0), 0u) << job.Notes;
    EXPECT_NE(job.Notes.find(c.warning), std::string::npos) << job.Notes;
    const std::string body = sim.StreamBody(id, 0);
    EXPECT_TRUE(ReadAll(job.MediaFile) == body);
    int64_t asked = 0;
    for (auto [first, last] : Ranges(id))
      if (last >= 0) asked += last - first + 1;
    EXPECT_EQ(asked, static_cast<int64_t>(body.size()));
    job.Mode = jmSkip;
  }
}

// A refused continue starts from zero; a kill right then must not let the
// journal's last claim (taken before the restart, or committed just after it)
// continue into a file whose claimed bytes are gone. The server's validators
// come back, so a claim that still matched the file would be trusted.
TEST_F(JobRunnerTest, AKillRightAfterARefusedContinueNeverEndsInZeros) {
  const std::string journalPath = dir / "jobs.db";
  auto journal = std::make_unique<TJournal>(journalPath);
  std::vector<TJobSnapshot> none;
  ASSERT_TRUE(journal->Open(none));
  TEncItem& job = AddJob("k", "Killed", 600000, 60000);
  StopMidway(job);
  const TJobSnapshot stale = SnapshotOf(job, 1);
  journal->Put(stale);
  ASSERT_TRUE(journal->Flush(std::chrono::seconds(10)));

  sitesim::TVideo changed = Video("k", "Killed", 600000, 0);
  changed.Streams[0].LastModified = "Thu, 22 Oct 2015 07:28:00 GMT";
  sim.AddVideo(changed);
  TclMultiDownLoader& manager = runner->DownLoader();
  auto began = manager.OnDataPhaseBegin;
  bool killed = false;
  manager.OnDataPhaseBegin = [&](TclMultiDownLoader* sender, TclDownLoadItem* item) {
    began(sender, item);
    if (item->ContinueRefusal().empty()) return;
    // The file has just been started again. A snapshot taken before lands
    // now, then the process dies: nothing after this reaches the journal.
    journal->Put(stale);
    journal->Flush(std::chrono::seconds(10));
    killed = true;
    runner->StopJob(&job);
  };
  job.Mode = jmDownloadOnly;
  runner->StartRun();
  ASSERT_TRUE(WaitFor([&] { return Idle(); }));
  ASSERT_TRUE(killed) << job.Notes;
  journal.reset();
  runner.reset();
  sim.AddVideo(Video("k", "Killed", 600000, 0));

  // The next start, as the program makes it.
  TJournal reopened(journalPath);
  std::vector<TJobSnapshot> stored;
  ASSERT_TRUE(reopened.Open(stored));
  ASSERT_EQ(stored.size(), 1u);
  TJobList list2;
  TMemoryJobGrid grid2;
  auto binding = std::make_unique<TJobJournal>(
      reopened, [&] { return &list2; }, [](std::function<void()> fn) { fn(); });
  binding->Restore(stored, list2, grid2);
  TEncItem& again = *list2[0];
  again.Mode = jmDownloadOnly;
  TJobRunner runner2([&] { return &list2; }, platform::CallQueue::Current());
  runner2.StartRun();
  ASSERT_TRUE(WaitFor([&] { return !runner2.AnythingRunning() && !runner2.DownloadsBusy(); }));
  EXPECT_EQ(grid2.CellText(colState, 0), "Successfully!") << again.Notes;
  EXPECT_TRUE(ReadAll(again.MediaFile) == sim.StreamBody("k", 0)) << again.Notes;
  binding.reset();
  delete list2[0];
}

// A folder too small for what the server announces fails the job at once, and
// its note gives the system's reason.
TEST_F(JobRunnerTest, AFolderTooSmallForTheDownloadFailsTheJobWithTheReason) {
  const std::string small = dir / "small";
  std::filesystem::create_directory(small);
  if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "mounting a tmpfs is not permitted here";
  OutputFolder = small;
  TEncItem& job = AddJob("big", "Big", 4 << 20, 0);
  runner->StartRun();
  const bool idle = WaitFor([&] { return Idle(); });
  ::umount2(small.c_str(), MNT_DETACH);
  ASSERT_TRUE(idle);
  EXPECT_EQ(State(0), "Download failed");
  EXPECT_NE(job.Notes.find("No space left on device"), std::string::npos) << job.Notes;
}

// Titles that cannot be file names as they are still give usable files; a job
// that gets no file at all fails alone, and the rest of its run goes on.
TEST_F(JobRunnerTest, OddTitlesGetUsableFilesAndAJobWithoutAFileFailsAlone) {
  std::string cjk;
  for (int i = 0; i < 90; ++i) cjk += "\xe6\xbc\xa2";
  const std::vector<std::string> titles = {
      std::string("nul\0byte", 8), "ctl\x01\x1f\x7f", "bad\xff\xfeutf8", "...",
      std::string(300, 'x'),       cjk,                 "Taken"};
  // Every numbered name of "Taken" is in use.
  for (int n = -1; n < kMaxOutputCandidates; ++n)
    std::ofstream(dir / ("Taken" + (n < 0 ? "" : std::to_string(n)) + ".mp4")) << "x";
  for (size_t i = 0; i < titles.size(); ++i)
    AddJob("o" + std::to_string(i), "odd", 30000, 0).Title = titles[i];
  runner->StartRun();
  ASSERT_TRUE(WaitFor([&] { return Idle(); }, std::chrono::seconds(60)));
  const int taken = static_cast<int>(titles.size()) - 1;
  EXPECT_EQ(State(taken), "Download failed");
  EXPECT_NE(list[taken]->Notes.find("Error: Cannot create file"), std::string::npos)
      << list[taken]->Notes;
  for (int row = 0; row < taken; ++row) {
    const TEncItem& job = *list[row];
    EXPECT_EQ(State(row), "Successfully!") << row << " " << job.Notes;
    const std::string name = std::filesystem::path(job.MediaFile).filename();
    EXPECT_LE(name.size(), 255u);
    EXPECT_EQ(PrintableFileText(name), name);
    EXPECT_TRUE(ReadAll(job.MediaFile) == sim.StreamBody("o" + std::to_string(row), 0)) << row;
  }
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    EXPECT_GT(entry.file_size(), 0u) << entry.path();
}

}  // namespace
