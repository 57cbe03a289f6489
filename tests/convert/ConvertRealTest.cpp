// Real conversions: the worker runs the built cvtcore, which runs ffmpeg, on
// clips generated at test time.
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "convert/ConvertThread.h"
#include "platform/CallQueue.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "tests/convert/ConvertTestSupport.h"

using converttest::Audio;
using converttest::ExeFolderScope;
using converttest::Probe;
using converttest::ProcessGone;
using converttest::Recorder;
using testsupport::TempDir;
using testsupport::WaitFor;

namespace {

class ConvertRealTest : public ::testing::Test {
 protected:
  ConvertRealTest() : exe_(testsupport::BinDir()) {}

  void SetUp() override {
    if (platform::FindOnPath("ffmpeg").empty()) GTEST_SKIP() << "ffmpeg is not installed";
  }

  std::string Clip(const std::string& name, const std::vector<std::string>& options) {
    EXPECT_EQ(converttest::MakeClip(dir_ / name, options), 0);
    return dir_ / name;
  }

  std::string Sine(const std::string& name, int seconds, int rate) {
    return Clip(name, converttest::ToneClip(seconds, rate));
  }

  std::unique_ptr<TConvertThread> Convert(const std::string& in, const TCnvtSettings& s,
                                          const std::string& out, Recorder& rec) {
    auto w = std::make_unique<TConvertThread>(in, false, s, out, platform::CallQueue::Current());
    rec.Attach(*w);
    w->Start();
    EXPECT_TRUE(WaitFor([&] { return w->Finished(); }, std::chrono::seconds(60)));
    return w;
  }

