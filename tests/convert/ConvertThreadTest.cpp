// The worker against the scripted stand-in encoder: command lines, progress,
// information pass, failures, stop and teardown.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "convert/ConvertThread.h"
#include "platform/CallQueue.h"
#include "platform/Events.h"
#include "platform/Files.h"
#include "tests/convert/ConvertTestSupport.h"

using converttest::Audio;
using converttest::ExeFolderScope;
using converttest::ProcessGone;
using converttest::Recorder;
using testsupport::TempDir;
using testsupport::WaitFor;

namespace {

class ConvertThreadTest : public ::testing::Test {
 protected:
  ConvertThreadTest() : exe_(dir_.path()) {
    std::filesystem::copy_file(FAKE_ENCODER_PATH, dir_ / "cvtcore");
  }

  // Writes a stand-in script; each entry of a section is one directive line.
  std::string Script(const std::vector<std::string>& info, const std::vector<std::string>& run,
                     const std::string& name = "in.flv") {
    std::ofstream out(dir_ / name, std::ios::binary);
    out << "[info]\n";
    for (const auto& l : info) out << l << "\n";
    out << "[run]\n";
    for (const auto& l : run) out << l << "\n";
    return dir_ / name;
  }

  // Runs one conversion to its end and returns the worker.
  std::unique_ptr<TConvertThread> Convert(const std::string& in, const TCnvtSettings& s,
                                          Recorder& rec) {
    auto worker = std::make_unique<TConvertThread>(in, false, s, dir_ / "out.mp3",
                                                   platform::CallQueue::Current());
    rec.Attach(*worker);
    worker->Start();
    EXPECT_TRUE(WaitFor([&] { return worker->Finished(); }));
    worker->WaitFor();
    return worker;
  }

