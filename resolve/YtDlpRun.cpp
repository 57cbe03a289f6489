#include "resolve/YtDlpRun.h"

#include <errno.h>
#include <poll.h>
#include <sys/wait.h>

#include <cctype>
#include <chrono>
#include <cstring>

#include "platform/Process.h"

const char* const kYtDlpMissingText =
    "This link needs yt-dlp: install it (apt install yt-dlp, or a current release) or set its "
    "path in Options";

namespace {

constexpr size_t kStderrKeep = 64 * 1024;  // only its last lines matter

std::string PercentEncode(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::string TrimLine(std::string line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' '))
    line.pop_back();
  return line;
}

std::string LastNonEmptyLine(const std::string& text) {
  size_t end = text.size();
  while (end > 0) {
    size_t start = text.rfind('\n', end - 1);
    start = start == std::string::npos ? 0 : start + 1;
    std::string line = TrimLine(text.substr(start, end - start));
    if (!line.empty()) return line;
    if (start == 0) break;
    end = start - 1;
  }
  return {};
}

// Appends what the fd has; false at its end or on an error.
bool Drain(int fd, std::string& into) {
  char buffer[65536];
  ssize_t got;
  do {
    got = ::read(fd, buffer, sizeof buffer);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) return false;
  into.append(buffer, static_cast<size_t>(got));
  return true;
}

}  // namespace

std::vector<std::string> YtDlpArguments(const std::string& link, const TYtDlpOptions& options) {
  std::vector<std::string> args = {options.Program.empty() ? "yt-dlp" : options.Program,
                                   "--ignore-config", "--no-warnings", "--socket-timeout", "30",
                                   "-J",
                                   options.WholePlaylist ? "--yes-playlist" : "--no-playlist",
                                   // A playlist answers with its flat listing at once; a
                                   // single video is answered whole all the same.
                                   "--flat-playlist"};
  if (!options.CookiesBrowser.empty()) {
    args.push_back("--cookies-from-browser");
    args.push_back(options.CookiesBrowser);
  }
  args.push_back("--");
  args.push_back(resolve::FetchAddress(link));
  return args;
}

std::vector<std::string> YtDlpEnvironment(const TYtDlpOptions& options) {
  // Titles are printed as UTF-8 whatever the locale.
  std::vector<std::string> env = {"PYTHONIOENCODING=utf-8"};
  const auto& p = options.Proxy;
  if (p.IsProxy && !p.ProxyAdress.empty()) {
    // The extractor takes its proxy from these when no --proxy is given, with
    // the credentials inside the address.
    std::string auth;
    if (!p.ProxyUser.empty() || !p.ProxyPassword.empty())
      auth = PercentEncode(p.ProxyUser) + ":" + PercentEncode(p.ProxyPassword) + "@";
    const std::string url = "http://" + auth + resolve::ProxyText(p);
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY"})
      env.push_back(std::string(name) + "=" + url);
    // The program's proxy applies to every host, as for the downloads.
    for (const char* name : {"no_proxy", "NO_PROXY", "all_proxy", "ALL_PROXY"})
      env.push_back(name);
  }
  return env;
}

std::string YtDlpErrorReason(const std::string& stderrText) {
  std::string last;
  size_t pos = 0;
  while (pos < stderrText.size()) {
    size_t end = stderrText.find('\n', pos);
    if (end == std::string::npos) end = stderrText.size();
    std::string line = stderrText.substr(pos, end - pos);
    if (line.rfind("ERROR:", 0) == 0) last = line;
    pos = end + 1;
  }
  if (last.empty()) return {};
  std::string reason = TrimLine(last.substr(6));
  while (!reason.empty() && reason.front() == ' ') reason.erase(0, 1);
  // "[generic] some-id: Unsupported URL: ..." -> "Unsupported URL: ..."
  if (!reason.empty() && reason.front() == '[') {
    const size_t close = reason.find("] ");
    if (close != std::string::npos) {
      const size_t colon = reason.find(": ", close + 2);
      const size_t blank = reason.find(' ', close + 2);
      if (colon != std::string::npos && blank >= colon) {
        reason = reason.substr(colon + 2);
      } else {
        reason = reason.substr(close + 2);
      }
    }
  }
  return reason;
}

