#include "convert/ConvertThread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <csignal>

#include "log/LogWriter.h"
#include "platform/CallQueue.h"
#include "platform/CommandLine.h"
#include "platform/ExeFolder.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/RegExpr.h"

namespace {

const char kAudioTemplate[] =
    "-i \"[INFILE]\" -ar [KHZ] -ab [AKBIT]k -ac [CHANNEL] -vn [CODEC] -y \"[OUTFILE]\"";
const char kDurationPattern[] = "Duration:\\s(\\d{2}):(\\d{2}):(\\d{2})";
const char kTimePattern[] = "time=(\\d+).\\d*";
const char kAudio4Pattern[] = "Audio:\\s([^,]+),\\s([^,]+),\\s([^,]+),\\s([^,]+)kb\\/s";
const char kAudio3Pattern[] = "Audio:\\s([^,]+),\\s([^,]+),\\s([^,]+)\\r\\n";
const char kSeparator[] = "|||";

std::string EncoderPath() {
  return platform::ExeFolder() + "cvtcore";
}
std::string ExecutablePart() {
  return "\"" + EncoderPath() + "\" ";
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  size_t pos = 0;
  while ((pos = text.find(from, pos)) != std::string::npos) {
    text.replace(pos, from.size(), to);
    pos += to.size();
  }
}

// Blanks and control characters off both ends.
std::string TrimControl(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

// Leading decimal digits as a number (0 when there are none), saturating.
int64_t LeadingNumber(const std::string& s) {
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') break;
    if (v > (INT64_MAX - 9) / 10) return INT64_MAX;
    v = v * 10 + (c - '0');
  }
  return v;
}

int32_t ClampInt32(int64_t v) {
  return static_cast<int32_t>(std::min<int64_t>(v, INT32_MAX));
}

std::vector<std::string> SplitProbe(const std::string& text) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(kSeparator, start);
    if (at == std::string::npos) break;
    pieces.push_back(TrimControl(text.substr(start, at - start)));
    start = at + 3;
  }
  std::string last = TrimControl(text.substr(start));
  if (!last.empty()) pieces.push_back(last);
  return pieces;
}

int32_t RoundPercent(int64_t t, int64_t duration) {
  long double p = static_cast<long double>(t) / static_cast<long double>(duration) * 100.0L;
  // Halves go to the even neighbour (12.5 → 12, 37.5 → 38).
  const int saved = std::fegetround();
  std::fesetround(FE_TONEAREST);
  long double r = std::nearbyint(p);
  std::fesetround(saved);
  return r >= 100.0L ? 100 : static_cast<int32_t>(r);
}

}  // namespace

TConvertThread::TConvertThread(const std::string& inFile, bool stopRequested,
                               const TCnvtSettings& settings, const std::string& outFile,
                               std::shared_ptr<platform::CallQueue> reportQueue)
    : queue_(std::move(reportQueue)) {
  if (!queue_) throw std::invalid_argument("TConvertThread needs the queue of the report thread");
  StopFlag = stopRequested;
  InFile = inFile;
  OutFile = outFile;
  CommandLine = settings.VideoPreset ? BuildVideoCommandLine(inFile, outFile, settings)
                                     : BuildAudioCommandLine(inFile, outFile, settings);
  ErrorFlag = false;
  ProgressMode = true;
}

TConvertThread::~TConvertThread() {
  Detach();
  StopFlag = true;
  KillEncoder();
  WaitFor();
}

