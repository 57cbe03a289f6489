// Stands in for ffmpeg on the bench's PATH, on both sides of a comparison:
// runs the real one (ENCODER_CLOCK_FFMPEG) with the same arguments, waits for
// it and appends "<wall ms> <cpu ms>" of that run to ENCODER_CLOCK_LOG. The
// program's wall minus its encoder's is then what the program adds, without
// the encoder's own run-to-run swing of a percent or more.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace {
double NowMs() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}
}  // namespace

int main(int, char** argv) {
  const char* real = std::getenv("ENCODER_CLOCK_FFMPEG");
  if (!real || !*real) {
    std::fprintf(stderr, "encoder_clock: ENCODER_CLOCK_FFMPEG is not set\n");
    return 127;
  }
  argv[0] = const_cast<char*>(real);
  const double start = NowMs();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::execv(real, argv);
    ::_exit(127);
  }
  if (pid < 0) return 127;
  int status = 0;
  rusage u{};
  while (::wait4(pid, &status, 0, &u) < 0)
    if (errno != EINTR) return 127;
  const double wall = NowMs() - start;
  if (const char* log = std::getenv("ENCODER_CLOCK_LOG"); log && *log) {
    const int fd = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
      const double cpu = (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
                         (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
      ::dprintf(fd, "%.1f %.1f\n", wall, cpu);
      ::close(fd);
    }
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