  TempDir dir_;
  ExeFolderScope exe_;
};

TEST_F(ConvertThreadTest, WorkedExamplesWithThisPlatformsPaths) {
  ExeFolderScope tools("/opt/tools/");  // values all set: no process runs
  const std::string in = "/srv/out/clip.flv";
  TConvertThread a(in, false, Audio(44100, 128, 2, "libmp3lame"), "/srv/out/clip.mp3",
                   platform::CallQueue::Current());
  EXPECT_EQ(a.CommandLine,
            "\"/opt/tools/cvtcore\" -i \"/srv/out/clip.flv\" -ar 44100 -ab 128k -ac 2 -vn "
            "-acodec libmp3lame -y \"/srv/out/clip.mp3\"");
  TConvertThread b(in, false, Audio(24000, 96, 1, "default"), "/srv/out/clip.wav",
                   platform::CallQueue::Current());
  EXPECT_EQ(b.CommandLine,
            "\"/opt/tools/cvtcore\" -i \"/srv/out/clip.flv\" -ar 24000 -ab 96k -ac 1 -vn  -y "
            "\"/srv/out/clip.wav\"");
  EXPECT_EQ(b.Arguments,
            (std::vector<std::string>{"/opt/tools/cvtcore", "-i", in, "-ar", "24000", "-ab", "96k",
                                      "-ac", "1", "-vn", "-y", "/srv/out/clip.wav"}));

  TCnvtSettings v = Audio(0, 128, 2, "libmp3lame");
  v.VideoPreset = true;
  v.VBitrate = 512;
  v.VideoSize = "320x240";
  v.VCodec = "mpeg4";
  TConvertThread c(in, false, v, "/srv/out/clip.avi", platform::CallQueue::Current());
  EXPECT_EQ(c.CommandLine,
            "\"/opt/tools/cvtcore\" -i \"/srv/out/clip.flv\" -sameq  -ab 128k -b 512k -s 320x240 "
            "-ac 2 -vcodec mpeg4 -acodec libmp3lame -r 29.97  -y \"/srv/out/clip.avi\"");
  TCnvtSettings same;
  same.VideoPreset = true;
  TConvertThread d(in, false, same, "/srv/out/clip.mp4", platform::CallQueue::Current());
  EXPECT_EQ(d.CommandLine,
            "\"/opt/tools/cvtcore\" -i \"/srv/out/clip.flv\" -sameq  -r 29.97  -y "
            "\"/srv/out/clip.mp4\"");
  EXPECT_EQ(d.Arguments, (std::vector<std::string>{"/opt/tools/cvtcore", "-i", in, "-sameq", "-r",
                                                   "29.97", "-y", "/srv/out/clip.mp4"}));
}

TEST_F(ConvertThreadTest, InformationPassThatFindsNothingGivesDefaults) {
  std::string in = Script({}, {});
  TConvertThread w(in, false, TCnvtSettings{}, dir_ / "clip.mp3", platform::CallQueue::Current());
  EXPECT_EQ(w.CommandLine, "\"" + dir_.path() + "cvtcore\" -i \"" + in +
                               "\" -ar 44100 -ab 64k -ac 2 -vn -acodec copy -y \"" + dir_.path() +
                               "clip.mp3\"");
  EXPECT_FALSE(w.ErrorFlag);
  EXPECT_TRUE(w.ProgressMode);
}

TEST_F(ConvertThreadTest, ProbeTextDecidesOpenValues) {
  struct Case {
    std::vector<std::string> info;
    TCnvtSettings settings;
    std::string expectResult;  // empty: not checked
    std::string expectOptions;
  };
  const std::string dur = "out Duration: 00:03:25.43, start: 0.000000\\r\\n";
  std::vector<Case> cases = {
      {{dur + "  Stream #0:0: Audio: mp3, 44100 Hz, stereo, 128 kb/s\\r\\n"},
       Audio(0, 0, 0, "libmp3lame"),
       "205|||mp3|||44100 Hz|||stereo|||128 ",
       "-ar 44100 -ab 128k -ac 2"},
      {{dur + "Audio: pcm_s16le, 22050 Hz, mono\\r\\n"},
       Audio(0, 0, 0, "libmp3lame"),
       "205|||pcm_s16le|||22050 Hz|||mono",
       "-ar 22050 -ab 64k -ac 1"},
      // Audio lines in two chunks: nine pieces, rate and channels of the first.
      {{dur + "Audio: mp3, 32000 Hz, stereo, 128 kb/s\\r\\n",
        "out Audio: aac, 48000 Hz, mono, 96 kb/s\\r\\n"},
       Audio(0, 0, 0, "libmp3lame"),
       "",
       "-ar 32000 -ab 64k -ac 2"},
      {{}, Audio(48000, 0, 0, "libmp3lame"), "", "-ar 48000 -ab 64k -ac 2"},
      {{dur + "Audio: vorbis, 44100 Hz, Stereo\\r\\n"},
       Audio(0, 0, 0, ""),
       "",
       "-ar 44100 -ab 64k -ac 2"},
      {{dur + "Audio: aac, 48000 Hz, 5.1, 384 kb/s\\r\\n"},
       Audio(0, 192, 0, ""),
       "",
       "-ar 48000 -ab 192k -ac 1"},
  };
  for (const auto& c : cases) {
    std::string in = Script(c.info, {});
    TConvertThread w(in, false, c.settings, dir_ / "o.mp3", platform::CallQueue::Current());
    if (!c.expectResult.empty()) {
      EXPECT_EQ(w.ResultText, c.expectResult);
    }
    EXPECT_NE(w.CommandLine.find(c.expectOptions), std::string::npos) << w.CommandLine;
  }
}

TEST_F(ConvertThreadTest, CodecRulesDifferBetweenAudioAndVideo) {
  auto make = [&](bool video, const std::string& codec) {
    TCnvtSettings s = Audio(44100, 128, 2, codec);
    s.VideoPreset = video;
    return TConvertThread("/a/in.flv", false, s, "/a/out", platform::CallQueue::Current())
        .CommandLine;
  };
  EXPECT_EQ(make(false, "default").find("-acodec"), std::string::npos);
  EXPECT_NE(make(true, "default").find(" -acodec default "), std::string::npos);
  EXPECT_NE(make(false, "").find(" -acodec copy "), std::string::npos);
  EXPECT_EQ(make(true, "").find("-acodec"), std::string::npos);
}

TEST_F(ConvertThreadTest, PathsReachTheEncoderExactly) {
  // The shown line replaces placeholders even inside paths; the argv does not.
  std::string in = Script({},
                          {"argv " + dir_ / "argv.txt", "out Duration: 00:00:01.00\\r\\n",
                           "out time=1.00 \\r\\n", "output 10"},
                          "[KHZ] \"quoted\" 100%.flv");
  const std::string out = dir_ / "-dash \"q\" %d\nline.mp3";
  TConvertThread w(in, false, Audio(44100, 128, 2, "libmp3lame"), out,
                   platform::CallQueue::Current());
  EXPECT_NE(w.CommandLine.find("44100 \"quoted\" 100%.flv"), std::string::npos);
  Recorder rec;
  rec.Attach(w);
  w.Start();
  ASSERT_TRUE(WaitFor([&] { return w.Finished(); }));
  std::ifstream file(dir_ / "argv.txt", std::ios::binary);
  std::vector<std::string> argv;
  for (std::string a; std::getline(file, a, '\0');) argv.push_back(a);
  ASSERT_EQ(argv.size(), 14u);
  EXPECT_EQ(argv[2], in);
  EXPECT_EQ(argv[13], out);
  EXPECT_FALSE(w.ErrorFlag);
  EXPECT_EQ(platform::FileSize(out), 10);
}

TEST_F(ConvertThreadTest, PercentFromDurationAndTime) {
  struct Case {
    std::vector<std::string> run;
    std::vector<int32_t> percents;
  };
  std::vector<Case> cases = {
      {{"out Duration: 00:03:25.43, start", "out size= 1kB time=102.50 bitrate"}, {50}},
      {{"out Duration: 00:00:08.00", "out time=1.00 ", "out time=3.00 "}, {12, 38}},
      {{"out Duration: 00:00:08.00", "out time=20.00 "}, {100}},
      {{"out time=1.00 ", "out Duration: 00:00:08.00", "out time=4.00 "}, {50}},
      {{"out Duration: 00:00:10.00", "out time=1.00 x time=5.00 "}, {10}},
      {{"out Duration: 00:00:10.00", "out time=00:01:02.50 "}, {0}},
      {{"out Duration: 00:01:40.00", "out time=123"}, {12}},
      {{"out Duration: 00:00:10.00\\r\\ntime=5.00 "}, {50}},
      // Larger than any counter: saturates to 100 instead of ending the worker.
      {{"out Duration: 00:00:08.00", "out time=999999999999999999999999999.00 "}, {100}},
  };
  for (const auto& c : cases) {
    auto run = c.run;
    run.push_back("output 5");
    Recorder rec;
    auto w = Convert(Script({}, run), Audio(44100, 128, 2, ""), rec);
    EXPECT_EQ(rec.percents, c.percents) << c.run.back();
    EXPECT_EQ(rec.doneCalls, 1);
    EXPECT_TRUE(rec.onMainThread);
    EXPECT_FALSE(w->ErrorFlag);
    EXPECT_EQ(w->ResultText, std::to_string(c.percents.back()));
  }
}

TEST_F(ConvertThreadTest, RunFailsWithoutPercentCleanExitOrOutput) {
  struct Case {
    std::vector<std::string> run;
    int exitCode;
  };
  std::vector<Case> cases = {
      {{"out Duration: N/A, start", "out time=1.00 ", "output 5"}, 0},
      {{"out Duration: 00:00:08.00", "out time=4.00 ", "output 5", "exit 1"}, 1},
      {{"out Duration: 00:00:08.00", "out time=4.00 "}, 0},  // no output file
  };
  for (const auto& c : cases) {
    std::filesystem::remove(dir_ / "out.mp3");
    Recorder rec;
    auto w = Convert(Script({}, c.run), Audio(44100, 128, 2, ""), rec);
    EXPECT_TRUE(w->ErrorFlag);
    EXPECT_EQ(w->ExitCode, c.exitCode);
    EXPECT_EQ(rec.doneCalls, 1);
  }
}

TEST_F(ConvertThreadTest, ConsoleOutputHoldsInformationPassThenRun) {
  std::string in = Script({"out INFO Duration: 00:00:10.00\\r\\nAudio: mp3, 44100 Hz, stereo, "
                           "128 kb/s\\r\\n"},
                          {"out RUN Duration: 00:00:10.00", "out time=10.00 ", "output 1"});
  Recorder rec;
  TConvertThread w(in, false, Audio(0, 0, 0, ""), dir_ / "out.mp3", platform::CallQueue::Current());
  rec.Attach(w);
  w.Start();
  ASSERT_TRUE(WaitFor([&] { return w.Finished(); }));
  auto info = w.ConsoleOutput.find("\r\nINFO Duration");
  auto run = w.ConsoleOutput.find("\r\nRUN Duration");
  EXPECT_EQ(info, 0u);
  EXPECT_NE(run, std::string::npos);
  EXPECT_LT(info, run);
  // The end of the output adds only CR LF.
  EXPECT_EQ(w.ConsoleOutput.substr(w.ConsoleOutput.size() - 13), "time=10.00 \r\n");
  EXPECT_EQ(w.ResultText, "100");
}

TEST_F(ConvertThreadTest, EncoderThatCannotStart) {
  std::filesystem::remove(dir_ / "cvtcore");
  // Information pass: the caller gets the error, no worker is made.
  try {
    TConvertThread w(dir_ / "in.flv", false, TCnvtSettings{}, dir_ / "out.mp3",
                     platform::CallQueue::Current());
    FAIL() << "no error";
  } catch (const EConvertError& e) {
    EXPECT_EQ(std::string(e.what()), "Could not execute command line!\r\"" + dir_.path() +
                                         "cvtcore\" -vn -i \"" + dir_.path() + "in.flv\" ");
  }
  // Conversion run: a failed end report instead of a job stuck in encoding.
  Recorder rec;
  auto w = Convert(dir_ / "in.flv", Audio(44100, 128, 2, ""), rec);
  EXPECT_EQ(rec.doneCalls, 1);
  EXPECT_TRUE(w->ErrorFlag);
  EXPECT_NE(w->ConsoleOutput.find("Could not execute command line!"), std::string::npos);
}

TEST_F(ConvertThreadTest, StopEndsEncoderAndChildrenAtNextOutputWithoutReport) {
  std::string in =
      Script({}, {"out Duration: 00:00:10.00", "spawn " + dir_ / "child.pid", "out time=1.00 ",
                  "waitfile " + dir_ / "go", "out time=2.00 ", "hang"});
  TConvertThread w(in, false, Audio(44100, 128, 2, ""), dir_ / "out.mp3",
                   platform::CallQueue::Current());
  Recorder rec;
  rec.Attach(w);
  w.Start();
  ASSERT_TRUE(WaitFor([&] { return rec.percents.size() == 1; }));
  pid_t encoder = w.EncoderPid();
  pid_t child = 0;
  std::ifstream(dir_ / "child.pid") >> child;
  ASSERT_GT(child, 0);
  w.RequestStop();
  // A silent encoder keeps running until it prints again.
  EXPECT_FALSE(ProcessGone(encoder));
  std::ofstream(dir_ / "go") << "";
  ASSERT_TRUE(WaitFor([&] { return w.Finished(); }));
  EXPECT_TRUE(ProcessGone(encoder));
  EXPECT_TRUE(WaitFor([&] { return ProcessGone(child); }));
  EXPECT_EQ(rec.percents, std::vector<int32_t>{10});
  EXPECT_EQ(rec.doneCalls, 0);
}

TEST_F(ConvertThreadTest, StopRequestedBeforeStartRunsNothing) {
  std::string in = Script({}, {"argv " + dir_ / "ran"});
  TConvertThread w(in, true, TCnvtSettings{}, dir_ / "out.mp3",
                   platform::CallQueue::Current());  // no information pass either
  Recorder rec;
  rec.Attach(w);
  w.Start();
  ASSERT_TRUE(WaitFor([&] { return w.Finished(); }));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "ran"));
  EXPECT_EQ(rec.doneCalls, 0);
  EXPECT_EQ(w.EncoderPid(), -1);
}