std::string TConvertThread::BuildAudioCommandLine(const std::string& inFile,
                                                  const std::string& outFile,
                                                  const TCnvtSettings& s) {
  int32_t rate = 0, bitrate = 0, channels = 0;
  if (s.Frequency == 0 || s.ABitrate == 0 || s.Channels == 0) {
    CommandLine = ExecutablePart() + "-vn -i \"" + inFile + "\" ";
    Arguments = {EncoderPath(), "-vn", "-i", inFile};
    ProgressMode = false;
    RunEncoder();
    auto pieces = SplitProbe(ResultText);
    if (pieces.size() >= 3) {
      std::string p = pieces[2];
      ReplaceAll(p, "Hz", "");
      rate = ClampInt32(LeadingNumber(TrimControl(p)));
    }
    if (pieces.size() >= 4) {
      std::string p = pieces[3];
      std::transform(p.begin(), p.end(), p.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
      channels = TrimControl(p) == "stereo" ? 2 : 1;
    }
    if (pieces.size() == 5) {
      std::string p = pieces[4];
      ReplaceAll(p, "kbit", "");
      bitrate = ClampInt32(LeadingNumber(TrimControl(p)));
    }
  }
  rate = s.Frequency ? s.Frequency : rate ? rate : 44100;
  bitrate = s.ABitrate ? s.ABitrate : bitrate ? bitrate : 64;
  channels = s.Channels ? s.Channels : channels ? channels : 2;

  const std::string codecName = s.ACodec.empty() ? "copy" : s.ACodec;
  const std::string codec = codecName == "default" ? "" : "-acodec " + codecName;

  // Shown text: replacements run over the whole text, paths included. The argv
  // below is what the encoder gets, with every path exactly as given.
  std::string text = kAudioTemplate;
  ReplaceAll(text, "[INFILE]", inFile);
  ReplaceAll(text, "[OUTFILE]", outFile);
  ReplaceAll(text, "[KHZ]", std::to_string(rate));
  ReplaceAll(text, "[AKBIT]", std::to_string(bitrate));
  ReplaceAll(text, "[CHANNEL]", std::to_string(channels));
  ReplaceAll(text, "[CODEC]", codec);

  Arguments = {EncoderPath(),
               "-i",
               inFile,
               "-ar",
               std::to_string(rate),
               "-ab",
               std::to_string(bitrate) + "k",
               "-ac",
               std::to_string(channels),
               "-vn"};
  if (codecName != "default") Arguments.insert(Arguments.end(), {"-acodec", codecName});
  Arguments.insert(Arguments.end(), {"-y", outFile});
  return ExecutablePart() + text;
}

std::string TConvertThread::BuildVideoCommandLine(const std::string& inFile,
                                                  const std::string& outFile,
                                                  const TCnvtSettings& s) {
  std::string text = ExecutablePart() + "-i \"" + inFile + "\" -sameq ";
  std::vector<std::string> argv = {EncoderPath(), "-i", inFile, "-sameq"};
  auto add = [&](const std::string& option, const std::string& value) {
    text += " " + option + " " + value;
    argv.insert(argv.end(), {option, value});
  };
  if (s.ABitrate != 0) add("-ab", std::to_string(s.ABitrate) + "k");
  if (s.VBitrate != 0) add("-b", std::to_string(s.VBitrate) + "k");
  if (!s.VideoSize.empty()) add("-s", s.VideoSize);
  if (s.Channels != 0) add("-ac", std::to_string(s.Channels));
  if (!s.VCodec.empty()) add("-vcodec", s.VCodec);
  if (!s.ACodec.empty()) add("-acodec", s.ACodec);
  text += " -r 29.97 ";
  text += " -y \"" + outFile + "\"";
  argv.insert(argv.end(), {"-r", "29.97", "-y", outFile});
  Arguments = std::move(argv);
  return text;
}

void TConvertThread::Start() {
  if (started_.exchange(true)) return;
  thread_ = std::thread([this] { Execute(); });
}

void TConvertThread::Detach() {
  std::lock_guard lock(reportMutex_);
  detached_ = true;
}

void TConvertThread::WaitFor() {
  if (!thread_.joinable()) return;
  if (thread_.get_id() == std::this_thread::get_id()) return;
  // The worker may be blocked in a report that only this thread can run.
  if (queue_->IsBaseThread()) {
    while (!finished_) queue_->WaitAndDrain(std::chrono::milliseconds(5));
  }
  thread_.join();
}

void TConvertThread::KillEncoder() {
  std::lock_guard lock(procMutex_);
  if (proc_) proc_->Terminate(SIGKILL);
}

void TConvertThread::Execute() {
  // Below normal: the worker only reads a pipe; the encoder runs at nice +10.
  errno = 0;
  int base = ::getpriority(PRIO_PROCESS, ::getpid());
  if (errno == 0)
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), std::min(base + 3, 19));
  try {
    RunEncoder();
  } catch (const EConvertError& e) {
    // Reported as a failed run, so the job does not stay "Encoding..." for ever.
    ErrorFlag = true;
    ConsoleOutput += "\r\n" + std::string(e.what());
    if (!StopFlag) ReportDone();
  } catch (const std::exception& e) {
    LogError(e);
    ErrorFlag = true;
    if (!StopFlag) ReportDone();
  }
  finished_ = true;
}

