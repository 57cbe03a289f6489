#pragma once
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "convert/CnvtSettings.h"
#include "convert/ConvertThread.h"
#include "platform/ExeFolder.h"
#include "platform/Process.h"
#include "tests/support/TestSupport.h"

namespace converttest {

// Runs a tool from PATH to its end; returns its exit code and output.
inline int Tool(const std::vector<std::string>& argv, std::string* output = nullptr) {
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

// What ffprobe reports for one stream of file ("a:0", "v:0"), by field name.
inline std::map<std::string, std::string> Probe(const std::string& file,
                                                const std::string& stream) {
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

// The container's and the first stream's tags as ffprobe reads them (Ogg keeps
// its comments on the stream), by lower-case key.
inline std::map<std::string, std::string> Tags(const std::string& file) {
  std::string out;
  Tool({"ffprobe", "-v", "error", "-show_entries", "format_tags:stream_tags", "-of", "default=nw=1",
        "file:" + file},
       &out);
  std::map<std::string, std::string> values;
  std::istringstream lines(out);
  for (std::string l; std::getline(lines, l);) {
    auto eq = l.find('=');
    if (l.rfind("TAG:", 0) != 0 || eq == std::string::npos) continue;
    std::string key = l.substr(4, eq - 4);
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    values[key] = l.substr(eq + 1);
  }
  return values;
}

// Has ffmpeg write the clip at path from options (inputs and codecs); returns its exit code.
inline int MakeClip(const std::string& path, const std::vector<std::string>& options) {
  std::vector<std::string> argv = {"ffmpeg", "-v", "error", "-nostdin", "-y"};
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back(path);
  return Tool(argv);
}

// Clip options: a stereo 440 Hz tone.
inline std::vector<std::string> ToneClip(int seconds, int rate) {
  const std::string tone = "sine=frequency=440:sample_rate=" + std::to_string(rate) +
                           ":duration=" + std::to_string(seconds);
  return {"-f", "lavfi", "-i", tone, "-ac", "2"};
}

// Clip options: two seconds of 320x240 test picture with a tone.
inline std::vector<std::string> VideoClip() {
  return {"-f",        "lavfi", "-i",      "testsrc=duration=2:size=320x240:rate=25",
          "-f",        "lavfi", "-i",      "sine=duration=2",
          "-shortest", "-c:v",  "libx264", "-preset",
          "ultrafast"};
}

// Settings for an audio-only output.
inline TCnvtSettings Audio(int32_t rate, int32_t kbit, int32_t channels, const std::string& codec) {
  TCnvtSettings s;
  s.Frequency = rate;
  s.ABitrate = kbit;
  s.Channels = channels;
  s.ACodec = codec;
  return s;
}

// A video output small enough to check by its size: MPEG-4 at 160x120 with stereo MP3.
inline TCnvtSettings SmallVideo() {
  TCnvtSettings s;
  s.VideoPreset = true;
  s.VCodec = "mpeg4";
  s.ACodec = "libmp3lame";
  s.ABitrate = 64;
  s.Channels = 2;
  s.VideoSize = "160x120";
  return s;
}

// An endless WAV behind a FIFO, so a conversion of it runs until stopped. The
// writer thread feeds silence for as long as the FIFO is read.
class EndlessWav {
 public:
  explicit EndlessWav(std::string fifo) : fifo_(std::move(fifo)) {
    made_ = ::mkfifo(fifo_.c_str(), 0600) == 0;
    if (!made_) return;
    ::signal(SIGPIPE, SIG_IGN);
    writer_ = std::thread([this] {
      int fd = ::open(fifo_.c_str(), O_WRONLY);
      if (fd < 0) {
        ended_ = true;
        return;
      }
      // WAV header with open-ended sizes, then silence.
      const unsigned char header[44] = {
          'R',  'I', 'F', 'F', 0xff, 0xff, 0xff, 0xff, 'W', 'A',  'V',  'E',  'f',  'm',  't',
          ' ',  16,  0,   0,   0,    1,    0,    1,    0,   0x44, 0xac, 0,    0,    0x88, 0x58,
          0x01, 0,   2,   0,   16,   0,    'd',  'a',  't', 'a',  0xff, 0xff, 0xff, 0xff};
      bool ok = ::write(fd, header, sizeof header) == sizeof header;
      std::vector<char> silence(8192, 0);
      while (ok && !stop_) {
        ok = ::write(fd, silence.data(), silence.size()) > 0;
        if (ok) ++written_;
      }
      ::close(fd);
      ended_ = true;
    });
  }
  ~EndlessWav() {
    if (!writer_.joinable()) return;
    stop_ = true;
    // Frees a writer stuck in open, and takes what it still writes: with this
    // reader open its write would block on a full pipe for ever instead of
    // failing, and it only looks at stop_ between writes.
    int fd = ::open(fifo_.c_str(), O_RDONLY | O_NONBLOCK);
    std::vector<char> sink(8192);
    while (!ended_) {
      pollfd ready{fd, POLLIN, 0};
      ::poll(&ready, fd >= 0 ? 1 : 0, 10);
      if (fd >= 0)
        while (::read(fd, sink.data(), sink.size()) > 0) {
        }
    }
    writer_.join();
    if (fd >= 0) ::close(fd);
  }
  EndlessWav(const EndlessWav&) = delete;
  EndlessWav& operator=(const EndlessWav&) = delete;

  // False when the FIFO could not be made (nothing is written then).
  bool made() const { return made_; }
  const std::string& path() const { return fifo_; }
  // Blocks of silence written so far.
  int written() const { return written_; }

 private:
  std::string fifo_;
  bool made_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<int> written_{0};
  std::atomic<bool> ended_{false};
  std::thread writer_;
};

// Reads the first child of a running process into child; false while it has none.
inline bool FirstChild(pid_t parent, pid_t& child) {
  std::ifstream children("/proc/" + std::to_string(parent) + "/task/" + std::to_string(parent) +
                         "/children");
  return static_cast<bool>(children >> child);
}

using testsupport::ProcessGone;

// Collects a worker's reports on the test (main) thread.
struct Recorder {
  std::vector<int32_t> percents;
  int doneCalls = 0;
  bool onMainThread = true;
  std::thread::id main = std::this_thread::get_id();

  void Attach(TConvertThread& worker) {
    worker.SetOnProgress([this](TConvertThread*, int32_t p) {
      onMainThread = onMainThread && std::this_thread::get_id() == main;
      percents.push_back(p);
    });
    worker.SetOnDone([this](TConvertThread*) {
      onMainThread = onMainThread && std::this_thread::get_id() == main;
      ++doneCalls;
    });
  }
};

// Points the program's folder at a sandbox and restores it afterwards.
struct ExeFolderScope {
  explicit ExeFolderScope(const std::string& folder) { platform::SetExeFolderOverride(folder); }
  ~ExeFolderScope() { platform::SetExeFolderOverride(""); }
};

}  // namespace converttest
