#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "jobs/EncItem.h"
#include "jobs/MemoryJobGrid.h"
#include "log/LogWriter.h"
#include "tests/support/TestSupport.h"

namespace {

// A job with its row and list entry, the way intake makes them.
TEncItem* AddJob(TJobList& list, TMemoryJobGrid& grid, const std::string& title) {
  auto* job = new TEncItem;
  int row = grid.AppendRow();
  AttachJobToRow(*job, grid, row);
  job->Title = title;
  grid.SetCellText(colFileName, row, title);
  list.Add(job);
  return job;
}

void FreeAll(TJobList& list) {
  for (int i = 0; i < list.Count(); ++i) delete list[i];
  list.Clear();
}

// Checks entry i and row i are the same job, for every i, and the titles in order.
void ExpectTable(const TJobList& list, const TMemoryJobGrid& grid,
                 const std::vector<std::string>& titles) {
  ASSERT_EQ(list.Count(), static_cast<int>(titles.size()));
  ASSERT_EQ(grid.RowCount(), list.Count());
  for (int i = 0; i < list.Count(); ++i) {
    EXPECT_EQ(list[i]->Title, titles[i]);
    EXPECT_EQ(RowJob(grid, i), list[i]) << "row " << i;
    EXPECT_EQ(JobRow(*list[i]), i);
    EXPECT_EQ(grid.CellText(colFileName, i), titles[i]);
  }
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Counts stop requests and its own end into counters that outlive it.
struct ConverterLog {
  int stops = 0;
  int freed = 0;
  bool fail = false;
};

class FakeConverter : public IJobConverter {
 public:
  explicit FakeConverter(ConverterLog& log) : log_(log) {}
  ~FakeConverter() override { ++log_.freed; }
  void RequestStop() override {
    ++log_.stops;
    if (log_.fail) throw std::runtime_error("worker gone");
  }

 private:
  ConverterLog& log_;
};

}  // namespace

TEST(SecondsToHMS, PadsPartsAndLetsHoursGrow) {
  EXPECT_EQ(SecondsToHMS(0), "00:00:00");
  EXPECT_EQ(SecondsToHMS(59), "00:00:59");
  EXPECT_EQ(SecondsToHMS(60), "00:01:00");
  EXPECT_EQ(SecondsToHMS(3599), "00:59:59");
  EXPECT_EQ(SecondsToHMS(3600), "01:00:00");
  EXPECT_EQ(SecondsToHMS(3725), "01:02:05");
  EXPECT_EQ(SecondsToHMS(86399), "23:59:59");
  EXPECT_EQ(SecondsToHMS(360000), "100:00:00");
}

TEST(EncItem, NewJobAndTexts) {
  TEncItem job;
  EXPECT_EQ(job.State, jsNew);
  EXPECT_EQ(job.QualityIndex, -1);
  EXPECT_EQ(job.Mode, 0);
  EXPECT_EQ(job.Grid, nullptr);
  EXPECT_EQ(job.Settings.PresetIndex, 0);
  EXPECT_TRUE(job.Settings.PresetName.empty());
  EXPECT_NE(job.Ref(), 0u);

  EXPECT_EQ(ModeCaption(jmSkip), "Skip");
  EXPECT_EQ(ModeCaption(jmDownloadOnly), "Download Only");
  EXPECT_EQ(ModeCaption(jmConvertOnly), "Convert Only");
  EXPECT_EQ(ModeCaption(jmDownloadConvert), "Download&Convert");
  EXPECT_EQ(ModeCaption(0), "");
  EXPECT_EQ(ModeCaption(5), "");

  TCnvtSettings settings;
  settings.PresetName = "MP3";
  EXPECT_EQ(JobStateText(jsNew, settings), "Wait...");
  EXPECT_EQ(JobStateText(jsDownloading, settings), "Downloading...");
  EXPECT_EQ(JobStateText(jsEncoding, settings), "Encoding...");
  EXPECT_EQ(JobStateText(jsDone, settings), "Successfully!");
  EXPECT_EQ(JobStateText(jsStopped, settings), "Stopped");
  EXPECT_EQ(JobStateText(jsConvertFailed, settings),
            "Can't convert file to MP3:incorrect parameters such as bitrate or Video size");
}

TEST(EncItem, NotesKeepOrderAndEndEachLineWithCarriageReturn) {
  TEncItem job;
  AppendNote(job, std::runtime_error("page not found"), "Warning");
  AppendNote(job, std::runtime_error("disk full"), "Error");
  EXPECT_EQ(job.Notes, "Warning: page not found\rError: disk full\r");
  EXPECT_EQ(job.Notes.find('\n'), std::string::npos);
}

TEST(EncItem, ReferenceOfFreedJobFindsNothing) {
  uint64_t ref;
  {
    TEncItem job;
    ref = job.Ref();
    EXPECT_EQ(TEncItem::FromRef(ref), &job);
  }
  EXPECT_EQ(TEncItem::FromRef(ref), nullptr);
  EXPECT_EQ(TEncItem::FromRef(0), nullptr);
  TEncItem next;
  EXPECT_NE(next.Ref(), ref);  // never reused
}

TEST(EncItem, AFileIsInUseWhileAJobNamesItOrFetchesItsParts) {
  {
    TEncItem pair, converting;
    pair.MediaFile = "/out/Clip.mp4.137+140.video";
    converting.OutputFile = "/out/Song.mp3";
    EXPECT_TRUE(AnyJobUsesFile("/out/Clip.mp4"));
    EXPECT_TRUE(AnyJobUsesFile("/out/Song.mp3"));
    EXPECT_FALSE(AnyJobUsesFile("/out/Clip.mp"));  // a longer name is another file
    EXPECT_FALSE(AnyJobUsesFile("/out/Song"));
  }
  EXPECT_FALSE(AnyJobUsesFile("/out/Song.mp3"));  // its job is gone
}

TEST(SetJobState, RefreshesRowAndLeavesRowlessJobAlone) {
  TMemoryJobGrid grid;
  TJobList list;

  TEncItem loose;
  loose.State = jsDone;
  SetJobState(loose, jsStopped);  // no table at all
  EXPECT_EQ(loose.State, jsDone);

  TEncItem* job = AddJob(list, grid, "old");
  job->Title = "Clip";
  job->DurationSec = 3725;
  SetJobState(*job, jsDownloading);
  EXPECT_EQ(job->State, jsDownloading);
  EXPECT_EQ(grid.CellText(colFileName, 0), "Clip");
  EXPECT_EQ(grid.CellText(colTime, 0), "01:02:05");
  EXPECT_EQ(grid.CellText(colState, 0), "Downloading...");

  // A table that no longer has the job's row.
  TEncItem orphan;
  orphan.Grid = &grid;
  orphan.State = jsEncoding;
  SetJobState(orphan, jsDone);
  EXPECT_EQ(orphan.State, jsEncoding);
  EXPECT_EQ(grid.CellText(colState, 0), "Downloading...");
  FreeAll(list);
}

TEST(SetJobState, FailedTitleRefreshBecomesWarningAndStateIsStillShown) {
  TMemoryJobGrid grid;
  TJobList list;
  TEncItem* job = AddJob(list, grid, "clip");
  grid.FailNextWriteTo(colFileName);
  SetJobState(*job, jsEncoding);
  EXPECT_EQ(job->Notes, "Warning: Cannot write cell\r");
  EXPECT_EQ(grid.CellText(colState, 0), "Encoding...");
  FreeAll(list);
}

TEST(SetJobState, ConvertFailedNamesPresetOfThatMoment) {
  TMemoryJobGrid grid;
  TJobList list;
  TEncItem* job = AddJob(list, grid, "clip");
  job->Settings.PresetName = "MP3 Audio";
  SetJobState(*job, jsConvertFailed);
  job->Settings.PresetName = "AVI Video";  // the panel changed afterwards
  EXPECT_EQ(grid.CellText(colState, 0),
            "Can't convert file to MP3 Audio:incorrect parameters such as bitrate or Video size");
  FreeAll(list);
}

TEST(SetQuality, ShowsChosenNameAndRejectsIndexPastList) {
  TMemoryJobGrid grid;
  TJobList list;
  TEncItem* job = AddJob(list, grid, "clip");
  job->Qualities = {{"720p", {"http://a/1", ".mp4"}}, {"240p", {"http://a/2", ".flv"}}};

  job->SetQuality(1);
  EXPECT_EQ(job->QualityIndex, 1);
  EXPECT_EQ(grid.CellText(colQuality, 0), "240p");

  job->SetQuality(-1);  // no choice: the cell keeps its text
  EXPECT_EQ(job->QualityIndex, -1);
  EXPECT_EQ(grid.CellText(colQuality, 0), "240p");

  EXPECT_THROW(job->SetQuality(2), std::out_of_range);
  EXPECT_EQ(job->QualityIndex, -1);

  TEncItem loose;  // no row yet: only the index changes
  loose.Qualities = job->Qualities;
  loose.SetQuality(0);
  EXPECT_EQ(loose.QualityIndex, 0);
  FreeAll(list);
}

TEST(StopJobConversion, OnlyAnEncodingJobWithWorkerIsAskedAndFailuresAreSwallowed) {
  ConverterLog converter;
  TEncItem job;
  job.Converter = std::make_unique<FakeConverter>(converter);
  job.State = jsDownloading;
  StopJobConversion(job);
  EXPECT_EQ(converter.stops, 0);
  EXPECT_FALSE(job.StopRequested);

  job.State = jsEncoding;
  converter.fail = true;
  EXPECT_NO_THROW(StopJobConversion(job));
  EXPECT_EQ(converter.stops, 1);
  EXPECT_TRUE(job.StopRequested);
  // The job lets go of a stopped conversion, so no later report can reach it.
  EXPECT_EQ(job.Converter, nullptr);
  EXPECT_EQ(converter.freed, 1);

  TEncItem idle;
  idle.State = jsEncoding;  // queued for the sweep, no worker yet
  EXPECT_NO_THROW(StopJobConversion(idle));
  EXPECT_FALSE(idle.StopRequested);
}

TEST(RemoveJobAt, KeepsRowsAndEntriesTogether) {
  TMemoryJobGrid grid;
  TJobList list;
  TEncItem* first = AddJob(list, grid, "a");
  uint64_t firstRef = first->Ref();
  ConverterLog converter;
  first->Converter = std::make_unique<FakeConverter>(converter);
  AddJob(list, grid, "b");
  AddJob(list, grid, "c");

  RemoveJobAt(list, grid, 0);
  ExpectTable(list, grid, {"b", "c"});
  EXPECT_EQ(TEncItem::FromRef(firstRef), nullptr);  // freed
  EXPECT_EQ(converter.freed, 1);                    // and its conversion with it
  FreeAll(list);
}

TEST(RemoveJobAt, FailureIsLoggedNotRaised) {
  testsupport::TempDir dir;
  TLogWriter writer;
  writer.SetEnabled(true);
  writer.SetLogFile(dir / "Log.txt");
  SetMainLogWriter(&writer);

  TMemoryJobGrid grid;
  TJobList list;
  AddJob(list, grid, "a");
  EXPECT_NO_THROW(RemoveJobAt(list, grid, 3));
  SetMainLogWriter(nullptr);

  ExpectTable(list, grid, {"a"});
  EXPECT_NE(ReadFile(dir / "Log.txt").find(": Error: List index out of bounds (3)\r\n"),
            std::string::npos);
  FreeAll(list);
}

TEST(RemoveSelectedJobs, TwoOfFiveLeaveTheRestInOrderWithLastRowSelected) {
  TMemoryJobGrid grid;
  TJobList list;
  for (const char* title : {"a", "b", "c", "d", "e"}) AddJob(list, grid, title);
  ConverterLog converter;
  TEncItem* b = list[1];
  b->State = jsEncoding;
  b->Converter = std::make_unique<FakeConverter>(converter);
  auto* item = reinterpret_cast<TclDownLoadItem*>(0x1234);
  list[3]->DownloadItem = item;

  std::vector<TclDownLoadItem*> stopped;
  grid.SelectRow(1);
  grid.AddToSelection(3);
  RemoveSelectedJobs(list, grid, [&](TclDownLoadItem* i) { stopped.push_back(i); });

  ExpectTable(list, grid, {"a", "c", "e"});
  EXPECT_EQ(converter.stops, 1);
  EXPECT_EQ(converter.freed, 1);
  EXPECT_EQ(stopped, std::vector<TclDownLoadItem*>{item});
  EXPECT_EQ(grid.SelectedRows(), std::vector<int>{2});

  // Nothing selected: nothing removed.
  grid.SelectRow(-1);
  RemoveSelectedJobs(list, grid, nullptr);
  ExpectTable(list, grid, {"a", "c", "e"});

  // Everything selected: empty table, no selection to make.
  for (int row = 0; row < grid.RowCount(); ++row) grid.AddToSelection(row);
  RemoveSelectedJobs(list, grid, nullptr);
  ExpectTable(list, grid, {});
}