  TempDir dir_;
  ExeFolderScope exe_;
};

TEST_F(ConvertRealTest, Mp3WithChosenRateChannelsAndBitrate) {
  std::string in = Sine("song.wav", 3, 48000);
  Recorder rec;
  auto w = Convert(in, Audio(22050, 96, 1, "libmp3lame"), dir_ / "song.wav.mp3", rec);
  EXPECT_FALSE(w->ErrorFlag) << w->ConsoleOutput;
  EXPECT_EQ(w->ExitCode, 0);
  EXPECT_EQ(rec.doneCalls, 1);
  ASSERT_FALSE(rec.percents.empty()) << w->ConsoleOutput;
  EXPECT_TRUE(std::is_sorted(rec.percents.begin(), rec.percents.end()));
  auto p = Probe(dir_ / "song.wav.mp3", "a:0");
  EXPECT_EQ(p["codec_name"], "mp3");
  EXPECT_EQ(p["sample_rate"], "22050");
  EXPECT_EQ(p["channels"], "1");
  EXPECT_EQ(p["bit_rate"], "96000");
}

TEST_F(ConvertRealTest, VorbisFromWavAtSameAsInputTakesTheEncodersCeiling) {
  // The information pass reports the PCM rate, far above what libvorbis takes.
  TCnvtSettings s;
  s.ACodec = "libvorbis";
  struct Case {
    int rate, channels;
    bool converts;
  };
  for (const Case c : {Case{44100, 2, true}, Case{22050, 1, true}, Case{96000, 2, false}}) {
    const std::string tone = "sine=sample_rate=" + std::to_string(c.rate) + ":duration=1";
    const std::string in = Clip(std::to_string(c.rate) + ".wav",
                                {"-f", "lavfi", "-i", tone, "-ac", std::to_string(c.channels)});
    Recorder rec;
    auto w = Convert(in, s, in + ".ogg", rec);
    EXPECT_EQ(w->ErrorFlag, !c.converts) << w->ConsoleOutput;
    // One console line says what was used; a rate it cannot take at all still fails.
    EXPECT_EQ(w->ConsoleOutput.find("cvtcore: audio bit rate ") != std::string::npos, c.converts)
        << w->ConsoleOutput;
    if (c.converts) EXPECT_EQ(Probe(in + ".ogg", "a:0")["codec_name"], "vorbis");
  }
}

TEST_F(ConvertRealTest, SameAsInputUsesTheInformationPass) {
  std::string in = Clip("in.mp3", {"-f", "lavfi", "-i", "sine=sample_rate=32000:duration=2", "-ac",
                                   "1", "-b:a", "48k"});
  TCnvtSettings s;
  s.ACodec = "libmp3lame";
  Recorder rec;
  auto w = Convert(in, s, dir_ / "out.mp3", rec);
  EXPECT_NE(w->CommandLine.find("-ar 32000 -ab 48k -ac 1"), std::string::npos) << w->CommandLine;
  EXPECT_FALSE(w->ErrorFlag) << w->ConsoleOutput;
  EXPECT_EQ(w->ConsoleOutput.find("\r\nInput #0"), 0u);  // the information pass comes first
}

TEST_F(ConvertRealTest, WavWithDefaultCodec) {
  std::string in = Sine("in.mp3", 2, 44100);
  Recorder rec;
  auto w = Convert(in, Audio(16000, 64, 1, "default"), dir_ / "out.wav", rec);
  EXPECT_FALSE(w->ErrorFlag) << w->ConsoleOutput;
  auto p = Probe(dir_ / "out.wav", "a:0");
  EXPECT_EQ(p["codec_name"], "pcm_s16le");
  EXPECT_EQ(p["sample_rate"], "16000");
}

TEST_F(ConvertRealTest, VideoPresetYieldsChosenSize) {
  std::string in = Clip("in.mp4", converttest::VideoClip());
  Recorder rec;
  auto w = Convert(in, converttest::SmallVideo(), dir_ / "out.avi", rec);
  EXPECT_FALSE(w->ErrorFlag) << w->ConsoleOutput;
  auto v = Probe(dir_ / "out.avi", "v:0");
  EXPECT_EQ(v["codec_name"], "mpeg4");
  EXPECT_EQ(v["width"], "160");
  EXPECT_EQ(v["height"], "120");
}

TEST_F(ConvertRealTest, VideoPresetKeepsTheAudioWithinTheCodecsCeilingWithoutAProbeProcess) {
  std::vector<std::string> clip = converttest::VideoClip();
  clip[7] = "sine=duration=2:sample_rate=22050";
  clip.insert(clip.end(), {"-ac", "1"});
  const std::string in = Clip("in.mp4", clip);
  TCnvtSettings s = converttest::SmallVideo();
  s.ACodec = "libvorbis";  // 90k at most at 22050 Hz mono: 320k would fail the run
  s.ABitrate = 320;
  s.Channels = 0;
  {
    // Only ffmpeg on the encoder's PATH: it could not start a probe of its own.
    TempDir tools;
    ASSERT_EQ(::symlink(platform::FindOnPath("ffmpeg").c_str(), (tools / "ffmpeg").c_str()), 0);
    const std::string path = ::getenv("PATH");
    ::setenv("PATH", tools.path().c_str(), 1);
    Recorder rec;
    auto w = Convert(in, s, dir_ / "out.mkv", rec);
    ::setenv("PATH", path.c_str(), 1);
    EXPECT_FALSE(w->ErrorFlag) << w->ConsoleOutput;
    EXPECT_NE(w->ConsoleOutput.find("using 90k"), std::string::npos) << w->ConsoleOutput;
  }
  // Run by hand, without the worker's figures, the encoder probes the file itself.
  std::string out;
  EXPECT_EQ(converttest::Tool({testsupport::BinDir() + "cvtcore", "-i", in, "-sameq", "-ab", "320k",
                               "-vcodec", "mpeg4", "-acodec", "libvorbis", "-y", dir_ / "hand.mkv"},
                              &out),
            0);
  EXPECT_NE(out.find("using 90k"), std::string::npos) << out;
}

TEST_F(ConvertRealTest, BitrateTheCodecRejectsFails) {
  std::string in = Sine("in.wav", 1, 44100);
  Recorder rec;
  auto w = Convert(in, Audio(44100, 7, 2, "mp2"), dir_ / "out.mp2", rec);
  EXPECT_TRUE(w->ErrorFlag);
  EXPECT_NE(w->ExitCode, 0);
  EXPECT_EQ(rec.doneCalls, 1);
  EXPECT_NE(w->ConsoleOutput.find("not allowed"), std::string::npos) << w->ConsoleOutput;
}

TEST_F(ConvertRealTest, AwkwardPathsStayExact) {
  std::string in = Sine("-in \"q\" 5%.wav", 1, 44100);
  for (const std::string name :
       {"-out.mp3", "a \"quoted\" name.mp3", "100% %d.mp3", "two\nlines.mp3", "proto:colon.mp3"}) {
    Recorder rec;
    auto w = Convert(in, Audio(44100, 64, 1, "libmp3lame"), dir_ / name, rec);
    EXPECT_FALSE(w->ErrorFlag) << name << w->ConsoleOutput;
    EXPECT_GT(platform::FileSize(dir_ / name), 0) << name;
  }
}

TEST_F(ConvertRealTest, StopEndsCvtcoreAndFfmpeg) {
  // The endless input keeps the run going until it is stopped.
  converttest::EndlessWav live(dir_ / "live.wav");
  ASSERT_TRUE(live.made());
  auto w = std::make_unique<TConvertThread>(live.path(), false, Audio(44100, 64, 1, "libmp3lame"),
                                            dir_ / "live.mp3", platform::CallQueue::Current());
  Recorder rec;
  rec.Attach(*w);
  w->Start();
  pid_t ffmpeg = 0;
  ASSERT_TRUE(WaitFor([&] {
    pid_t enc = w->EncoderPid();
    return enc > 0 && converttest::FirstChild(enc, ffmpeg);
  }));
  pid_t encoder = w->EncoderPid();
  w->RequestStop();
  ASSERT_TRUE(WaitFor([&] { return w->Finished(); }));
  EXPECT_TRUE(ProcessGone(encoder));
  EXPECT_TRUE(WaitFor([&] { return ProcessGone(ffmpeg); }));
  EXPECT_EQ(rec.doneCalls, 0);
}

}  // namespace