void TConvertThread::Report(const std::function<void()>& call) {
  try {
    queue_->Call([this, &call] {
      std::lock_guard lock(reportMutex_);
      if (!detached_) call();
    });
  } catch (const platform::CallQueueClosed&) {
    // The main thread is gone; nobody wants the report.
  } catch (const std::exception& e) {
    LogError(e);  // a handler failed; the run itself goes on
  }
}

void TConvertThread::ReportProgress() {
  Report([this] {
    if (OnProgress) OnProgress(this, Percent);
  });
}

void TConvertThread::ReportDone() {
  Report([this] {
    if (OnDone) OnDone(this);
  });
}

void TConvertThread::RunEncoder() {
  if (StopFlag) return;
  platform::TRegExpr duration, time, audio4, audio3;
  duration.SetExpression(kDurationPattern);
  time.SetExpression(kTimePattern);
  audio4.SetExpression(kAudio4Pattern);
  audio3.SetExpression(kAudio3Pattern);

  std::vector<std::string> argv =
      Arguments.empty() ? platform::SplitCommandLine(CommandLine) : Arguments;
  platform::TProcess process;
  platform::ProcessOptions options;
  options.lowerPriority = true;
  options.ownProcessGroup = true;
  // The starting thread always outlives the encoder (it reaps it), so the
  // parent-death signal only fires when the whole program goes away.
  options.killWithParent = true;
  std::string why;
  if (!process.Start(argv, options, &why)) {
    ErrorFlag = true;
    ConsoleOutput += "\r\n" + why;
    throw EConvertError("Could not execute command line!\r" + CommandLine);
  }
  lastPid_ = process.Pid();
  {
    std::lock_guard lock(procMutex_);
    proc_ = &process;
  }
  auto unregister = [&] {
    std::lock_guard lock(procMutex_);
    proc_ = nullptr;
  };

  ResultText.clear();
  int64_t seconds = 0;
  char buffer[1025];
  auto stop = [&] {
    unregister();
    process.Terminate(SIGKILL);  // the whole group: no orphan
    ExitCode = process.Wait();   // reaped at once: no zombie
  };
  for (;;) {
    if (StopFlag) return stop();
    ssize_t got = process.Read(buffer, 1024);
    // A stop asked for during the read: the output that ended the wait is
    // not reported any more.
    if (StopFlag) return stop();
    const bool ended = got <= 0;
    buffer[ended ? 0 : got] = '\0';
    const std::string chunk(buffer);  // up to the first zero byte
    ConsoleOutput += "\r\n" + chunk;

    if (duration.Exec(chunk)) {
      seconds = LeadingNumber(duration.Match(1)) * 3600 + LeadingNumber(duration.Match(2)) * 60 +
                LeadingNumber(duration.Match(3));
      if (!ProgressMode) ResultText = std::to_string(seconds);
    }
    if (ProgressMode) {
      if (seconds != 0 && time.Exec(chunk)) {
        Percent = RoundPercent(LeadingNumber(time.Match(1)), seconds);
        ResultText = std::to_string(Percent);
        ReportProgress();
      }
    } else if (audio4.Exec(chunk)) {
      for (int g = 1; g <= 4; ++g) ResultText += kSeparator + audio4.Match(g);
    } else if (audio3.Exec(chunk)) {
      for (int g = 1; g <= 3; ++g) ResultText += kSeparator + audio3.Match(g);
    }
    ErrorFlag = ResultText.empty();
    if (ended) break;
  }
  unregister();
  ExitCode = process.Wait();
  process.CloseRead();
  if (!ProgressMode) return;
  if (StopFlag) return;  // a stop that raced with the encoder's end: still no report

  // Success needs more than a percent: a clean exit and a real output file.
  if (!ErrorFlag && ExitCode != 0) {
    ErrorFlag = true;
    ConsoleOutput += "\r\nThe encoder ended with exit code " + std::to_string(ExitCode);
  }
  if (!ErrorFlag && platform::FileSize(OutFile) <= 0) {
    ErrorFlag = true;
    ConsoleOutput += "\r\nThe output file is missing or empty: " + OutFile;
  }
  ReportDone();
}
