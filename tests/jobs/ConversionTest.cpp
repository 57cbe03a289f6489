// Conversion start and completion with the real cvtcore + ffmpeg on clips
// generated at test time; the job table is the in-memory grid.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <thread>

#include "convert/ConvertThread.h"
#include "convert/Tags.h"
#include "jobs/Conversion.h"
#include "jobs/EncItem.h"
#include "jobs/MemoryJobGrid.h"
#include "log/LogWriter.h"
#include "platform/CallQueue.h"
#include "platform/ExeFolder.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "settings/Settings.h"
#include "tests/convert/ConvertTestSupport.h"
#include "tests/support/TestSupport.h"

using converttest::Audio;
using converttest::Probe;
using converttest::ProcessGone;
using testsupport::TempDir;
using testsupport::WaitFor;

namespace {

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (auto& e : std::filesystem::directory_iterator(folder))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Remembers every progress write with the State text the row had at that moment.
class RecordingGrid : public TMemoryJobGrid {
 public:
  void SetProgress(int row, double percent) override {
    TMemoryJobGrid::SetProgress(row, percent);
    progress.emplace_back(percent, CellText(colState, row));
    ++writes;
  }
  void SetCellText(int col, int row, const std::string& text) override {
    TMemoryJobGrid::SetCellText(col, row, text);
    ++writes;
  }
  std::vector<std::pair<double, std::string>> progress;
  int writes = 0;
};

class FakeConverter : public IJobConverter {
 public:
  void RequestStop() override {}
};

TCnvtSettings Mp3() {
  TCnvtSettings s = Audio(22050, 96, 1, "libmp3lame");
  s.OutExt = "mp3";
  s.PresetName = "MP3";
  return s;
}

class ConversionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (platform::FindOnPath("ffmpeg").empty()) GTEST_SKIP() << "ffmpeg is not installed";
    platform::SetExeFolderOverride(testsupport::BinDir());
    savedFolder_ = OutputFolder;
    OutputFolder = out_.path();
    OutName = TOutName{};
    threads_ = std::make_unique<TConversionThreads>(platform::CallQueue::Current());
    log_.SetEnabled(true);
    log_.SetLogFile(src_ / "Log.txt");
    SetMainLogWriter(&log_);
  }

  void TearDown() override {
    if (threads_) EXPECT_TRUE(threads_->WaitForSweeps());
    while (list_.Count() > 0) RemoveJobAt(list_, grid_, list_.Count() - 1);
    // Every worker is freed once its thread has ended.
    EXPECT_TRUE(WaitFor([] { return PendingRetiredConversions() == 0; }));
    threads_.reset();
    live_.reset();
    SetMainLogWriter(nullptr);
    OutputFolder = savedFolder_;
    platform::SetExeFolderOverride("");
  }

  std::string Clip(const std::string& name, const std::vector<std::string>& options) {
    EXPECT_EQ(converttest::MakeClip(src_ / name, options), 0);
    return src_ / name;
  }

  std::string Sine(const std::string& name, int seconds) {
    return Clip(name, converttest::ToneClip(seconds, 48000));
  }

  std::string Video(const std::string& name) { return Clip(name, converttest::VideoClip()); }

  // An endless WAV behind a FIFO, so a conversion of it runs until stopped.
  std::string EndlessInput() {
    live_.emplace(src_ / "live.wav");
    EXPECT_TRUE(live_->made());
    return live_->path();
  }

  // Waits until the job's encoder and its ffmpeg child run and read the input.
  void WaitUntilEncoding(TEncItem* job, pid_t& encoder, pid_t& ffmpeg) {
    ASSERT_TRUE(WaitFor([&] {
      TConvertThread* w = JobConversionWorker(*job);
      encoder = w ? w->EncoderPid() : -1;
      if (encoder <= 0 || live_->written() == 0) return false;
      return converttest::FirstChild(encoder, ffmpeg);
    }));
  }

  // A job in jsEncoding with its row, the way Start leaves it.
  TEncItem* AddJob(const std::string& title, const std::string& media, bool isLink,
                   const TCnvtSettings& settings) {
    auto* job = new TEncItem;
    int row = grid_.AppendRow();
    AttachJobToRow(*job, grid_, row);
    job->Title = title;
    job->IsLink = isLink;
    job->MediaFile = media;
    job->Settings = settings;
    job->Mode = isLink ? jmDownloadConvert : jmConvertOnly;
    grid_.SetCellText(colMode, row, ModeCaption(job->Mode));
    list_.Add(job);
    SetJobState(*job, jsEncoding);
    return job;
  }

  std::string Cell(TEncItem* job, int col) { return grid_.CellText(col, JobRow(*job)); }
  bool Ended(TEncItem* job) { return job->State != jsEncoding; }
  bool Finish(TEncItem* job) {
    return WaitFor([&] { return Ended(job); }, std::chrono::seconds(60));
  }
  std::string Log() {
    std::string text;
    platform::ReadFile(src_ / "Log.txt", text);
    return text;
  }

  TempDir src_, out_;
  TLogWriter log_;
  RecordingGrid grid_;
  TJobList list_;
  std::string savedFolder_;
  std::optional<converttest::EndlessWav> live_;
  std::unique_ptr<TConversionThreads> threads_;
};