TYtDlpAnswer RunYtDlp(const std::string& link, const TYtDlpOptions& options,
                      const std::atomic<bool>* cancel) {
  TYtDlpAnswer answer;
  auto fail = [&](TYtDlpFailure failure, std::string reason) {
    answer.Failure = failure;
    answer.Reason = std::move(reason);
    answer.Json.clear();
    return answer;
  };
  const std::string program = options.Program.empty() ? "yt-dlp" : options.Program;
  if (platform::FindOnPath(program).empty()) return fail(TYtDlpFailure::NotInstalled, kYtDlpMissingText);

  platform::TProcess process;
  platform::ProcessOptions po;
  po.lowerPriority = false;  // someone waits for the answer
  po.killWithParent = true;  // the starting thread waits for the child below
  po.searchPath = true;
  po.separateStderr = true;
  po.environment = YtDlpEnvironment(options);
  std::string startError;
  if (!process.Start(YtDlpArguments(link, options), po, &startError))
    return fail(TYtDlpFailure::NotInstalled, kYtDlpMissingText);

  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(options.TimeLimitSec);
  std::string out, err;
  bool outOpen = true, errOpen = true;
  TYtDlpFailure stop = TYtDlpFailure::None;
  while (stop == TYtDlpFailure::None) {
    if (cancel && cancel->load()) {
      stop = TYtDlpFailure::Cancelled;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      stop = TYtDlpFailure::TimedOut;
      break;
    }
    if (!outOpen && !errOpen) {
      // Both pipes are closed: wait (without reaping) for the end, still watching
      // the flag and the clock.
      siginfo_t info{};
      info.si_pid = 0;
      if (::waitid(P_PID, static_cast<id_t>(process.Pid()), &info, WEXITED | WNOHANG | WNOWAIT) ==
              0 &&
          info.si_pid != 0)
        break;
      ::poll(nullptr, 0, 50);
      continue;
    }
    pollfd fds[2];
    nfds_t n = 0;
    if (outOpen) fds[n++] = {process.ReadFd(), POLLIN, 0};
    if (errOpen) fds[n++] = {process.ErrFd(), POLLIN, 0};
    const int ready = ::poll(fds, n, 100);
    if (ready < 0 && errno != EINTR) {
      process.Terminate(SIGKILL);  // never wait below for a child we no longer read
      break;
    }
    for (nfds_t i = 0; ready > 0 && i < n; ++i) {
      if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      if (fds[i].fd == process.ReadFd()) {
        outOpen = Drain(fds[i].fd, out);
        if (out.size() > options.MaxAnswerBytes) stop = TYtDlpFailure::TooLarge;
      } else {
        errOpen = Drain(fds[i].fd, err);
        if (err.size() > 2 * kStderrKeep) err.erase(0, err.size() - kStderrKeep);
      }
    }
  }
  if (stop != TYtDlpFailure::None) {
    process.Terminate(SIGKILL);
    process.Wait();
    if (stop == TYtDlpFailure::Cancelled) return fail(stop, "Cancelled");
    if (stop == TYtDlpFailure::TimedOut)
      return fail(stop, "yt-dlp gave no answer within " + std::to_string(options.TimeLimitSec) + " s");
    return fail(stop, "yt-dlp's answer is larger than " +
                          std::to_string(options.MaxAnswerBytes >> 20) + " MiB");
  }
  answer.ExitCode = process.Wait();
  const std::string reason = YtDlpErrorReason(err);
  if (answer.ExitCode == 2) {
    const std::string said = reason.empty() ? LastNonEmptyLine(err) : reason;
    return fail(TYtDlpFailure::TooOld,
                "The installed yt-dlp is too old for an option of this program (" +
                    (said.empty() ? std::string("exit code 2") : said) +
                    "): install a current release");
  }
  // Anything printed before the document (a stray line of a wrapper) is skipped.
  size_t start = out.rfind('{', 0) == 0 ? 0 : out.find("\n{");
  if (start != 0 && start != std::string::npos) ++start;
  if (answer.ExitCode != 0) {
    const std::string said = LastNonEmptyLine(err);
    fail(TYtDlpFailure::Error, !reason.empty() ? reason
                                               : "yt-dlp ended with exit code " +
                                                     std::to_string(answer.ExitCode) +
                                                     (said.empty() ? std::string() : ": " + said));
    // A partial answer (some entries of a playlist failed) still carries its document.
    if (answer.ExitCode == 1 && start != std::string::npos) answer.Json = out.substr(start);
    return answer;
  }
  if (start == std::string::npos)
    return fail(TYtDlpFailure::BadAnswer, "yt-dlp gave no JSON answer");
  answer.Json = out.substr(start);
  return answer;
}