TEST_F(ConvertThreadTest, DestroyingEndsSilentEncoderAndDropsReports) {
  std::string in = Script({}, {"out Duration: 00:00:10.00", "out time=1.00 ", "hang"});
  Recorder rec;
  auto w = std::make_unique<TConvertThread>(in, false, Audio(44100, 128, 2, ""), dir_ / "o.mp3",
                                            platform::CallQueue::Current());
  rec.Attach(*w);
  w->Start();
  ASSERT_TRUE(WaitFor([&] { return rec.percents.size() == 1; }));
  pid_t encoder = w->EncoderPid();
  w->Detach();
  w.reset();  // must not hang on the silent encoder
  EXPECT_TRUE(ProcessGone(encoder));
  EXPECT_EQ(rec.doneCalls, 0);
}

TEST_F(ConvertThreadTest, DestroyWhileReportWaitsForMainThread) {
  // The worker blocks in a report the main thread has not run yet; destroying
  // it there must neither deadlock nor run the report.
  std::string in = Script({}, {"out Duration: 00:00:10.00", "out time=5.00 ", "output 1"});
  auto queue = std::make_shared<platform::CallQueue>();  // this thread's, not pumped by WaitFor
  platform::ManualResetEvent queued;
  queue->SetWaker([&] { queued.Set(); });
  Recorder rec;
  auto w =
      std::make_unique<TConvertThread>(in, false, Audio(44100, 128, 2, ""), dir_ / "o.mp3", queue);
  rec.Attach(*w);
  w->Start();
  ASSERT_TRUE(queued.Wait(std::chrono::seconds(10)));
  w.reset();
  EXPECT_TRUE(rec.percents.empty());
  EXPECT_EQ(rec.doneCalls, 0);
}

}  // namespace
