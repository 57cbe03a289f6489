#include "convert/ConvertThread.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

#include "convert/EncoderOutput.h"
#include "convert/MediaInfo.h"
#include "log/LogWriter.h"
#include "platform/CallQueue.h"
#include "platform/CommandLine.h"
#include "platform/ExeFolder.h"
#include "platform/Files.h"
#include "platform/Process.h"

namespace {

const char kAudioTemplate[] =
    "-i \"[INFILE]\" -ar [KHZ] -ab [AKBIT]k -ac [CHANNEL] -vn [CODEC] -y \"[OUTFILE]\"";

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

// cvtcore's variable for the input's audio format ("<rate> <channels>").
const char kInputAudioVariable[] = "CVTCORE_INPUT_AUDIO";

std::atomic<long long> g_infoPassLimitMs{30000};

std::string LimitText(std::chrono::milliseconds limit) {
  const long long ms = limit.count();
  return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace

bool TConvertThread::NeedsInformationPass(const TCnvtSettings& s) {
  return !s.VideoPreset && (s.Frequency == 0 || s.ABitrate == 0 || s.Channels == 0);
}

void TConvertThread::SetInformationPassLimit(std::chrono::milliseconds limit) {
  g_infoPassLimitMs = limit.count();
}

std::chrono::milliseconds TConvertThread::InformationPassLimit() {
  return std::chrono::milliseconds(g_infoPassLimitMs.load());
}

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
  if (NeedsInformationPass(s)) {
    RunInformationPass(inFile);
    const TProbedAudio probed = ParseProbeText(ResultText);
    rate = probed.Rate;
    bitrate = probed.Bitrate;
    channels = probed.Channels;
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

void TConvertThread::RunInformationPass(const std::string& inFile) {
  ProgressMode = false;
  infoDeadline_ = std::chrono::steady_clock::now() + InformationPassLimit();
  std::string description;
  // Without an encoder the job fails here as it always has, before any reading.
  const bool encoderThere = ::access(EncoderPath().c_str(), X_OK) == 0;
  switch (encoderThere ? DescribeMediaFile(inFile, infoDeadline_, StopFlag, description)
                       : TMediaInfoResult::NotRead) {
    case TMediaInfoResult::Described: {
      // The same text the encoder's pass prints, read by the same parser.
      ConsoleOutput += "\r\n" + description;
      TEncoderOutputParser parser;
      parser.Step(description, false, ResultText, Percent);
      ErrorFlag = ResultText.empty();
      return;
    }
    case TMediaInfoResult::TimedOut:
      ResultText.clear();
      InformationPassTimedOut();
      return;
    case TMediaInfoResult::Stopped:
      return;
    case TMediaInfoResult::NotRead:
      break;
  }
  // A file the library cannot read goes to the encoder's own pass, within
  // what is left of the same limit.
  CommandLine = ExecutablePart() + "-vn -i \"" + inFile + "\" ";
  Arguments = {EncoderPath(), "-vn", "-i", inFile};
  RunEncoder();
}

void TConvertThread::InformationPassTimedOut() {
  InformationPassNote = "The encoder's description of \"" + InFile + "\" took over " +
                        LimitText(InformationPassLimit()) +
                        " and was ended; the defaults take the place of open values";
  ConsoleOutput += "\r\n" + InformationPassNote;
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
  needsInputAudio_ = s.ABitrate != 0;  // the video line never sets the rate
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
    pumping_ = true;  // the worker's end then wakes the wait below at once
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
    if (needsInputAudio_) PassInputAudioFormat();
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
  // A WaitFor pumping the report queue would otherwise see the end only at
  // its next 5 ms poll: every conversion's end (and the window's removal of
  // a finished job) waited for it.
  if (pumping_) {
    try {
      auto wake = std::make_shared<platform::CallQueue::Posted>();
      wake->fn = [] {};
      queue_->Post(wake);
    } catch (const platform::CallQueueClosed&) {
    }
  }
}

void TConvertThread::PassInputAudioFormat() {
  TMediaAudio audio;
  const auto deadline = std::chrono::steady_clock::now() + InformationPassLimit();
  switch (ReadMediaAudio(InFile, deadline, StopFlag, audio)) {
    case TMediaInfoResult::Described:
      encoderEnvironment_ = {std::string(kInputAudioVariable) + "=" + std::to_string(audio.Rate) +
                             " " + std::to_string(audio.Channels)};
      return;
    case TMediaInfoResult::TimedOut:
    case TMediaInfoResult::Stopped:
      // Unknown: the encoder keeps the preset's bit rate rather than wait again.
      encoderEnvironment_ = {std::string(kInputAudioVariable) + "=0 0"};
      return;
    case TMediaInfoResult::NotRead:
      return;  // the encoder's own probe may know the file better
  }
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
  TEncoderOutputParser parser;

  std::vector<std::string> argv =
      Arguments.empty() ? platform::SplitCommandLine(CommandLine) : Arguments;
  platform::TProcess process;
  platform::ProcessOptions options;
  options.lowerPriority = true;
  options.ownProcessGroup = true;
  // The starting thread always outlives the encoder (it reaps it), so the
  // parent-death signal only fires when the whole program goes away.
  options.killWithParent = true;
  // Only what this run found, never a value inherited from the program's own environment.
  options.environment =
      encoderEnvironment_.empty() ? std::vector<std::string>{kInputAudioVariable} : encoderEnvironment_;
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
  char buffer[1025];
  auto stop = [&] {
    unregister();
    process.Terminate(SIGKILL);  // the whole group: no orphan
    ExitCode = process.Wait();   // reaped at once: no zombie
  };
  // Only the information pass has a limit: it holds up a conversion start,
  // while a conversion run may rightly take hours.
  const auto deadline = infoDeadline_;
  for (;;) {
    if (StopFlag) return stop();
    ssize_t got;
    if (ProgressMode) {
      got = process.Read(buffer, 1024);
    } else {
      got = process.Read(buffer, 1024,
                         std::chrono::duration_cast<std::chrono::milliseconds>(
                             deadline - std::chrono::steady_clock::now()));
      if (got == platform::TProcess::kReadTimedOut) {
        stop();
        process.CloseRead();
        ResultText.clear();  // a partial description is not trusted: defaults
        InformationPassTimedOut();
        return;
      }
    }
    // A stop asked for during the read: the output that ended the wait is
    // not reported any more.
    if (StopFlag) return stop();
    const bool ended = got <= 0;
    buffer[ended ? 0 : got] = '\0';
    const std::string chunk(buffer);  // up to the first zero byte
    ConsoleOutput += "\r\n" + chunk;

    if (parser.Step(chunk, ProgressMode, ResultText, Percent)) {
      EncoderSpeed = parser.Speed();
      EncoderPosition = parser.Position();
      EncoderDuration = static_cast<double>(parser.Seconds());
      ReportProgress();
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
  if (!ErrorFlag) TagWarning = WriteOutputTags(OutFile, Tags);
  ReportDone();
}
