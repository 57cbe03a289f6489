#include "platform/Process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

extern char** environ;

namespace platform {
namespace {

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// The parent's environment with the changes applied ("N=V" sets, "N" removes).
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& changes) {
  auto nameOf = [](const std::string& entry) { return entry.substr(0, entry.find('=')); };
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) {
    const std::string entry = *e;
    const std::string name = nameOf(entry);
    bool changed = false;
    for (const auto& c : changes) changed = changed || nameOf(c) == name;
    if (!changed) env.push_back(entry);
  }
  for (const auto& c : changes)
    if (c.find('=') != std::string::npos) env.push_back(c);
  return env;
}

// What the child of TProcess::Start needs, all made before the vfork.
struct ChildSetup {
  const char* exe;
  char** argv;
  char** envp;  // null: this process's environment
  int out, err, report;
  pid_t parentPid;
  int childNice;
  bool ownGroup, killWithParent, lower;
};

// Runs in the vforked child, in its own frame below the parent's: only
// system calls, nothing written that the parent reads.
[[noreturn]] __attribute__((noinline)) void RunChild(const ChildSetup& c) {
  if (c.ownGroup) ::setpgid(0, 0);
  if (c.killWithParent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != c.parentPid) ::_exit(127);
  }
  if (c.lower) {
    ::setpriority(PRIO_PROCESS, 0, c.childNice);
    // The batch policy keeps the fair share of nice +10 (the idle class would
    // starve a conversion for as long as any other program is busy) but the
    // child's own wake-ups never preempt the window or a download thread.
    sched_param batch{};
    ::sched_setscheduler(0, SCHED_BATCH, &batch);
  }
  // The parent may block or ignore signals (SIGPIPE is often ignored); the
  // encoder must start with default handling. Other handled signals would be
  // reset by the exec anyway; before it they must not run here.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  for (int sig = 1; sig < NSIG; ++sig) {
    struct sigaction now {};
    if (::sigaction(sig, nullptr, &now) != 0) continue;
    const bool reset = sig == SIGPIPE || sig == SIGINT || sig == SIGTERM || sig == SIGHUP ||
                       sig == SIGCHLD || (now.sa_handler != SIG_DFL && now.sa_handler != SIG_IGN);
    if (reset) ::sigaction(sig, &dfl, nullptr);
  }
  sigset_t none;
  ::sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  if (::dup2(c.out, STDOUT_FILENO) < 0 || ::dup2(c.err, STDERR_FILENO) < 0) {
    int e = errno;
    (void)!::write(c.report, &e, sizeof e);
    ::_exit(127);
  }
  if (c.envp) {
    ::execve(c.exe, c.argv, c.envp);
  } else {
    ::execv(c.exe, c.argv);
  }
  int e = errno;
  (void)!::write(c.report, &e, sizeof e);
  ::_exit(127);
}

}  // namespace

bool StartDetached(const std::vector<std::string>& argv) {
  if (argv.empty()) return false;
  const std::string program = FindOnPath(argv[0]);
  if (program.empty()) return false;
  // Everything the children need is made before fork: after it only
  // async-signal-safe calls run.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return false;
  const pid_t middle = ::fork();
  if (middle < 0) {
    ::close(report[0]);
    ::close(report[1]);
    return false;
  }
  if (middle == 0) {
    ::setsid();
    const pid_t child = ::fork();
    if (child == 0) {
      ::execv(program.c_str(), args.data());
      const char failed = 1;  // the pipe closes on a successful exec
      [[maybe_unused]] ssize_t n = ::write(report[1], &failed, 1);
      ::_exit(127);
    }
    ::_exit(child < 0 ? 1 : 0);
  }
  ::close(report[1]);
  int status = 0;
  while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
  }
  char failed = 0;
  ssize_t n;
  while ((n = ::read(report[0], &failed, 1)) < 0 && errno == EINTR) {
  }
  ::close(report[0]);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 && n == 0;
}

std::string FindOnPath(const std::string& name) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return name;
  const char* env = ::getenv("PATH");
  std::string path = env ? env : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  for (;;) {
    size_t colon = path.find(':', start);
    std::string dir =
        path.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
    if (dir.empty()) dir.assign(1, '.');
    std::string candidate = dir + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return {};
}

TProcess::~TProcess() {
  if (pid_ > 0 && !Reaped()) {
    Terminate(SIGKILL);
    Wait();
  }
  CloseRead();
  CloseErr();
}

