// cvtcore: the encoder program the conversion worker runs. Takes the classic
// option syntax, runs the system's ffmpeg (or ffprobe to describe an input) and
// prints the console lines the worker reads, with CR LF line ends.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Process.h"
#include "tools/cvtcore/CvtCore.h"
#include "tools/cvtcore/StreamModes.h"

namespace {

volatile sig_atomic_t g_signal = 0;
volatile pid_t g_child = 0;

void OnTerminate(int sig) {
  g_signal = sig;
  if (g_child > 0) ::kill(g_child, SIGKILL);
}

void WriteAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// One write per line: the worker reads in chunks and a line kept whole is
// matched whole.
void PrintLine(const std::string& line) {
  WriteAll(STDOUT_FILENO, line + "\r\n");
}

int Fail(int code, const std::string& message) {
  WriteAll(STDERR_FILENO, "cvtcore: " + message + "\r\n");
  return code;
}

// Starts the child with stdout → outFd and stderr → errFd. The child dies with
// this program (parent-death signal) so a killed cvtcore leaves no encoder.
pid_t Spawn(const std::vector<std::string>& argv, int outFd, int errFd, std::string& error) {
  std::vector<char*> cargv;
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) {
    error = ::strerror(errno);
    return -1;
  }
  const pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &dfl, nullptr);
    ::dup2(outFd, STDOUT_FILENO);
    ::dup2(errFd, STDERR_FILENO);
    ::execv(cargv[0], cargv.data());
    int e = errno;
    (void)!::write(report[1], &e, sizeof e);
    ::_exit(127);
  }
  ::close(report[1]);
  if (pid < 0) {
    error = ::strerror(errno);
    ::close(report[0]);
    return -1;
  }
  g_child = pid;
  if (g_signal) ::kill(pid, SIGKILL);  // a stop that arrived while starting
  int childErrno = 0;
  ssize_t got;
  do {
    got = ::read(report[0], &childErrno, sizeof childErrno);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);
  if (got == static_cast<ssize_t>(sizeof childErrno)) {
    ::waitpid(pid, nullptr, 0);
    g_child = 0;
    error = ::strerror(childErrno);
    return -1;
  }
  return pid;
}

int WaitChild(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return 1;
  }
  g_child = 0;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return 1;
}

// Feeds complete lines of buffer to fn; keeps the unfinished rest.
template <typename Fn>
void TakeLines(std::string& buffer, bool flush, Fn fn) {
  size_t start = 0;
  for (;;) {
    size_t eol = buffer.find_first_of("\r\n", start);
    if (eol == std::string::npos) break;
    if (eol > start) fn(buffer.substr(start, eol - start));
    start = eol + 1;
  }
  buffer.erase(0, start);
  if (flush && !buffer.empty()) {
    fn(buffer);
    buffer.clear();
  }
}