TEST_F(ConversionTest, LocalWavBecomesSongWavMp3WithRisingProgress) {
  std::string in = Sine("song.wav", 60);
  TEncItem* job = AddJob(in, in, false, Mp3());
  StartConversionSweep(*threads_, {job->Ref()});
  ASSERT_TRUE(Finish(job));

  EXPECT_EQ(Cell(job, colState), "Successfully!") << job->Notes;
  EXPECT_EQ(grid_.Progress(JobRow(*job)), 100);
  EXPECT_EQ(Cell(job, colProgress), "100");
  EXPECT_EQ(Cell(job, colMode), "Skip");
  EXPECT_EQ(job->Mode, jmSkip);
  EXPECT_EQ(job->Converter, nullptr);
  EXPECT_EQ(job->OutputFile, out_ / "song.wav.mp3");
  EXPECT_TRUE(platform::FileExists(in));  // a local file is never deleted

  // Percent reports while "Encoding...", rising, then the final 100.
  ASSERT_GE(grid_.progress.size(), 3u);
  std::vector<double> during;
  for (size_t i = 0; i + 1 < grid_.progress.size(); ++i) {
    EXPECT_EQ(grid_.progress[i].second, "Encoding...");
    during.push_back(grid_.progress[i].first);
  }
  EXPECT_TRUE(std::is_sorted(during.begin(), during.end()));
  EXPECT_LT(during.front(), during.back());
  EXPECT_EQ(grid_.progress.back(), std::make_pair(100.0, std::string("Successfully!")));

  auto p = Probe(job->OutputFile, "a:0");
  EXPECT_EQ(p["codec_name"], "mp3");
  EXPECT_EQ(p["sample_rate"], "22050");
  EXPECT_EQ(p["channels"], "1");
  EXPECT_EQ(p["bit_rate"], "96000");
  EXPECT_EQ(Log(), "");  // no notes, no log entry
}

TEST_F(ConversionTest, DownloadedVideoIsDeletedAfterSuccessWhenAsked) {
  std::string video = Video("download.mp4");
  std::string media = out_ / "My clip: 1.mp4";
  std::filesystem::rename(video, media);
  TEncItem* job = AddJob("My clip: 1", media, true, Mp3());
  job->DeleteSource = true;
  StartConversion(*threads_, job, job->Settings);  // a single direct start
  ASSERT_NE(job->Converter, nullptr);
  ASSERT_TRUE(Finish(job));

  EXPECT_EQ(Cell(job, colState), "Successfully!") << job->Notes;
  EXPECT_EQ(FilesIn(out_.path()), std::vector<std::string>{"My clip  1.mp3"});
  EXPECT_EQ(Probe(job->OutputFile, "a:0")["codec_name"], "mp3");
}

TEST_F(ConversionTest, OutputsCarryTheTitleAndTheLinkOfTheirJob) {
  const std::string title =
      "\"Live\" AC/DC \xF0\x9F\x8E\xB8 \xD0\x96\xD0\xB8\xD0\xB2\xD0\xBE\xD0\xB9";
  const std::string link = "http://www.site.test/watch?v=abc&feature=x";
  const std::string local = Sine(title.substr(0, 6) + " \xD0\x96.v1.wav", 1);  // "Live" Ж.v1
  struct Format {
    const char* ext;
    const char* codec;
  };
  for (Format f : {Format{"mp3", "libmp3lame"}, Format{"m4a", "aac"}, Format{"ogg", "libvorbis"},
                   Format{"flac", "flac"}}) {
    SCOPED_TRACE(f.ext);
    TCnvtSettings s = Audio(44100, 128, 2, f.codec);
    s.OutExt = f.ext;
    TEncItem* byLink = AddJob(title, local, true, s);
    byLink->Source = link;
    TEncItem* byFile = AddJob(local, local, false, s);
    StartConversionSweep(*threads_, {byLink->Ref(), byFile->Ref()});
    ASSERT_TRUE(Finish(byLink) && Finish(byFile));
    EXPECT_EQ(Cell(byLink, colState), "Successfully!") << byLink->Notes;
    auto tags = converttest::Tags(byLink->OutputFile);
    EXPECT_EQ(tags["title"], title);
    EXPECT_EQ(tags["comment"], link);
    EXPECT_EQ(Cell(byFile, colState), "Successfully!") << byFile->Notes;
    auto fileTags = converttest::Tags(byFile->OutputFile);
    EXPECT_EQ(fileTags["title"], "\"Live\" \xD0\x96.v1");
    EXPECT_EQ(fileTags.count("comment"), 0u);
  }
}

