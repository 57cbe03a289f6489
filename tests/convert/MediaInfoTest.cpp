// The in-process information pass against the encoder's own (cvtcore, which
// reads a WAV header itself and asks ffprobe for anything else).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "convert/ConvertThread.h"
#include "convert/EncoderOutput.h"
#include "convert/MediaInfo.h"
#include "platform/CallQueue.h"
#include "platform/Files.h"
#include "tests/convert/ConvertTestSupport.h"

using converttest::Audio;
using converttest::ExeFolderScope;
using testsupport::TempDir;

namespace {

using Clock = std::chrono::steady_clock;

std::string ResultOf(const std::string& description) {
  TEncoderOutputParser parser;
  std::string result;
  int32_t percent = 0;
  parser.Step(description, false, result, percent);
  return result;
}

TEST(MediaInfoTest, SameDescriptionAsTheEncodersPass) {
  if (platform::FindOnPath("ffprobe").empty()) GTEST_SKIP() << "ffmpeg is not installed";
  TempDir dir;
  ExeFolderScope exe(testsupport::BinDir());
  auto tone = [](int rate, int channels) {
    return std::vector<std::string>{"-f",  "lavfi", "-i", "sine=frequency=440:duration=2.5:sample_rate=" + std::to_string(rate),
                                    "-ac", std::to_string(channels)};
  };
  auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<std::pair<std::string, std::vector<std::string>>> clips = {
      {"aac.mp4", with(converttest::VideoClip(), {"-c:a", "aac", "-b:a", "96k"})},
      {"mp3.mp4", with(tone(44100, 2), {"-c:a", "libmp3lame", "-b:a", "128k"})},
      // Fragmented, as streamed audio comes: its running time is in the fragments.
      {"frag.m4a", with(tone(44100, 2), {"-c:a", "aac", "-movflags", "frag_keyframe+empty_moov"})},
      {"clip.flv", with(converttest::VideoClip(), {"-c:v", "flv", "-c:a", "libmp3lame"})},
      {"opus.webm", with(tone(48000, 1), {"-c:a", "libopus"})},
      {"vorbis.ogg", with(tone(22050, 1), {"-c:a", "libvorbis"})},
      {"stereo.wav", tone(44100, 2)},
      {"mono.wav", with(tone(8000, 1), {"-c:a", "pcm_u8"})},
      // A name that promises another container: the probe decides after all.
      {"wave.m4a", with(tone(32000, 2), {"-f", "wav"})},
  };
  const std::atomic<bool> stop{false};
  for (const auto& [name, options] : clips) {
    SCOPED_TRACE(name);
    const std::string clip = dir / name;
    ASSERT_EQ(converttest::MakeClip(clip, options), 0);
    std::string theirs, ours;
    converttest::Tool({testsupport::BinDir() + "cvtcore", "-vn", "-i", clip}, &theirs);
    ASSERT_EQ(DescribeMediaFile(clip, Clock::now() + std::chrono::seconds(30), stop, ours),
              TMediaInfoResult::Described);
    // Every line, as the encoder's pass prints it, and what the parser makes of them.
    std::istringstream lines(ours);
    for (std::string line; std::getline(lines, line);)
      EXPECT_NE(theirs.find(line + "\n"), std::string::npos)
          << "encoder:\n" << theirs << "in process:\n" << ours;
    EXPECT_EQ(ResultOf(ours), ResultOf(theirs));
    // The figures the encoder's bit-rate ceiling needs, as ffprobe gives them.
    TMediaAudio audio;
    ASSERT_EQ(ReadMediaAudio(clip, Clock::now() + std::chrono::seconds(30), stop, audio),
              TMediaInfoResult::Described);
    auto probed = converttest::Probe(clip, "a:0");
    EXPECT_EQ(std::to_string(audio.Rate) + " " + std::to_string(audio.Channels),
              probed["sample_rate"] + " " + probed["channels"]);

    // A worker with open values takes them from here: no process starts.
    TConvertThread w(clip, false, Audio(0, 0, 0, "libmp3lame"), dir / "out.mp3",
                     platform::CallQueue::Current());
    EXPECT_EQ(w.EncoderPid(), -1);
    const TProbedAudio a = ParseProbeText(ResultOf(theirs));
    EXPECT_NE(w.CommandLine.find("-ar " + std::to_string(a.Rate) + " -ab " +
                                 std::to_string(a.Bitrate ? a.Bitrate : 64) + "k -ac " +
                                 std::to_string(a.Channels)),
              std::string::npos)
        << w.CommandLine;
  }
}

TEST(MediaInfoTest, UnreadableFilesGoToTheEncodersPassAndPipesAreBounded) {
  TempDir dir;
  std::atomic<bool> stop{false};
  std::string text;
  const auto later = Clock::now() + std::chrono::seconds(30);
  std::ofstream(dir / "notes.flv") << "[info]\nout Duration: 00:00:01.00\n";
  EXPECT_EQ(DescribeMediaFile(dir / "notes.flv", later, stop, text), TMediaInfoResult::NotRead);
  EXPECT_EQ(DescribeMediaFile(dir / "missing.mp3", later, stop, text), TMediaInfoResult::NotRead);
  EXPECT_TRUE(text.empty());

  // A pipe whose writer never writes: the deadline ends the read, or a stop does.
  const std::string fifo = dir / "pipe.mp3";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int writer = ::open(fifo.c_str(), O_RDWR);  // holds the pipe open, writes nothing
  ASSERT_GE(writer, 0);
  EXPECT_EQ(DescribeMediaFile(fifo, Clock::now() + std::chrono::milliseconds(200), stop, text),
            TMediaInfoResult::TimedOut);
  stop = true;
  EXPECT_EQ(DescribeMediaFile(fifo, later, stop, text), TMediaInfoResult::Stopped);
  ::close(writer);
}

}  // namespace
