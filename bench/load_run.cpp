// Load run: 50 Download&Convert jobs queued at once in the real main window
// (three downloads at a time, each conversion started by its finished download),
// every stream the same short media clip. Prints how long the GUI thread was
// kept from its event loop after Start (a 10 ms timer's largest gap; the page
// requests of the links come before and are not counted), the run time, the
// outcome of every job and the peak RSS; exits 1 when a job is not correct or the
// GUI thread itself was busy or blocked for over 100 ms.
// With PAGE_DELAY_MS set, the simulator answers every watch page after that
// delay, and a second probe measures the largest gap from the first paste to
// the end of the run (the links being read included); both figures are printed.
// Usage: [PAGE_DELAY_MS=ms] load_run <bin dir> <clip> [jobs] [rate bytes/s per connection]
#include <execinfo.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>
#include <mutex>
#include <thread>
#include <cstdio>
#include <cstdlib>

#include "bench/AppDriver.h"

namespace {

// Stacks of the GUI thread taken while it sat in one blocking call for over
// 30 ms, so a report says which lock or wait it was, not only the call number.
constexpr int kMaxStacks = 4, kMaxFrames = 48;
void* g_stacks[kMaxStacks][kMaxFrames];
int g_depth[kMaxStacks];
std::atomic<int> g_taken{0};

void TakeStack(int) {
  const int k = g_taken.load();
  if (k >= kMaxStacks) return;
  g_depth[k] = backtrace(g_stacks[k], kMaxFrames);  // warmed up before the run
  g_taken = k + 1;
}

// Duration in seconds that ffprobe reads from a media file; -1 when it cannot.
double ProbeSeconds(const std::string& path) {
  const std::string cmd = "ffprobe -v error -show_entries format=duration -of csv=p=0 '" + path + "'";
  FILE* pipe = popen(cmd.c_str(), "r");
  if (!pipe) return -1;
  char buf[64] = {0};
  const bool got = std::fgets(buf, sizeof buf, pipe) != nullptr;
  const int status = pclose(pipe);
  if (!got || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return -1;
  return std::atof(buf);
}

// Looks at the GUI thread every 5 ms while its probe is over 50 ms late and
// notes where it is: "running" (it ran or was runnable: on a shared machine,
// waiting for a core), "poll" (the idle event loop) or another system call.
// The longest stretch of samples in one such call is how long the thread was
// blocked in it (a child's output, a lock, the disk...).
class TStallWatch {
 public:
  TStallWatch() : tid_(gettid()) {
    void* warm[1];
    backtrace(warm, 1);  // loads the unwinder now, not inside the signal handler
    signal(SIGUSR2, TakeStack);
    clock_.start();
    thread_ = std::thread([this] { Watch(); });
  }
  ~TStallWatch() { Stop(); }
  void Tick() { lastTick_ = clock_.elapsed(); }
  // Ends the watch (the checks after the run are not the window's business).
  void Stop() {
    if (stop_.exchange(true)) return;
    thread_.join();
  }
  std::string Report() {
    std::lock_guard lock(mutex_);
    std::string text;
    for (const auto& [where, n] : samples_) text += " " + where + " " + std::to_string(n);
    return text.empty() ? " (never late)" : text;
  }
  // Longest time spent in one blocking system call while late, in ms, and which.
  std::pair<qint64, std::string> LongestBlock() {
    std::lock_guard lock(mutex_);
    return {longest_, longestWhere_};
  }

 private:
  void Watch() {
    std::string streakWhere;
    qint64 streakStart = 0;
    while (!stop_) {
      usleep(5000);
      const qint64 now = clock_.elapsed();
      if (now - lastTick_ <= 50) {
        streakWhere.clear();
        continue;
      }
      std::ifstream in("/proc/self/task/" + std::to_string(tid_) + "/syscall");
      std::string word;
      in >> word;
      // x86-64 numbers: 7 poll, 0 read, 61 wait4, 202 futex.
      std::string where = word == "running" ? "running" : word == "7" ? "poll" : "syscall " + word;
      if (where == "running") {
        // Outside a system call but asleep: a page fault waiting, for example
        // on the address-space lock another thread holds while it forks.
        std::ifstream stat("/proc/self/task/" + std::to_string(tid_) + "/stat");
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        const char state = close != std::string::npos && close + 2 < line.size() ? line[close + 2] : 'R';
        if (state != 'R') where = std::string("asleep outside a call (") + state + ")";
      }
      std::lock_guard lock(mutex_);
      ++samples_[where];
      if (where != streakWhere) {
        streakWhere = where;
        streakStart = now;
        stackTaken_ = false;
      }
      if (where != "poll" && now - streakStart > 30 && !stackTaken_) {
        stackTaken_ = true;
        syscall(SYS_tgkill, getpid(), tid_, SIGUSR2);
      }
      if (where != "running" && where != "poll" && now - streakStart > longest_) {
        longest_ = now - streakStart;
        longestWhere_ = where;
      }
    }
  }
  pid_t tid_;
  QElapsedTimer clock_;
  std::atomic<qint64> lastTick_{1LL << 40};
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::map<std::string, int> samples_;
  qint64 longest_ = 0;
  std::string longestWhere_;
  bool stackTaken_ = false;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: load_run <bin dir> <clip> [jobs] [rate]\n");
    return 2;
  }
  const std::string binDir = argv[1];
  const std::string clip = argv[2];
  const int count = argc > 3 ? std::atoi(argv[3]) : 50;
  const int64_t rate = argc > 4 ? std::atoll(argv[4]) : 0;
  const char* delayText = std::getenv("PAGE_DELAY_MS");
  const int pageDelayMs = delayText ? std::max(0, std::atoi(delayText)) : 0;
  const std::string clipHash = bench::Sha256(bench::ReadAll(clip));
  const double clipSeconds = ProbeSeconds(clip);

  bench::TSandbox box(binDir, true);
  sitesim::TSiteSim sim;
  sim.Start();
  for (int i = 0; i < count; ++i) {
    sitesim::TVideo v;
    v.Id = "L" + std::to_string(i);
    v.Title = "Load " + std::to_string(i);
    v.LengthSeconds = static_cast<int>(clipSeconds + 0.5);
    sitesim::TStream s;
    s.Itag = 18;
    s.File = clip;
    s.Fault.RateBytesPerSec = rate;
    v.Streams.push_back(s);
    v.PageFault.DelayMs = pageDelayMs;
    sim.AddVideo(v);
  }

  int status = 0;
  {
    bench::TWindow w(box, sim);
    // With a page delay: the whole run's probe, from the first paste on, a
    // 10 ms timer like the one after Start.
    QElapsedTimer wholeTick;
    qint64 wholeMaxGap = 0, wholeGaps100 = 0, wholeTicks = 0;
    QTimer wholeProbe;
    wholeProbe.setTimerType(Qt::PreciseTimer);
    wholeProbe.setInterval(10);
    QObject::connect(&wholeProbe, &QTimer::timeout, [&] {
      const qint64 gap = wholeTick.restart();
      wholeMaxGap = std::max(wholeMaxGap, gap);
      if (gap > 100) ++wholeGaps100;
      ++wholeTicks;
    });
    if (pageDelayMs > 0) {
      wholeTick.start();
      wholeProbe.start();
    }
    // The links are read while the event loop idles as the program's does (a
    // spinning wait would hide nothing but take a core).
    auto linksRead = [&] {
      if (pageDelayMs <= 0) return w.WaitLinksRead();
      QElapsedTimer clock;
      clock.start();
      QEventLoop loop;
      QTimer check;
      check.setInterval(50);
      QObject::connect(&check, &QTimer::timeout, [&] {
        if (w->IntakeIdle() || clock.elapsed() > 120000) loop.quit();
      });
      check.start();
      loop.exec();
      return w->IntakeIdle();
    };
    QElapsedTimer phase;
    phase.start();
    for (int i = 0; i < count; ++i) w.Paste(sim.WatchUrl("L" + std::to_string(i)), false);
    if (!linksRead()) {
      std::fprintf(stderr, "the links were still being read after two minutes\n");
      return 1;
    }
    const double addSeconds = phase.elapsed() / 1000.0;
    if (w.Jobs().Count() != count) {
      std::fprintf(stderr, "only %d of %d jobs were added\n", w.Jobs().Count(), count);
      return 1;
    }
    const long rssBeforeStart = bench::PeakRssKiB();

    // The probe: a 10 ms timer; a late tick means the loop was held up.
    // With the gap, the GUI thread's own CPU time in it: a stall with little of
    // it was time the thread waited or was not scheduled, not work it did.
    auto threadCpuMs = [] {
      timespec t{};
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
      return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
    };
    // And the time it sat runnable waiting for a core (schedstat field 2).
    auto runQueueMs = [] {
      std::ifstream in("/proc/thread-self/schedstat");
      double run = 0, wait = 0;
      in >> run >> wait;
      return wait / 1e6;
    };
    TStallWatch watch;
    QElapsedTimer tick;
    qint64 maxGap = 0, gaps100 = 0, ticks = 0;
    double lastWait = runQueueMs(), maxGapWait = 0;
    double lastCpu = threadCpuMs(), maxGapCpu = 0, maxCpu = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(10);
    QObject::connect(&probe, &QTimer::timeout, [&] {
      const qint64 gap = tick.restart();
      watch.Tick();
      const double cpu = threadCpuMs(), used = cpu - lastCpu;
      lastCpu = cpu;
      const double wait = runQueueMs(), waited = wait - lastWait;
      lastWait = wait;
      if (gap > maxGap) {
        maxGapCpu = used;
        maxGapWait = waited;
      }
      maxGap = std::max(maxGap, gap);
      maxCpu = std::max(maxCpu, used);
      if (gap > 100) ++gaps100;
      ++ticks;
    });

    phase.restart();
    if (!w.Start()) {
      std::fprintf(stderr, "Start is disabled\n");
      return 1;
    }
    tick.start();
    probe.start();
    const qint64 startClick = phase.elapsed();  // Start's own handler, before the probe ran
    auto ended = [&] {
      for (int row = 0; row < count; ++row) {
        const std::string s = w.State(row);
        if (s == "Downloading..." || s == "Encoding...") return false;
      }
      return true;
    };
    // A real event loop, as the program runs one (a polling wait would sleep
    // between its rounds and show up as gaps of its own).
    QEventLoop loop;
    QTimer check;
    check.setInterval(50);
    QObject::connect(&check, &QTimer::timeout, [&] {
      if (ended() || phase.elapsed() > 600000) loop.quit();
    });
    check.start();
    loop.exec();
    check.stop();
    const bool finished = ended();
    probe.stop();
    wholeProbe.stop();
    watch.Stop();
    const auto [blockedMs, blockedIn] = watch.LongestBlock();
    const double runSeconds = phase.elapsed() / 1000.0;

    int ok = 0, bad = 0;
    for (int row = 0; row < count; ++row) {
      TEncItem* job = w.Jobs()[row];
      const bool downloaded = bench::Sha256(bench::ReadAll(job->MediaFile)) == clipHash;
      const bool converted = w.State(row) == "Successfully!" && !job->OutputFile.empty() &&
                             std::abs(ProbeSeconds(job->OutputFile) - clipSeconds) < 0.5;
      if (downloaded && converted) {
        ++ok;
      } else {
        ++bad;
        std::printf("job %d: state \"%s\", download %s, output \"%s\", notes: %s\n", row,
                    w.State(row).c_str(), downloaded ? "exact" : "DIFFERS", job->OutputFile.c_str(),
                    job->Notes.substr(0, 200).c_str());
      }
    }
    std::printf("jobs: %d (Download&Convert, 3 downloads at a time), clip %.1f s, %zu bytes\n", count,
                clipSeconds, bench::ReadAll(clip).size());
    if (pageDelayMs > 0)
      std::printf("adding the links (every watch page answered after %d ms): %.2f s\n", pageDelayMs,
                  addSeconds);
    else
      std::printf("adding the links (page requests, not measured): %.2f s\n", addSeconds);
    std::printf("run: %s in %.2f s; %d correct (download SHA-256 = source, output plays %.1f s), %d not\n",
                finished ? "ended" : "DID NOT END", runSeconds, ok, clipSeconds, bad);
    std::printf("GUI thread: Start handler %lld ms; after it, max event-loop gap %lld ms over %lld ticks "
                "of 10 ms, gaps > 100 ms: %lld\n"
                "  in the largest gap the GUI thread ran %.1f ms and waited for a core %.1f ms; largest CPU time between two "
                "ticks %.1f ms\n",
                static_cast<long long>(startClick), static_cast<long long>(maxGap),
                static_cast<long long>(ticks), static_cast<long long>(gaps100), maxGapCpu, maxGapWait, maxCpu);
    std::printf("  where the GUI thread was in 5 ms samples while its probe was over 50 ms late:%s\n",
                watch.Report().c_str());
    std::printf("  longest stretch blocked in one system call: %lld ms%s\n",
                static_cast<long long>(blockedMs), blockedIn.empty() ? "" : (" (" + blockedIn + ")").c_str());
    for (int k = 0; k < g_taken.load(); ++k) {
      std::printf("  GUI thread's stack %d, 30 ms into a late stretch outside the idle loop:\n", k + 1);
      std::fflush(stdout);
      backtrace_symbols_fd(g_stacks[k], g_depth[k], fileno(stdout));
    }
    if (pageDelayMs > 0)
      std::printf("GUI thread from the first paste to the end (links read with a %d ms page delay, "
                  "then the run): max event-loop gap %lld ms over %lld ticks of 10 ms, gaps > 100 ms: "
                  "%lld\n",
                  pageDelayMs, static_cast<long long>(wholeMaxGap), static_cast<long long>(wholeTicks),
                  static_cast<long long>(wholeGaps100));
    std::printf("peak RSS: %ld KiB after adding, %ld KiB at the end\n", rssBeforeStart,
                bench::PeakRssKiB());
    status = finished && bad == 0 && maxCpu <= 100 && blockedMs <= 100 && startClick <= 100 ? 0 : 1;
  }
  return status;
}