TEST_F(ConversionTest, OutputThatCannotBeTaggedStillSucceedsWithAWarning) {
  std::string in = Sine("song.wav", 1);
  TEncItem* job = AddJob("Song", in, true, Mp3());
  ForceOutputTagFailure("disk said no");
  StartConversionSweep(*threads_, {job->Ref()});
  const bool finished = Finish(job);
  ForceOutputTagFailure("");
  ASSERT_TRUE(finished);
  EXPECT_EQ(Cell(job, colState), "Successfully!");
  EXPECT_EQ(job->Notes, "Warning: tags not written to " + job->OutputFile + ": disk said no\r");
  EXPECT_NE(Log().find("Warning: tags not written"), std::string::npos);
  EXPECT_EQ(Probe(job->OutputFile, "a:0")["codec_name"], "mp3");
  EXPECT_EQ(converttest::Tags(job->OutputFile).count("title"), 0u);
}

TEST_F(ConversionTest, VideoPresetYieldsChosenSize) {
  std::string in = Video("in.mp4");
  TCnvtSettings s = converttest::SmallVideo();
  s.OutExt = "avi";
  s.PresetName = "AVI";
  TEncItem* job = AddJob(in, in, false, s);
  StartConversionSweep(*threads_, {job->Ref()});
  ASSERT_TRUE(Finish(job));
  EXPECT_EQ(Cell(job, colState), "Successfully!") << job->Notes;
  EXPECT_EQ(job->OutputFile, out_ / "in.mp4.avi");
  auto v = Probe(job->OutputFile, "v:0");
  EXPECT_EQ(v["codec_name"], "mpeg4");
  EXPECT_EQ(v["width"], "160");
  EXPECT_EQ(v["height"], "120");
}

