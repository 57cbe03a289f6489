// A playlist of N videos pasted into the real main window (offscreen): the
// program given is a wrapper that lists N simulator pages of another host for the
// playlist's link and runs the real yt-dlp on each page. Prints the time from the
// paste to the last entry ready, with the resolver service running 4 readings at
// once and then 1, and the GUI thread's largest stall (a 10 ms timer's largest
// gap) while the rows come and are filled. Exits 1 when an entry is not ready.
// A page delay stands for a real site's latency (each reading then mostly waits).
// Usage: playlist_run <bin dir> <program> [entries] [page delay ms]
#include <time.h>

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <fstream>

#include "bench/AppDriver.h"
#include "jobs/JobRunner.h"
#include "jobs/ResolveService.h"

namespace {

const char* const kHost = "list.example.net";

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
}

// The time the GUI thread sat runnable waiting for a core (schedstat field 2).
double RunQueueMs() {
  std::ifstream in("/proc/thread-self/schedstat");
  double run = 0, wait = 0;
  in >> run >> wait;
  return wait / 1e6;
}

struct TFigures {
  bool ok = false;
  double seconds = 0;
  qint64 maxGapMs = 0;
  double maxGapCpuMs = 0;
  double maxGapWaitMs = 0;
  int mostAtOnce = 0;
};

TFigures Run(bench::TSandbox& box, sitesim::TSiteSim& sim, const std::string& program, int count,
             int atOnce) {
  TFigures f;
  bench::TWindow w(box, sim);
  cvOptions.YtDlpProgram = program;
  SetChoiceBoxHook([](const QString&, const QStringList&) { return 0; });  // Yes: all of them
  w->clDownLoader.runner_->Resolver().SetMaxRunning(atOnce);
  QElapsedTimer tick, clock;
  double lastCpu = ThreadCpuMs(), lastWait = RunQueueMs();
  QTimer probe;
  probe.setTimerType(Qt::PreciseTimer);
  probe.setInterval(10);
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const qint64 gap = tick.restart();
    const double cpu = ThreadCpuMs(), wait = RunQueueMs();
    if (gap > f.maxGapMs) {
      f.maxGapMs = gap;
      f.maxGapCpuMs = cpu - lastCpu;
      f.maxGapWaitMs = wait - lastWait;
    }
    lastCpu = cpu;
    lastWait = wait;
  });
  clock.start();
  tick.start();
  probe.start();
  w.Paste(sim.FileUrl(kHost, "/list"), false);
  // A loaded machine may need long for fifty runs of the extractor one by one.
  bool read = true;
  while (!w->IntakeIdle()) {
    if (clock.elapsed() > 600000) {
      read = false;
      break;
    }
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  f.seconds = clock.elapsed() / 1000.0;
  probe.stop();
  f.mostAtOnce = w->clDownLoader.runner_->Resolver().MostRunning();
  SetChoiceBoxHook(nullptr);
  int ready = 0;
  for (int i = 0; i < w.Jobs().Count(); ++i)
    if (w.Jobs()[i]->State == jsNew &&
        w.Jobs()[i]->Source == sim.FileUrl(kHost, "/p/" + std::to_string(i) + ".html"))
      ++ready;
  f.ok = read && ready == count && w.boxes == 0;
  if (!f.ok)
    std::fprintf(stderr, "%d readings at once: %d of %d entries ready in order, %d boxes\n", atOnce,
                 ready, count, w.boxes);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: playlist_run <bin dir> <program> [entries] [page delay ms]\n");
    return 2;
  }
  const std::string binDir = argv[1], program = argv[2];
  const int count = argc > 3 ? std::atoi(argv[3]) : 50;
  const int delayMs = argc > 4 ? std::atoi(argv[4]) : 0;
  bench::TSandbox box(binDir, false);
  sitesim::TSiteSim sim;
  sim.Start();
  // Page i holds one clip, /media/i.mp4; the wrapper lists the pages in order.
  for (int i = 0; i < count; ++i) {
    sitesim::TStream page;
    page.Data = "<html><head><title>Entry " + std::to_string(i) +
                "</title></head><body><video src=\"/media/" + std::to_string(i) +
                ".mp4\"></video></body></html>";
    page.ContentType = "text/html";
    page.Fault.DelayMs = delayMs;
    page.Fault.Times = -1;
    sim.AddFile(kHost, "/p/" + std::to_string(i) + ".html", page);
    sitesim::TStream clip;
    clip.Data = std::string(20000, static_cast<char>('a' + i % 26));
    sim.AddFile(kHost, "/media/" + std::to_string(i) + ".mp4", clip);
  }
  setenv("PLAYLIST_BENCH_BASE", sim.FileUrl(kHost, "/p/").c_str(), 1);
  setenv("PLAYLIST_BENCH_COUNT", std::to_string(count).c_str(), 1);
  int status = 0;
  for (int atOnce : {TResolveService::kMaxRunning, 1}) {
    const TFigures f = Run(box, sim, program, count, atOnce);
    std::printf("%d entries, page delay %d ms, %d readings at once: paste to the last entry ready %.2f s; largest "
                "GUI stall %lld ms (in it the GUI thread ran %.0f ms and waited for a core %.0f ms); "
                "most at once %d\n",
                count, delayMs, atOnce, f.seconds, static_cast<long long>(f.maxGapMs), f.maxGapCpuMs,
                f.maxGapWaitMs, f.mostAtOnce);
    if (!f.ok) status = 1;
  }
  return status;
}