bool TProcess::Start(const std::vector<std::string>& argv, const ProcessOptions& options,
                     std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  if (pid_ > 0) return fail("process already started");
  if (argv.empty() || argv[0].empty()) return fail("empty command line");

  std::string exe = options.searchPath ? FindOnPath(argv[0]) : argv[0];
  if (exe.empty()) return fail(argv[0] + ": not found on PATH");

  // Everything the child touches is prepared here: between vfork and exec only
  // system calls run.
  std::vector<char*> cargv;
  cargv.reserve(argv.size() + 1);
  for (const auto& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  const bool ownEnv = !options.environment.empty();
  const std::vector<std::string> envText =
      ownEnv ? ChildEnvironment(options.environment) : std::vector<std::string>{};
  std::vector<char*> cenv;
  for (const auto& e : envText) cenv.push_back(const_cast<char*>(e.c_str()));
  cenv.push_back(nullptr);

  errno = 0;
  int baseNice = ::getpriority(PRIO_PROCESS, ::getpid());
  if (errno != 0) baseNice = 0;
  const int childNice = std::min(baseNice + 10, 19);
  const pid_t parentPid = ::getpid();
  const bool ownGroup = options.ownProcessGroup;
  const bool lower = options.lowerPriority;
  const bool killWithParent = options.killWithParent;

  int out[2];
  int report[2];  // carries errno from a failed exec; closes by itself on success
  if (::pipe2(out, O_CLOEXEC) != 0) return fail(std::string("pipe: ") + ::strerror(errno));
  if (::pipe2(report, O_CLOEXEC) != 0) {
    int e = errno;
    ::close(out[0]);
    ::close(out[1]);
    return fail(std::string("pipe: ") + ::strerror(e));
  }
  int err[2] = {-1, -1};
  if (options.separateStderr && ::pipe2(err, O_CLOEXEC) != 0) {
    int e = errno;
    for (int fd : {out[0], out[1], report[0], report[1]}) ::close(fd);
    return fail(std::string("pipe: ") + ::strerror(e));
  }
  const int errTarget = options.separateStderr ? err[1] : out[1];

  ChildSetup setup{};
  setup.exe = exe.c_str();
  setup.argv = cargv.data();
  setup.envp = ownEnv ? cenv.data() : nullptr;
  setup.out = out[1];
  setup.err = errTarget;
  setup.report = report[1];
  setup.parentPid = parentPid;
  setup.childNice = childNice;
  setup.ownGroup = ownGroup;
  setup.killWithParent = killWithParent;
  setup.lower = lower;
  // No handler of this program may run in the child while it shares the
  // memory: every signal stays blocked in this thread until the child has
  // exec'd, and the child resets every handled signal before it unblocks.
  sigset_t all, old;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &old);

  // vfork: the child borrows this address space until its exec instead of
  // copying its page tables (and tearing the copy down at exec). With all the
  // media libraries mapped that copy was most of a start: 3.7 against 1.8 ms.
  // This thread waits until the exec; the other threads run on.
  pid_t pid = ::vfork();
  if (pid == 0) RunChild(setup);
  int forkErrno = errno;
  ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ::close(out[1]);
  ::close(report[1]);
  if (err[1] >= 0) ::close(err[1]);
  if (pid < 0) {
    ::close(out[0]);
    ::close(report[0]);
    if (err[0] >= 0) ::close(err[0]);
    return fail(std::string("fork: ") + ::strerror(forkErrno));
  }
  if (ownGroup) ::setpgid(pid, pid);  // same as the child's own call; closes the race

  int childErrno = 0;
  ssize_t got;
  do {
    got = ::read(report[0], &childErrno, sizeof childErrno);
  } while (got < 0 && errno == EINTR);
  ::close(report[0]);
  if (got == static_cast<ssize_t>(sizeof childErrno)) {
    int status;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ::close(out[0]);
    if (err[0] >= 0) ::close(err[0]);
    return fail(exe + ": " + ::strerror(childErrno));
  }

  pid_ = pid;
  readFd_ = out[0];
  errFd_ = err[0];
  ownGroup_ = ownGroup;
  return true;
}

ssize_t TProcess::Read(void* buffer, size_t size) {
  if (readFd_ < 0) return -1;
  ssize_t got;
  do {
    got = ::read(readFd_, buffer, size);
  } while (got < 0 && errno == EINTR);
  return got;
}

ssize_t TProcess::Read(void* buffer, size_t size, std::chrono::milliseconds timeout) {
  if (readFd_ < 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd fd{readFd_, POLLIN, 0};
    const int ready = ::poll(&fd, 1, static_cast<int>(std::max<long long>(0, left.count())));
    if (ready > 0) return Read(buffer, size);  // data, end of output or an error
    if (ready < 0 && errno != EINTR) return -1;
    if (ready == 0 && left.count() <= 0) return kReadTimedOut;
  }
}

void TProcess::CloseRead() {
  CloseFd(readFd_);
}

void TProcess::CloseErr() {
  CloseFd(errFd_);
}

int TProcess::Wait() {
  if (pid_ <= 0) return -1;
  {
    std::lock_guard lock(mutex_);
    if (reaped_) return exitCode_;
  }
  // Wait without reaping, so Terminate can still signal a zombie's group safely;
  // the reap itself happens under the lock.
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  std::lock_guard lock(mutex_);
  if (!reaped_) {
    int status = 0;
    pid_t r;
    do {
      r = ::waitpid(pid_, &status, 0);
    } while (r < 0 && errno == EINTR);
    exitCode_ = r == pid_ ? DecodeStatus(status) : -1;
    reaped_ = true;
  }
  return exitCode_;
}

void TProcess::Terminate(int sig) {
  std::lock_guard lock(mutex_);
  if (pid_ <= 0 || reaped_) return;
  if (ownGroup_) ::kill(-pid_, sig);
  ::kill(pid_, sig);
}

bool TProcess::Reaped() const {
  std::lock_guard lock(mutex_);
  return reaped_;
}

int TProcess::ExitCode() const {
  std::lock_guard lock(mutex_);
  return exitCode_;
}

}  // namespace platform