int Describe(const std::string& input) {
  if (auto wav = cvtcore::WavProbeText(input)) {
    WriteAll(STDOUT_FILENO, cvtcore::DescribeProbe(*wav));
    return 0;
  }
  std::string ffprobe = platform::FindOnPath("ffprobe");
  if (ffprobe.empty())
    return Fail(127, "ffprobe was not found on PATH; install FFmpeg to describe files");
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return Fail(1, ::strerror(errno));
  std::string error;
  pid_t pid = Spawn(cvtcore::FfprobeArguments(ffprobe, input), pipeFds[1], pipeFds[1], error);
  ::close(pipeFds[1]);
  if (pid < 0) {
    ::close(pipeFds[0]);
    return Fail(127, "could not run " + ffprobe + ": " + error);
  }
  std::string text;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(pipeFds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  ::close(pipeFds[0]);
  int code = WaitChild(pid);
  // The whole description in one write, so the worker sees it as one piece.
  WriteAll(STDOUT_FILENO, cvtcore::DescribeProbe(text));
  return code;
}

// ffprobe's "sample_rate=" and "channels=" lines of the first audio stream;
// empty when it cannot tell.
std::string RunProbe(const std::string& input) {
  std::string ffprobe = platform::FindOnPath("ffprobe");
  int pipeFds[2];
  if (ffprobe.empty() || ::pipe2(pipeFds, O_CLOEXEC) != 0) return {};
  std::string error;
  pid_t pid = Spawn({ffprobe, "-v", "error", "-select_streams", "a:0", "-show_entries",
                     "stream=sample_rate,channels", "-of", "default=nw=1", cvtcore::FileUrl(input)},
                    pipeFds[1], pipeFds[1], error);
  ::close(pipeFds[1]);
  std::string text;
  char buf[1024];
  while (pid > 0) {
    ssize_t n = ::read(pipeFds[0], buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  ::close(pipeFds[0]);
  if (pid < 0 || WaitChild(pid) != 0) return {};
  return text;
}

// Sample rate and channels of the input's first audio stream; 0 when unknown.
void ProbeAudioFormat(const std::string& input, int& rate, int& channels) {
  rate = channels = 0;
  auto wav = cvtcore::WavProbeText(input);
  std::string buffer = wav ? *wav : RunProbe(input);
  TakeLines(buffer, true, [&](const std::string& line) {
    if (line.rfind("sample_rate=", 0) == 0) rate = std::atoi(line.c_str() + 12);
    if (line.rfind("channels=", 0) == 0) channels = std::atoi(line.c_str() + 9);
  });
}

int Relay(const std::vector<std::string>& argv);

int Convert(cvtcore::Request request) {
  std::string ffmpeg = platform::FindOnPath("ffmpeg");
  if (ffmpeg.empty())
    return Fail(127, "ffmpeg was not found on PATH; install FFmpeg to convert files");
  // An audio bit rate above what the encoder takes would fail the whole
  // conversion ("Same As Input" of a WAV gives 1411 kbit/s): its ceiling instead.
  int inRate = 0, inChannels = 0;
  if (cvtcore::NeedsInputAudioFormat(request) &&
      !cvtcore::ParseInputAudio(std::getenv(cvtcore::kInputAudioVariable), inRate, inChannels))
    ProbeAudioFormat(request.input, inRate, inChannels);
  if (auto note = cvtcore::ClampAudioBitrate(request, inRate, inChannels)) PrintLine(*note);
  return Relay(cvtcore::FfmpegArguments(request, ffmpeg, 1));
}

// A stream copy (merge or fetch): ffmpeg's progress and log relayed like a conversion's.
int CopyStreams(const std::vector<std::string>& args) {
  cvtcore::StreamRequest request;
  std::string error;
  if (!cvtcore::ParseStreamArguments(args, request, error))
    return Fail(2, error + " (usage: cvtcore -merge -i <video> -i <audio> -y <output>, or "
                           "cvtcore -fetch <address> [-headers <lines>] -y <output>)");
  std::string ffmpeg = platform::FindOnPath("ffmpeg");
  if (ffmpeg.empty())
    return Fail(127, "ffmpeg was not found on PATH; install FFmpeg to copy streams");
  return Relay(cvtcore::FfmpegStreamArguments(request, ffmpeg, 1));
}

// Runs ffmpeg (argv) and passes on its progress (stdout) and log (stderr) lines.
int Relay(const std::vector<std::string>& argv) {
  const std::string& ffmpeg = argv[0];
  int progress[2], log[2];
  if (::pipe2(progress, O_CLOEXEC) != 0 || ::pipe2(log, O_CLOEXEC) != 0)
    return Fail(1, ::strerror(errno));
  std::string error;
  pid_t pid = Spawn(argv, progress[1], log[1], error);
  ::close(progress[1]);
  ::close(log[1]);
  if (pid < 0) return Fail(127, "could not run " + ffmpeg + ": " + error);

  cvtcore::ProgressParser parser;
  std::string progressBuf, logBuf;
  // ffmpeg writes its input description before it encodes, but the two pipes
  // are read independently: hold progress lines until the "Duration:" line has
  // gone out (or the log has ended), so a reader never sees time= first.
  bool durationOut = false;
  std::vector<std::string> held;
  auto releaseHeld = [&] {
    durationOut = true;
    for (const auto& line : held) PrintLine(line);
    held.clear();
  };
  pollfd fds[2] = {{progress[0], POLLIN, 0}, {log[0], POLLIN, 0}};
  int open = 2;
  char buf[4096];
  while (open > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = ::read(fds[k].fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      std::string& acc = k == 0 ? progressBuf : logBuf;
      bool end = n <= 0;
      if (!end) acc.append(buf, static_cast<size_t>(n));
      if (k == 0) {
        TakeLines(acc, end, [&](const std::string& line) {
          if (auto out = parser.Feed(line)) {
            if (durationOut)
              PrintLine(*out);
            else
              held.push_back(*out);
          }
        });
      } else {
        TakeLines(acc, end, [&](const std::string& line) {
          if (auto out = cvtcore::FilterLogLine(line)) {
            PrintLine(*out);
            if (!durationOut && out->find("Duration:") != std::string::npos) releaseHeld();
          }
        });
        if (end && !durationOut) releaseHeld();
      }
      if (end) {
        ::close(fds[k].fd);
        fds[k].fd = -1;
        --open;
      }
    }
  }
  for (auto& p : fds)
    if (p.fd >= 0) ::close(p.fd);
  return WaitChild(pid);
}

}  // namespace

int main(int argc, char** argv) {
  struct sigaction sa {};
  sa.sa_handler = OnTerminate;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &sa, nullptr);

  std::vector<std::string> args(argv + 1, argv + argc);
  if (cvtcore::IsStreamCall(args)) {
    int code = CopyStreams(args);
    if (g_signal) {
      ::signal(g_signal, SIG_DFL);
      ::raise(g_signal);
    }
    return code;
  }
  cvtcore::Request request;
  std::string error;
  if (!cvtcore::ParseArguments(args, request, error)) {
    return Fail(2, error + " (usage: cvtcore -i <input> [options] -y <output>, or -vn -i <input>)");
  }
  int code = request.infoOnly ? Describe(request.input) : Convert(request);
  if (g_signal) {
    // End the way the signal asked, so the caller sees the signal.
    ::signal(g_signal, SIG_DFL);
    ::raise(g_signal);
  }
  return code;
}
