// Load run: 50 Download&Convert jobs queued at once in the real main window
// (three downloads at a time, each conversion started by its finished download),
// every stream the same short media clip. Prints how long the GUI thread was
// kept from its event loop after Start (a 10 ms timer's largest gap; the page
// requests of the links come before and are not counted), the run time, the
// outcome of every job and the peak RSS.
// Usage: load_run <bin dir> <clip> [jobs] [rate bytes/s per connection]
#include <sys/wait.h>

#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "bench/AppDriver.h"

namespace {

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
    sim.AddVideo(v);
  }

  int status = 0;
  {
    bench::TWindow w(box, sim);
    QElapsedTimer phase;
    phase.start();
    for (int i = 0; i < count; ++i) w.Paste(sim.WatchUrl("L" + std::to_string(i)));
    const double addSeconds = phase.elapsed() / 1000.0;
    if (w.Jobs().Count() != count) {
      std::fprintf(stderr, "only %d of %d jobs were added\n", w.Jobs().Count(), count);
      return 1;
    }
    const long rssBeforeStart = bench::PeakRssKiB();

    // The probe: a 10 ms timer; a late tick means the loop was held up.
    QElapsedTimer tick;
    qint64 maxGap = 0, gaps100 = 0, ticks = 0;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(10);
    QObject::connect(&probe, &QTimer::timeout, [&] {
      const qint64 gap = tick.restart();
      maxGap = std::max(maxGap, gap);
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
    const bool finished = QTest::qWaitFor(ended, 600000);
    probe.stop();
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
    std::printf("adding the links (page requests, not measured): %.2f s\n", addSeconds);
    std::printf("run: %s in %.2f s; %d correct (download SHA-256 = source, output plays %.1f s), %d not\n",
                finished ? "ended" : "DID NOT END", runSeconds, ok, clipSeconds, bad);
    std::printf("GUI thread: Start handler %lld ms; after it, max event-loop gap %lld ms over %lld ticks "
                "of 10 ms, gaps > 100 ms: %lld\n",
                static_cast<long long>(startClick), static_cast<long long>(maxGap),
                static_cast<long long>(ticks), static_cast<long long>(gaps100));
    std::printf("peak RSS: %ld KiB after adding, %ld KiB at the end\n", rssBeforeStart,
                bench::PeakRssKiB());
    status = finished && bad == 0 && maxGap <= 100 && startClick <= 100 ? 0 : 1;
  }
  return status;
}
