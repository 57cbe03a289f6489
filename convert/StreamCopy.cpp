#include "convert/StreamCopy.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "log/LogWriter.h"
#include "platform/CallQueue.h"
#include "platform/ExeFolder.h"
#include "platform/Process.h"

namespace {

std::string EncoderPath() { return platform::ExeFolder() + "cvtcore"; }

// "  Duration: 00:01:02.50, start: ..." → seconds; negative when the line holds none.
double DurationOf(const std::string& line) {
  const size_t at = line.find("Duration: ");
  if (at == std::string::npos) return -1;
  int h = 0, m = 0;
  double s = 0;
  if (std::sscanf(line.c_str() + at + 10, "%d:%d:%lf", &h, &m, &s) != 3) return -1;
  return h * 3600.0 + m * 60.0 + s;
}

// "size=12kB time=3.50 speed=1.2x" → 3.5; negative for other lines.
double TimeOf(const std::string& line) {
  if (line.rfind("size=", 0) != 0) return -1;
  const size_t at = line.find(" time=");
  if (at == std::string::npos) return -1;
  return std::atof(line.c_str() + at + 6);
}

// The encoder's reason: its last few lines that are neither progress nor the
// description of the streams.
std::string ReasonOf(const std::vector<std::string>& lines, int code) {
  std::string reason;
  int kept = 0;
  for (auto it = lines.rbegin(); it != lines.rend() && kept < 3; ++it) {
    const std::string& l = *it;
    if (l.empty() || TimeOf(l) >= 0 || DurationOf(l) >= 0 || l.rfind("Input #", 0) == 0 ||
        l.rfind("Output #", 0) == 0 || l.find("Stream #") != std::string::npos)
      continue;
    reason = reason.empty() ? l : l + "; " + reason;
    ++kept;
  }
  if (reason.empty()) reason = "the encoder ended with exit code " + std::to_string(code);
  return reason;
}

}  // namespace

std::vector<std::string> TStreamCopy::MergeArguments(const std::string& video,
                                                     const std::string& audio,
                                                     const std::string& output) {
  return {EncoderPath(), "-merge", "-i", video, "-i", audio, "-y", output};
}

std::vector<std::string> TStreamCopy::FetchArguments(const std::string& address,
                                                     const std::vector<std::pair<std::string, std::string>>& headers,
                                                     const std::string& output) {
  std::vector<std::string> argv = {EncoderPath(), "-fetch", address};
  std::string lines;
  for (const auto& [name, value] : headers) {
    // A header with a line break cannot be sent as one line; the reader drops such.
    if (name.find_first_of("\r\n") != std::string::npos ||
        value.find_first_of("\r\n") != std::string::npos)
      continue;
    lines += name + ": " + value + "\r\n";
  }
  if (!lines.empty()) argv.insert(argv.end(), {"-headers", lines});
  argv.insert(argv.end(), {"-y", output});
  return argv;
}

TStreamCopy::TStreamCopy(std::vector<std::string> arguments, std::vector<std::string> environment,
                         std::shared_ptr<platform::CallQueue> reportQueue)
    : arguments_(std::move(arguments)),
      environment_(std::move(environment)),
      queue_(std::move(reportQueue)) {
  if (!queue_) throw std::invalid_argument("TStreamCopy needs the queue of the report thread");
}

TStreamCopy::~TStreamCopy() {
  Stop();
  // The worker never waits for the report queue, so joining cannot deadlock.
  if (thread_.joinable()) thread_.join();
}

void TStreamCopy::Start() {
  if (started_.exchange(true)) return;
  thread_ = std::thread([this] { Execute(); });
}

void TStreamCopy::Stop() {
  live_->store(false);
  stop_ = true;
  std::lock_guard lock(procMutex_);
  if (proc_) proc_->Terminate(SIGKILL);
}

void TStreamCopy::Post(std::function<void()> fn) {
  auto call = std::make_shared<platform::CallQueue::Posted>();
  call->fn = [live = live_, fn = std::move(fn)] {
    if (live->load()) fn();
  };
  try {
    queue_->Post(call);
  } catch (const std::exception&) {
    // The report thread is gone: nobody wants the report.
  }
}

void TStreamCopy::Execute() {
  TResult result;
  std::vector<std::string> lines;  // the last ones, for the reason
  try {
    platform::TProcess process;
    platform::ProcessOptions options;
    options.lowerPriority = true;
    options.ownProcessGroup = true;
    options.killWithParent = true;  // this thread reaps it, so it outlives the child
    options.environment = environment_;
    std::string why;
    if (!stop_ && !process.Start(arguments_, options, &why)) {
      result.Reason = "Could not run the encoder " + arguments_[0] + ": " + why;
    } else if (!stop_) {
      {
        std::lock_guard lock(procMutex_);
        proc_ = &process;
      }
      if (stop_) process.Terminate(SIGKILL);  // a stop that came while starting
      double duration = 0;
      std::string pending;
      char buffer[4096];
      for (;;) {
        const ssize_t got = process.Read(buffer, sizeof buffer);
        if (got <= 0) break;
        pending.append(buffer, static_cast<size_t>(got));
        size_t eol;
        while ((eol = pending.find_first_of("\r\n")) != std::string::npos) {
          std::string line = pending.substr(0, eol);
          pending.erase(0, eol + 1);
          if (line.empty()) continue;
          const double d = DurationOf(line);
          // The first input's running time: the video of a merge, the playlist of a fetch.
          if (d > 0 && duration <= 0) duration = d;
          const double t = TimeOf(line);
          if (t >= 0 && !stop_) Post([this, t, duration] {
              if (OnProgress) OnProgress(t, duration);
            });
          lines.push_back(std::move(line));
          if (lines.size() > 40) lines.erase(lines.begin());
        }
      }
      {
        std::lock_guard lock(procMutex_);
        proc_ = nullptr;
      }
      result.ExitCode = process.Wait();
      process.CloseRead();
      result.Ok = result.ExitCode == 0;
      if (!result.Ok) result.Reason = ReasonOf(lines, result.ExitCode);
    }
  } catch (const std::exception& e) {
    LogError(e);
    result.Ok = false;
    result.Reason = e.what();
  }
  if (!stop_) Post([this, result] {
      if (OnDone) OnDone(result);
    });
  finished_ = true;
}
