// Real conversions: the worker runs the built cvtcore, which runs ffmpeg, on
// clips generated at test time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "convert/ConvertThread.h"
#include "platform/CallQueue.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "tests/convert/ConvertTestSupport.h"

using converttest::ExeFolderScope;
using converttest::ProcessGone;
using converttest::Recorder;
using testsupport::TempDir;
using testsupport::WaitFor;

namespace {

// Runs a tool from PATH to its end; returns its exit code and output.
int Tool(const std::vector<std::string>& argv, std::string* output = nullptr) {
  platform::TProcess p;
  platform::ProcessOptions o;
  o.searchPath = true;
  o.lowerPriority = false;
  if (!p.Start(argv, o)) return -1;
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = p.Read(buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  if (output) *output = text;
  return p.Wait();
}

std::map<std::string, std::string> Probe(const std::string& file, const std::string& stream) {
  std::string out;
  Tool({"ffprobe", "-v", "error", "-select_streams", stream, "-show_entries",
        "stream=codec_name,sample_rate,channels,bit_rate,width,height", "-of", "default=nw=1",
        "file:" + file},
       &out);
  std::map<std::string, std::string> values;
  std::istringstream lines(out);
  for (std::string l; std::getline(lines, l);)
    if (auto eq = l.find('='); eq != std::string::npos) values[l.substr(0, eq)] = l.substr(eq + 1);
  return values;
}

class ConvertRealTest : public ::testing::Test {
 protected:
  ConvertRealTest() : exe_(testsupport::BinDir()) {}

  void SetUp() override {
    if (platform::FindOnPath("ffmpeg").empty()) GTEST_SKIP() << "ffmpeg is not installed";
  }

  std::string Clip(const std::string& name, const std::vector<std::string>& options) {
    std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-nostdin", "-y"};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(dir_ / name);
    EXPECT_EQ(Tool(argv), 0);
    return dir_ / name;
  }

  std::string Sine(const std::string& name, int seconds, int rate) {
    return Clip(name, {"-f", "lavfi", "-i",
                       "sine=frequency=440:sample_rate=" + std::to_string(rate) +
                           ":duration=" + std::to_string(seconds),
                       "-ac", "2"});
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
  TCnvtSettings s;
  s.ACodec = "libmp3lame";
  s.Frequency = 22050;
  s.ABitrate = 96;
  s.Channels = 1;
  Recorder rec;
  auto w = Convert(in, s, dir_ / "song.wav.mp3", rec);
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
  TCnvtSettings s;
  s.ACodec = "default";
  s.Frequency = 16000;
  s.ABitrate = 64;
  s.Channels = 1;
  Recorder rec;
  auto w = Convert(in, s, dir_ / "out.wav", rec);
  EXPECT_FALSE(w->ErrorFlag) << w->ConsoleOutput;
  auto p = Probe(dir_ / "out.wav", "a:0");
  EXPECT_EQ(p["codec_name"], "pcm_s16le");
  EXPECT_EQ(p["sample_rate"], "16000");
}

TEST_F(ConvertRealTest, VideoPresetYieldsChosenSize) {
  std::string in = Clip(
      "in.mp4", {"-f", "lavfi", "-i", "testsrc=duration=2:size=320x240:rate=25", "-f", "lavfi",
                 "-i", "sine=duration=2", "-shortest", "-c:v", "libx264", "-preset", "ultrafast"});
  TCnvtSettings s;
  s.VideoPreset = true;
  s.VCodec = "mpeg4";
  s.ACodec = "libmp3lame";
  s.ABitrate = 64;
  s.Channels = 2;
  s.VideoSize = "160x120";
  Recorder rec;
  auto w = Convert(in, s, dir_ / "out.avi", rec);
  EXPECT_FALSE(w->ErrorFlag) << w->ConsoleOutput;
  auto v = Probe(dir_ / "out.avi", "v:0");
  EXPECT_EQ(v["codec_name"], "mpeg4");
  EXPECT_EQ(v["width"], "160");
  EXPECT_EQ(v["height"], "120");
}

TEST_F(ConvertRealTest, BitrateTheCodecRejectsFails) {
  std::string in = Sine("in.wav", 1, 44100);
  TCnvtSettings s;
  s.ACodec = "mp2";
  s.Frequency = 44100;
  s.ABitrate = 7;
  s.Channels = 2;
  Recorder rec;
  auto w = Convert(in, s, dir_ / "out.mp2", rec);
  EXPECT_TRUE(w->ErrorFlag);
  EXPECT_NE(w->ExitCode, 0);
  EXPECT_EQ(rec.doneCalls, 1);
  EXPECT_NE(w->ConsoleOutput.find("not allowed"), std::string::npos) << w->ConsoleOutput;
}

TEST_F(ConvertRealTest, AwkwardPathsStayExact) {
  std::string in = Sine("-in \"q\" 5%.wav", 1, 44100);
  for (const std::string name :
       {"-out.mp3", "a \"quoted\" name.mp3", "100% %d.mp3", "two\nlines.mp3", "proto:colon.mp3"}) {
    TCnvtSettings s;
    s.ACodec = "libmp3lame";
    s.Frequency = 44100;
    s.ABitrate = 64;
    s.Channels = 1;
    Recorder rec;
    auto w = Convert(in, s, dir_ / name, rec);
    EXPECT_FALSE(w->ErrorFlag) << name << w->ConsoleOutput;
    EXPECT_GT(platform::FileSize(dir_ / name), 0) << name;
  }
}

TEST_F(ConvertRealTest, StopEndsCvtcoreAndFfmpeg) {
  // A FIFO keeps the input endless, so the run is still going when stopped.
  const std::string fifo = dir_ / "live.wav";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ::signal(SIGPIPE, SIG_IGN);
  std::atomic<bool> stopWriting{false};
  std::thread writer([&] {
    int fd = ::open(fifo.c_str(), O_WRONLY);
    if (fd < 0) return;
    // WAV header with open-ended sizes, then silence for as long as it is read.
    const unsigned char header[44] = {
        'R',  'I', 'F', 'F', 0xff, 0xff, 0xff, 0xff, 'W', 'A',  'V',  'E',  'f',  'm',  't',
        ' ',  16,  0,   0,   0,    1,    0,    1,    0,   0x44, 0xac, 0,    0,    0x88, 0x58,
        0x01, 0,   2,   0,   16,   0,    'd',  'a',  't', 'a',  0xff, 0xff, 0xff, 0xff};
    bool ok = ::write(fd, header, sizeof header) == sizeof header;
    std::vector<char> silence(8192, 0);
    while (ok && !stopWriting) ok = ::write(fd, silence.data(), silence.size()) > 0;
    ::close(fd);
  });
  TCnvtSettings s;
  s.ACodec = "libmp3lame";
  s.Frequency = 44100;
  s.ABitrate = 64;
  s.Channels = 1;
  auto w = std::make_unique<TConvertThread>(fifo, false, s, dir_ / "live.mp3",
                                            platform::CallQueue::Current());
  Recorder rec;
  rec.Attach(*w);
  w->Start();
  pid_t ffmpeg = 0;
  ASSERT_TRUE(WaitFor([&] {
    pid_t enc = w->EncoderPid();
    if (enc <= 0) return false;
    std::ifstream children("/proc/" + std::to_string(enc) + "/task/" + std::to_string(enc) +
                           "/children");
    return static_cast<bool>(children >> ffmpeg);
  }));
  pid_t encoder = w->EncoderPid();
  w->RequestStop();
  ASSERT_TRUE(WaitFor([&] { return w->Finished(); }));
  EXPECT_TRUE(ProcessGone(encoder));
  EXPECT_TRUE(WaitFor([&] { return ProcessGone(ffmpeg); }));
  EXPECT_EQ(rec.doneCalls, 0);
  stopWriting = true;
  writer.join();
}

}  // namespace