TEST_F(ConversionTest, RejectedBitrateFailsWithCommandAndOutputInLog) {
  std::string in = Sine("in.wav", 1);
  TCnvtSettings s = Audio(44100, 7, 2, "mp2");
  s.OutExt = "mp2";
  s.PresetName = "MP2";
  TEncItem* job = AddJob(in, in, false, s);
  job->Notes = "Warning: earlier trouble\r";
  job->DeleteSource = true;
  StartConversionSweep(*threads_, {job->Ref()});
  ASSERT_TRUE(Finish(job));

  EXPECT_EQ(job->State, jsConvertFailed);
  EXPECT_EQ(Cell(job, colState),
            "Can't convert file to MP2:incorrect parameters such as bitrate or Video size");
  EXPECT_EQ(Cell(job, colMode), "Convert Only");  // the next Start tries again
  EXPECT_TRUE(platform::FileExists(in));          // never deleted after a failure
  EXPECT_TRUE(FilesIn(out_.path()).empty());      // no empty output left behind
  const std::string log = Log();
  const std::string entry = "Warning: earlier trouble\rEncoding error, command: \"";
  ASSERT_NE(log.find(entry), std::string::npos) << log;
  EXPECT_NE(log.find("cvtcore\" -i \"" + in + "\" -ar 44100 -ab 7k -ac 2 -vn -acodec mp2 -y"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("not allowed"), std::string::npos) << log;  // the encoder's own words
}

TEST_F(ConversionTest, StopEndsEncoderAndNoLaterReportChangesTheJob) {
  TEncItem* job = AddJob("live", EndlessInput(), true, Mp3());
  StartConversionSweep(*threads_, {job->Ref()});
  pid_t encoder = -1, ffmpeg = -1;
  WaitUntilEncoding(job, encoder, ffmpeg);

  // What run control's StopJob does.
  StopJobConversion(*job);
  SetJobState(*job, jsStopped);
  const int writes = grid_.writes;
  EXPECT_TRUE(job->StopRequested);
  EXPECT_EQ(job->Converter, nullptr);

  EXPECT_TRUE(WaitFor([&] { return ProcessGone(encoder) && ProcessGone(ffmpeg); }));
  ASSERT_TRUE(WaitFor([] { return PendingRetiredConversions() == 0; }));
  platform::PumpUntil([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(grid_.writes, writes);
  EXPECT_EQ(Cell(job, colState), "Stopped");
  EXPECT_EQ(job->Notes, "");
}

TEST_F(ConversionTest, EndOfTheThreadSetEndsItsConversionsAndTheirJobsHearNoMore) {
  TEncItem* job = AddJob("live", EndlessInput(), false, Mp3());
  StartConversionSweep(*threads_, {job->Ref()});
  pid_t encoder = -1, ffmpeg = -1;
  WaitUntilEncoding(job, encoder, ffmpeg);
  const int writes = grid_.writes;

  threads_.reset();                            // what the runner's destructor does
  EXPECT_EQ(PendingRetiredConversions(), 0u);  // freed and joined before it returned
  EXPECT_EQ(JobConversionWorker(*job), nullptr);
  EXPECT_TRUE(WaitFor([&] { return ProcessGone(encoder) && ProcessGone(ffmpeg); }));
  platform::PumpUntil([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(grid_.writes, writes);
  EXPECT_EQ(job->State, jsEncoding);
}

TEST_F(ConversionTest, RemovedJobEndsEncoderAndGetsNoReport) {
  AddJob("first", src_ / "first.wav", false, Mp3());
  TEncItem* job = AddJob("live", EndlessInput(), true, Mp3());
  StartConversionSweep(*threads_, {job->Ref()});
  pid_t encoder = -1, ffmpeg = -1;
  WaitUntilEncoding(job, encoder, ffmpeg);

  RemoveJobAt(list_, grid_, 1);  // frees the job while its encoder runs
  const int writes = grid_.writes;
  EXPECT_TRUE(WaitFor([&] { return ProcessGone(encoder) && ProcessGone(ffmpeg); }));
  ASSERT_TRUE(WaitFor([] { return PendingRetiredConversions() == 0; }));
  EXPECT_EQ(grid_.writes, writes);
  EXPECT_EQ(grid_.RowCount(), 1);
}

TEST_F(ConversionTest, SameTitlesConvertedAtOnceGetDifferentFiles) {
  const std::string in = Sine("in.wav", 1);
  TEncItem* a = AddJob("Same", in, true, Mp3());
  TEncItem* b = AddJob("Same", in, true, Mp3());
  StartConversionSweep(*threads_, {a->Ref(), b->Ref()});
  ASSERT_TRUE(Finish(a));
  ASSERT_TRUE(Finish(b));
  EXPECT_EQ(a->OutputFile, out_ / "Same.mp3");
  EXPECT_EQ(b->OutputFile, out_ / "Same0.mp3");
  EXPECT_EQ(Cell(a, colState), "Successfully!") << a->Notes;
  EXPECT_EQ(Cell(b, colState), "Successfully!") << b->Notes;
  EXPECT_GT(platform::FileSize(a->OutputFile), 0);
  EXPECT_GT(platform::FileSize(b->OutputFile), 0);
}

TEST_F(ConversionTest, SweepStartsOnlyJobsThatWaitAndEachOnce) {
  const std::string in = Sine("in.wav", 1);
  TEncItem* busy = AddJob("busy", in, true, Mp3());
  auto fake = std::make_unique<FakeConverter>();
  FakeConverter* fakeRaw = fake.get();
  busy->Converter = std::move(fake);
  TEncItem* removed = AddJob("removed", in, true, Mp3());
  const uint64_t removedRef = removed->Ref();
  RemoveJobAt(list_, grid_, 1);
  TEncItem* stopped = AddJob("stopped", in, true, Mp3());
  stopped->StopRequested = true;
  TEncItem* done = AddJob("done", in, true, Mp3());
  SetJobState(*done, jsDone);
  TEncItem* wanted = AddJob("wanted", in, true, Mp3());

  StartConversionSweep(*threads_, {busy->Ref(), removedRef, stopped->Ref(), done->Ref(),
                                   wanted->Ref(), wanted->Ref()});
  StartConversionSweep(*threads_, {wanted->Ref()});
  ASSERT_TRUE(threads_->WaitForSweeps());
  StartConversion(*threads_, wanted, wanted->Settings);  // a late hand-off is refused too
  ASSERT_TRUE(Finish(wanted));

  EXPECT_EQ(Cell(wanted, colState), "Successfully!") << wanted->Notes;
  EXPECT_EQ(FilesIn(out_.path()), std::vector<std::string>{"wanted.mp3"});
  EXPECT_EQ(busy->Converter.get(), fakeRaw);
  EXPECT_EQ(busy->State, jsEncoding);
  EXPECT_EQ(stopped->State, jsEncoding);
  EXPECT_EQ(stopped->Converter, nullptr);
  EXPECT_EQ(done->State, jsDone);
}

TEST_F(ConversionTest, EncoderThatCannotStartFailsTheJobWithANote) {
  TempDir noEncoder;
  platform::SetExeFolderOverride(noEncoder.path());
  std::string in = Sine("in.wav", 1);
  TCnvtSettings openValues = Mp3();
  openValues.Frequency = 0;  // left open: the information pass runs first
  TEncItem* probe = AddJob("probe", in, true, openValues);
  TEncItem* run = AddJob("run", in, true, Mp3());

  StartConversionSweep(*threads_, {probe->Ref()});
  StartConversion(*threads_, run, run->Settings);
  ASSERT_TRUE(Finish(probe));
  ASSERT_TRUE(Finish(run));

  for (TEncItem* job : {probe, run}) {
    EXPECT_EQ(job->State, jsConvertFailed);
    EXPECT_EQ(Cell(job, colState),
              "Can't convert file to MP3:incorrect parameters such as bitrate or Video size");
  }
  EXPECT_EQ(probe->Notes.find("Error: Could not execute command line!\r\"" + noEncoder.path() +
                              "cvtcore\" -vn -i"),
            0u)
      << probe->Notes;
  EXPECT_NE(run->Notes.find("Encoding error, command: \"" + noEncoder.path() + "cvtcore\""),
            std::string::npos)
      << run->Notes;
  EXPECT_TRUE(FilesIn(out_.path()).empty());
  EXPECT_NE(Log().find("Could not execute command line!"), std::string::npos);
}

TEST_F(ConversionTest, InformationPassThatHangsEndsWithDefaultsAndANote) {
  // A stand-in encoder whose description never ends.
  TempDir tools;
  std::filesystem::copy_file(FAKE_ENCODER_PATH, tools / "cvtcore");
  platform::SetExeFolderOverride(tools.path());
  const std::string script = src_ / "in.flv";
  std::ofstream(script) << "[info]\nspawn " << (src_ / "info.pid") << "\nhang\n[run]\nargv "
                        << (src_ / "argv")
                        << "\nout Duration: 00:00:01.00\r\n\nout time=1.00 \noutput 5\n";
  const auto limit = TConvertThread::InformationPassLimit();
  TConvertThread::SetInformationPassLimit(std::chrono::seconds(2));
  TCnvtSettings open = Mp3();
  open.ABitrate = 0;
  TEncItem* job = AddJob("hangs", script, true, open);

  StartConversion(*threads_, job, job->Settings);  // returns at once: the pass runs elsewhere
  pid_t info = 0;
  ASSERT_TRUE(WaitFor([&] { return bool(std::ifstream(src_ / "info.pid") >> info); }));
  // The owner thread still runs calls from other threads while the pass hangs.
  bool ran = false;
  auto queue = platform::CallQueue::Current();
  std::thread caller([&] { queue->Call([&] { ran = !ProcessGone(info); }); });
  ASSERT_TRUE(WaitFor([&] { return ran; }));
  caller.join();

  ASSERT_TRUE(Finish(job));
  TConvertThread::SetInformationPassLimit(limit);
  EXPECT_TRUE(ProcessGone(info));
  EXPECT_EQ(Cell(job, colState), "Successfully!") << job->Notes;
  const std::string note = "Warning: The encoder's description of \"" + script +
                           "\" took over 2 s and was ended; the defaults take the place of open "
                           "values";
  EXPECT_EQ(job->Notes.find(note), 0u) << job->Notes;
  EXPECT_NE(Log().find(note), std::string::npos) << Log();
  std::ifstream argv(src_ / "argv", std::ios::binary);
  std::string args((std::istreambuf_iterator<char>(argv)), {});
  EXPECT_NE(args.find(std::string("-ab\0"
                                  "64k",
                                  7)),
            std::string::npos)
      << args;  // the default
}

}  // namespace
