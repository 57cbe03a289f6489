#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

#include "platform/Process.h"
#include "tests/support/TestSupport.h"
#include "tools/cvtcore/CvtCore.h"

using Args = std::vector<std::string>;

namespace {

cvtcore::Request Parse(const Args& args) {
  cvtcore::Request r;
  std::string error;
  EXPECT_TRUE(cvtcore::ParseArguments(args, r, error)) << error;
  return r;
}

TEST(CvtCoreArgs, AudioLineMapsToCurrentOptions) {
  auto r = Parse({"-i", "/a/in.flv", "-ar", "44100", "-ab", "128k", "-ac", "2", "-vn", "-acodec",
                  "libmp3lame", "-y", "/a/out.mp3"});
  EXPECT_FALSE(r.infoOnly);
  EXPECT_TRUE(r.overwrite);
  EXPECT_EQ(r.outputOptions,
            (Args{"-ar", "44100", "-b:a", "128k", "-ac", "2", "-vn", "-c:a", "libmp3lame"}));
  Args argv = cvtcore::FfmpegArguments(r, "/usr/bin/ffmpeg", 1);
  // An MP3 gets room in its tag for the tags written after the run.
  EXPECT_EQ(Args(argv.end() - 15, argv.end()),
            (Args{"-y", "-i", "file:/a/in.flv", "-ar", "44100", "-b:a", "128k", "-ac", "2", "-vn",
                  "-c:a", "libmp3lame", "-metadata_header_padding", "4096", "file:/a/out.mp3"}));
}

TEST(CvtCoreArgs, SameQualityAndDefaultCodecs) {
  auto avi = Parse({"-i", "in", "-sameq", "-vcodec", "mpeg4", "-acodec", "default", "-r", "29.97",
                    "-y", "o.avi"});
  EXPECT_EQ(avi.outputOptions, (Args{"-c:v", "mpeg4", "-r", "29.97", "-q:v", "2"}));
  auto mp4 = Parse({"-i", "in", "-sameq", "-r", "29.97", "-y", "o.mp4"});
  EXPECT_EQ(mp4.outputOptions, (Args{"-r", "29.97", "-crf", "18"}));
  auto rate = Parse({"-i", "in", "-sameq", "-b", "512k", "-y", "o.mp4"});
  EXPECT_EQ(rate.outputOptions, (Args{"-b:v", "512k"}));  // a chosen bit rate wins
}

TEST(CvtCoreArgs, OutputAndInputShapes) {
  EXPECT_EQ(Parse({"-i", "in", "-y", "-out.mp3"}).output, "-out.mp3");
  EXPECT_EQ(Parse({"-i", "in", "-y", "-vn"}).output, "-vn");  // the word after -y is the file
  auto info = Parse({"-vn", "-i", "/a/-clip.flv"});
  EXPECT_TRUE(info.infoOnly);
  EXPECT_EQ(info.input, "/a/-clip.flv");
  cvtcore::Request r;
  std::string error;
  EXPECT_FALSE(cvtcore::ParseArguments({"-i", "in", "-bogus", "1", "-y", "o"}, r, error));
  EXPECT_NE(error.find("-bogus"), std::string::npos);
  EXPECT_FALSE(cvtcore::ParseArguments({"-y", "out.mp3"}, r, error));
  EXPECT_FALSE(cvtcore::ParseArguments({"-i"}, r, error));
}

TEST(CvtCoreOutput, DescriptionPutsTheFirstAudioStreamLast) {
  std::string probe =
      "[STREAM]\nindex=0\ncodec_name=aac\ncodec_type=audio\nsample_rate=44100\nchannels=2\n"
      "channel_layout=stereo\nbit_rate=128012\n[/STREAM]\n"
      "[STREAM]\nindex=1\ncodec_name=h264\ncodec_type=video\nwidth=320\nheight=240\n[/STREAM]\n"
      "[STREAM]\nindex=2\ncodec_name=mp3\ncodec_type=audio\nsample_rate=22050\nchannels=1\n"
      "channel_layout=mono\nbit_rate=N/A\n[/STREAM]\n"
      "[FORMAT]\nformat_name=mov,mp4\nduration=205.434\n[/FORMAT]\n";
  EXPECT_EQ(cvtcore::DescribeProbe(probe),
            "Input #0, mov,mp4:\r\n  Duration: 00:03:25.43\r\n  Stream #0:1: Video: h264, "
            "320x240\r\n  Stream #0:0: Audio: aac, 44100 Hz, stereo, 128 kb/s\r\n");
  std::string mono =
      "[STREAM]\nindex=0\ncodec_name=pcm_s16le\ncodec_type=audio\nsample_rate=8000\n"
      "channels=2\nchannel_layout=unknown\nbit_rate=N/A\n[/STREAM]\n[FORMAT]\nduration=N/A\n"
      "[/FORMAT]\n";
  EXPECT_EQ(cvtcore::DescribeProbe(mono),
            "Input #0:\r\n  Duration: N/A\r\n  Stream #0:0: Audio: pcm_s16le, 8000 Hz, stereo\r\n");
  EXPECT_EQ(cvtcore::DescribeProbe("file:x: No such file or directory\n"),
            "file:x: No such file or directory\r\n");
  EXPECT_EQ(cvtcore::FormatDuration(8.045714), "00:00:08.05");
  EXPECT_EQ(cvtcore::FormatDuration(3725.999), "01:02:06.00");
}

TEST(CvtCoreOutput, LogLinesKeepWhatTheRunnerAndTheLogNeed) {
  using cvtcore::FilterLogLine;
  EXPECT_EQ(FilterLogLine("[info]   Duration: 00:00:08.00, bitrate: 352 kb/s"),
            "  Duration: 00:00:08.00, bitrate: 352 kb/s");
  EXPECT_EQ(FilterLogLine("[mp2 @ 0x55] [error] bitrate 1 is not allowed in mp2"),
            "[mp2 @ 0x55] bitrate 1 is not allowed in mp2");
  EXPECT_EQ(FilterLogLine("[info] Input #0, wav, from 'file:/x/time=5 Duration: 00:00:01.wav':"),
            "Input #0, wav:");
  EXPECT_EQ(FilterLogLine("[info]   Stream #0:0: Audio: mp3, 44100 Hz, stereo, fltp, 128 kb/s"),
            "  Stream #0:0: Audio: mp3, 44100 Hz, stereo, fltp, 128 kb/s");
  EXPECT_FALSE(FilterLogLine("[info] size=     315kB time=00:00:08.02 bitrate= 322.1kbits/s"));
  EXPECT_FALSE(FilterLogLine("[info]     title           : Duration: 99:00:00"));
  EXPECT_FALSE(FilterLogLine("[info]   Stream #0:0 -> #0:0 (pcm_s16le (native) -> mp3)"));
}

TEST(CvtCoreOutput, ProgressBlocksBecomeSecondLines) {
  cvtcore::ProgressParser p;
  EXPECT_FALSE(p.Feed("out_time_us=8020658"));
  EXPECT_FALSE(p.Feed("total_size=322917"));
  EXPECT_FALSE(p.Feed("speed= 109x"));
  EXPECT_EQ(p.Feed("progress=end"), "size=     315kB time=8.02 speed=109x");
  p.Feed("out_time_us=-23220");
  EXPECT_EQ(p.Feed("progress=continue"), "size=       0kB time=0.00 speed=N/A");
  p.Feed("out_time_us=N/A");
  EXPECT_FALSE(p.Feed("progress=continue"));
}

TEST(CvtCoreArgs, AudioBitRateAboveTheEncodersCeilingIsLowered) {
  struct Case {
    Args args;
    int inRate, inChannels;
    std::string expect;  // the -b:a value afterwards
    bool said;
  };
  const std::vector<Case> cases = {
      // "Same As Input" of 16-bit WAV: the PCM rate.
      {{"-ar", "44100", "-ab", "1411k", "-ac", "2", "-acodec", "libvorbis"}, 0, 0, "500k", true},
      {{"-ar", "44100", "-ab", "705k", "-ac", "1", "-acodec", "libvorbis"}, 0, 0, "240k", true},
      {{"-ar", "22050", "-ab", "353k", "-ac", "1", "-acodec", "libvorbis"}, 0, 0, "90k", true},
      {{"-ar", "8000", "-ab", "128k", "-ac", "2", "-acodec", "libvorbis"}, 0, 0, "84k", true},
      {{"-ar", "48000", "-ab", "1536k", "-ac", "2", "-acodec", "libopus"}, 0, 0, "512k", true},
      {{"-ar", "22050", "-ab", "705k", "-ac", "2", "-acodec", "libmp3lame"}, 0, 0, "160k", true},
      {{"-ar", "44100", "-ab", "1411k", "-ac", "2", "-acodec", "aac"}, 0, 0, "529k", true},
      // Video lines leave rate and channels to the input.
      {{"-ab", "320k", "-acodec", "libvorbis"}, 22050, 1, "90k", true},
      {{"-ab", "320k", "-ac", "2", "-acodec", "libvorbis"}, 44100, 1, "320k", false},
      // At or below the ceiling, unknown input, no codec, a rate the encoder
      // cannot take at all: unchanged, so it fails as before.
      {{"-ar", "44100", "-ab", "500k", "-ac", "2", "-acodec", "libvorbis"}, 0, 0, "500k", false},
      {{"-ab", "705k", "-acodec", "libvorbis"}, 0, 0, "705k", false},  // the probe found nothing
      {{"-ar", "44100", "-ab", "705k", "-ac", "1"}, 0, 0, "705k", false},
      {{"-ar", "96000", "-ab", "1411k", "-ac", "2", "-acodec", "libvorbis"}, 0, 0, "1411k", false},
      {{"-ar", "44100", "-ab", "1411k", "-ac", "6", "-acodec", "libmp3lame"}, 0, 0, "1411k", false},
  };
  for (const auto& c : cases) {
    Args args = {"-i", "in.wav"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    args.insert(args.end(), {"-y", "out"});
    auto r = Parse(args);
    if (c.inRate) EXPECT_TRUE(cvtcore::NeedsInputAudioFormat(r));
    auto said = cvtcore::ClampAudioBitrate(r, c.inRate, c.inChannels);
    auto& o = r.outputOptions;
    EXPECT_EQ(*(std::find(o.begin(), o.end(), "-b:a") + 1), c.expect) << args[3] << " " << args[5];
    EXPECT_EQ(said.has_value(), c.said);
    if (said) EXPECT_NE(said->find("using " + c.expect), std::string::npos) << *said;
  }
  EXPECT_FALSE(cvtcore::NeedsInputAudioFormat(Parse(
      {"-i", "in", "-ar", "44100", "-ab", "64k", "-ac", "2", "-acodec", "libvorbis", "-y", "o"})));
  EXPECT_FALSE(cvtcore::NeedsInputAudioFormat(Parse({"-i", "in", "-ab", "64k", "-y", "o"})));

  // The format a caller passes on instead of a probe: exactly "<rate> <channels>".
  int rate = -1, channels = -1;
  EXPECT_TRUE(cvtcore::ParseInputAudio("22050 1", rate, channels));
  EXPECT_EQ(rate * 10 + channels, 220501);
  EXPECT_TRUE(cvtcore::ParseInputAudio("0 0", rate, channels));
  for (const char* bad : {"", "44100", "44100 2 ", "44100,2", "-1 2", "44100 99", "x 2"})
    EXPECT_FALSE(cvtcore::ParseInputAudio(bad, rate, channels)) << bad;
  EXPECT_FALSE(cvtcore::ParseInputAudio(nullptr, rate, channels));
}

// The built program against the real ffmpeg.
class CvtCoreProgram : public ::testing::Test {
 protected:
  void SetUp() override {
    if (platform::FindOnPath("ffmpeg").empty()) GTEST_SKIP() << "ffmpeg is not installed";
  }
  int Run(const Args& args, std::string* out = nullptr, platform::TProcess* proc = nullptr) {
    platform::TProcess local;
    platform::TProcess& p = proc ? *proc : local;
    Args argv = {testsupport::BinDir() + "cvtcore"};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!p.Start(argv)) return -1;
    std::string text;
    char buf[4096];
    for (ssize_t n; (n = p.Read(buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    if (out) *out = text;
    return p.Wait();
  }
  testsupport::TempDir dir_;
};

TEST_F(CvtCoreProgram, DescribesAndConvertsWithTheRunnersDialect) {
  platform::TProcess gen;
  platform::ProcessOptions o;
  o.searchPath = true;
  ASSERT_TRUE(
      gen.Start({"ffmpeg", "-v", "error", "-nostdin", "-f", "lavfi", "-i",
                 "sine=duration=2:sample_rate=44100", "-ac", "2", "-b:a", "128k", dir_ / "-in.mp3"},
                o));
  ASSERT_EQ(gen.Wait(), 0);
  std::string out;
  EXPECT_EQ(Run({"-vn", "-i", dir_ / "-in.mp3"}, &out), 0);
  EXPECT_NE(out.find("Duration: 00:00:02.0"), std::string::npos) << out;
  EXPECT_NE(out.find("Audio: mp3, 44100 Hz, stereo, 128 kb/s\r\n"), std::string::npos) << out;

  EXPECT_EQ(Run({"-i", dir_ / "-in.mp3", "-ar", "22050", "-ab", "64k", "-ac", "1", "-vn", "-acodec",
                 "libmp3lame", "-y", dir_ / "-out.mp3"},
                &out),
            0)
      << out;
  EXPECT_NE(out.find("Duration: 00:00:02.0"), std::string::npos) << out;
  EXPECT_NE(out.find("time=2.0"), std::string::npos) << out;
  EXPECT_EQ(out.find("time=00:"), std::string::npos) << out;
  EXPECT_EQ(out.find('\n', out.find("time=")), out.find("\r\n", out.find("time=")) + 1);
}

TEST_F(CvtCoreProgram, WavHeaderGivesWhatFfprobeSays) {
  auto output = [](const Args& argv) {
    platform::TProcess p;
    platform::ProcessOptions o;
    o.searchPath = true;
    std::string text;
    if (!p.Start(argv, o)) return text;
    char buf[4096];
    for (ssize_t n; (n = p.Read(buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
    p.Wait();
    return text;
  };
  struct Case {
    const char* sampleFormat;
    const char* rate;
    const char* channels;
  } cases[] = {{"pcm_s16le", "44100", "2"},
               {"pcm_s16le", "8000", "1"},
               {"pcm_s24le", "48000", "2"},
               {"pcm_u8", "22050", "1"},
               {"pcm_f32le", "32000", "2"}};
  for (const Case& c : cases) {
    const std::string wav = dir_ / (std::string(c.sampleFormat) + c.rate + ".wav");
    output({"ffmpeg", "-v", "error", "-nostdin", "-f", "lavfi", "-i", "sine=duration=1.37", "-ar",
            c.rate, "-ac", c.channels, "-c:a", c.sampleFormat, "-y", wav});
    const auto fromHeader = cvtcore::WavProbeText(wav);
    ASSERT_TRUE(fromHeader) << wav;
    EXPECT_EQ(cvtcore::DescribeProbe(*fromHeader),
              cvtcore::DescribeProbe(output(cvtcore::FfprobeArguments("ffprobe", wav))))
        << wav;
  }
  // Anything else is left to ffprobe: another container, a header that
  // promises more data than the file holds.
  const std::string mp3 = dir_ / "a.mp3";
  output({"ffmpeg", "-v", "error", "-nostdin", "-f", "lavfi", "-i", "sine=duration=1", "-y", mp3});
  EXPECT_FALSE(cvtcore::WavProbeText(mp3));
  const std::string wav = dir_ / "pcm_s16le44100.wav";
  ASSERT_EQ(::truncate(wav.c_str(), 20000), 0);
  EXPECT_FALSE(cvtcore::WavProbeText(wav));
  EXPECT_FALSE(cvtcore::WavProbeText(dir_ / "missing.wav"));
}

TEST_F(CvtCoreProgram, FailuresKeepTheirExitCodeAndMessage) {
  std::string out;
  EXPECT_EQ(Run({"-i", dir_ / "missing.wav", "-y", dir_ / "o.mp3"}, &out), 1);
  EXPECT_NE(out.find("No such file"), std::string::npos) << out;

  const char* old = ::getenv("PATH");
  std::string saved = old ? old : "";
  ::setenv("PATH", dir_.path().c_str(), 1);
  int code = Run({"-i", dir_ / "missing.wav", "-y", dir_ / "o.mp3"}, &out);
  ::setenv("PATH", saved.c_str(), 1);
  EXPECT_EQ(code, 127);
  EXPECT_NE(out.find("ffmpeg was not found"), std::string::npos) << out;
}

TEST_F(CvtCoreProgram, TerminatingItEndsFfmpeg) {
  // ffmpeg blocks opening a FIFO nobody writes to.
  const std::string fifo = dir_ / "never.wav";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  platform::TProcess p;
  platform::ProcessOptions o;
  o.ownProcessGroup = false;  // only cvtcore gets the signal
  ASSERT_TRUE(p.Start({testsupport::BinDir() + "cvtcore", "-i", fifo, "-y", dir_ / "o.mp3"}, o));
  pid_t ffmpeg = 0;
  ASSERT_TRUE(testsupport::WaitFor([&] {
    std::ifstream children("/proc/" + std::to_string(p.Pid()) + "/task/" + std::to_string(p.Pid()) +
                           "/children");
    return static_cast<bool>(children >> ffmpeg);
  }));
  ::kill(p.Pid(), SIGTERM);
  EXPECT_EQ(p.Wait(), 128 + SIGTERM);
  EXPECT_NE(::kill(ffmpeg, 0), 0);  // reaped by cvtcore before it ended
}

}  // namespace
