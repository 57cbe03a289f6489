// Fault matrix: every scripted server fault against 1, 3 and 5 Download Only jobs
// run by the real main window. A cell is good when each job either holds the
// source's exact bytes and shows "Successfully!", or shows "Download failed"
// with a note; a file that differs from the source under "Successfully!" is the
// one outcome that must never happen.
// Usage: fault_matrix <bin dir> [row filter]   (exit 1 when a cell is wrong)
#include <cstdio>
#include <functional>
#include <map>
#include <set>

#include "bench/AppDriver.h"

namespace {

struct TCase {
  std::string name;
  std::function<void(sitesim::TFault&)> fault;
  int proxyAuth = 0;  // 1: 407 with credentials configured, 2: without
};

struct TCell {
  int ok = 0, failed = 0, wrong = 0, other = 0;
  std::string details;  // states, notes and log lines worth reading
  double seconds = 0;
};

const int64_t kSize = 300000;

std::vector<TCase> Cases() {
  std::vector<TCase> cases;
  auto add = [&](std::string name, std::function<void(sitesim::TFault&)> f, int auth = 0) {
    cases.push_back({std::move(name), std::move(f), auth});
  };
  add("none", [](sitesim::TFault&) {});
  for (int64_t n : {int64_t{0}, int64_t{1000}, int64_t{100000}, int64_t{250000}})
    add("drop after " + std::to_string(n) + " (x2)", [n](sitesim::TFault& f) {
      f.CloseAfterBytes = n;
      f.Times = 2;
      f.GetOnly = true;
    });
  add("drop after 64K (always)", [](sitesim::TFault& f) { f.CloseAfterBytes = 65536; });
  add("500 burst (x2)", [](sitesim::TFault& f) {
    f.Status = 500;
    f.Times = 2;
  });
  add("503 burst (x2)", [](sitesim::TFault& f) {
    f.Status = 503;
    f.Times = 2;
  });
  add("503 (always)", [](sitesim::TFault& f) { f.Status = 503; });
  add("stall after 50000 (x1)", [](sitesim::TFault& f) {
    f.StallAfterBytes = 50000;
    f.Times = 1;
    f.GetOnly = true;
  });
  add("stall after 50000 (always)", [](sitesim::TFault& f) { f.StallAfterBytes = 50000; });
  add("ignored Range", [](sitesim::TFault& f) { f.IgnoreRange = true; });
  add("ignored Range + drop 100000", [](sitesim::TFault& f) {
    f.IgnoreRange = true;
    f.CloseAfterBytes = 100000;
    f.Times = 2;
    f.GetOnly = true;
  });
  add("Content-Range +1", [](sitesim::TFault& f) { f.ContentRangeShift = 1; });
  add("Content-Range -100", [](sitesim::TFault& f) { f.ContentRangeShift = -100; });
  add("gzip", [](sitesim::TFault& f) { f.Gzip = true; });
  add("gzip + drop 100000", [](sitesim::TFault& f) {
    f.Gzip = true;
    f.CloseAfterBytes = 100000;
    f.Times = 1;
    f.GetOnly = true;
  });
  add("no Last-Modified", [](sitesim::TFault& f) { f.NoLastModified = true; });
  add("no Content-Type", [](sitesim::TFault& f) { f.NoContentType = true; });
  add("no Content-Length", [](sitesim::TFault& f) { f.NoContentLength = true; });
  add("no headers at all", [](sitesim::TFault& f) {
    f.NoLastModified = f.NoContentType = f.NoContentLength = true;
  });
  add("body changes per GET", [](sitesim::TFault& f) { f.ChangingBody = true; });
  add("body changes + drop 100000", [](sitesim::TFault& f) {
    f.ChangingBody = true;
    f.CloseAfterBytes = 100000;
    f.Times = 1;
    f.GetOnly = true;
  });
  add("proxy 407, credentials set", [](sitesim::TFault&) {}, 1);
  add("proxy 407, no credentials", [](sitesim::TFault&) {}, 2);
  return cases;
}

std::string FirstLine(const std::string& text) {
  std::string line = text.substr(0, text.find_first_of("\r\n"));
  return line.size() > 90 ? line.substr(0, 90) + "..." : line;
}

TCell RunCell(const std::string& binDir, const TCase& c, int count) {
  TCell cell;
  bench::TSandbox box(binDir, false);
  sitesim::TSiteSim sim;
  sim.Start();
  sitesim::TFault fault;
  c.fault(fault);
  std::vector<std::string> ids;
  for (int i = 0; i < count; ++i) {
    ids.push_back("f" + std::to_string(i));
    sim.AddVideo(bench::Video(ids.back(), kSize, fault));
  }
  bench::TWindow w(box, sim);
  TclMultiDownLoader& engine = *w->clDownLoader;
  engine.SetTryCount(3);
  engine.SetTimeOut(1000);
  engine.SetReconnectAfter(50);
  if (c.proxyAuth == 1) {
    sim.SetProxyAuth(true, "user", "pass");
    cvOptions.ProxyUser = "user";
    cvOptions.ProxyPassword = "pass";
  }
  for (const std::string& id : ids) {
    w.Paste(sim.WatchUrl(id));
    if (!w.SetLastMode(w->DownloadOnly1)) {
      cell.other = count;
      cell.details = "could not add " + id;
      return cell;
    }
  }
  // Without credentials only the streams meet the 407: the pages were fetched.
  if (c.proxyAuth == 2) sim.SetProxyAuth(true, "user", "pass");

  QElapsedTimer clock;
  clock.start();
  if (!w.Start()) {
    cell.other = count;
    cell.details = "Start disabled";
    return cell;
  }
  auto ended = [&] {
    for (int row = 0; row < count; ++row)
      if (w.State(row) == "Downloading...") return false;
    return true;
  };
  const bool finished = QTest::qWaitFor(ended, 60000) && QTest::qWaitFor([&] { return w.Idle(); }, 5000);
  cell.seconds = clock.elapsed() / 1000.0;
  if (!finished) cell.details += "[did not end] ";

  std::set<std::string> seen;
  auto note = [&](const std::string& text) {
    if (!text.empty() && seen.insert(text).second) cell.details += text + "; ";
  };
  for (int row = 0; row < count; ++row) {
    TEncItem* job = w.Jobs()[row];
    const std::string state = w.State(row);
    const std::string file = bench::ReadAll(job->MediaFile);
    bool exact = false;
    // A body that changes is right when it is one whole version.
    const int versions = fault.ChangingBody ? static_cast<int>(sim.Requests().size()) + 1 : 1;
    for (int v = 0; v < versions && !exact; ++v)
      exact = bench::Sha256(file) == bench::Sha256(sim.StreamBody(ids[row], 0, v));
    if (state == "Successfully!" && exact) {
      ++cell.ok;
    } else if (state == "Successfully!") {
      ++cell.wrong;
      note("WRONG FILE: " + std::to_string(file.size()) + " bytes");
    } else if (state == "Download failed" && !job->Notes.empty()) {
      ++cell.failed;
      note(FirstLine(job->Notes));
    } else {
      ++cell.other;
      note("state \"" + state + "\" notes \"" + FirstLine(job->Notes) + "\"");
    }
  }
  if (cell.failed && box.Log().find("Error") == std::string::npos) note("failure not logged");
  if (w.boxes) note(std::to_string(w.boxes) + " message boxes");
  return cell;
}

std::string CellText(const TCell& c, int count) {
  if (c.wrong) return "WRONG " + std::to_string(c.wrong) + "/" + std::to_string(count);
  std::string s;
  if (c.ok) s += "ok " + std::to_string(c.ok);
  if (c.failed) s += std::string(s.empty() ? "" : " ") + "failed " + std::to_string(c.failed);
  if (c.other) s += std::string(s.empty() ? "" : " ") + "OTHER " + std::to_string(c.other);
  char t[16];
  std::snprintf(t, sizeof t, " %.1fs", c.seconds);
  return s + t;
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: fault_matrix <bin dir> [row filter]\n");
    return 2;
  }
  const std::string binDir = argv[1];
  const std::string filter = argc > 2 ? argv[2] : "";
  const int counts[] = {1, 3, 5};
  int wrong = 0, other = 0;
  std::vector<std::string> notes;
  std::printf("%-30s | %-20s | %-20s | %-20s\n", "fault (stream of 300000 bytes)", "1 item",
              "3 items", "5 items");
  std::printf("%s\n", std::string(30 + 3 * 23, '-').c_str());
  for (const TCase& c : Cases()) {
    if (!filter.empty() && c.name.find(filter) == std::string::npos) continue;
    std::printf("%-30s", c.name.c_str());
    std::fflush(stdout);
    for (int count : counts) {
      const TCell cell = RunCell(binDir, c, count);
      wrong += cell.wrong;
      other += cell.other;
      std::printf(" | %-20s", CellText(cell, count).c_str());
      std::fflush(stdout);
      if (!cell.details.empty())
        notes.push_back(c.name + " x" + std::to_string(count) + ": " + cell.details);
    }
    std::printf("\n");
  }
  std::printf("\nNotes (first distinct note of each failure):\n");
  for (const std::string& n : notes) std::printf("  %s\n", n.c_str());
  std::printf("\nwrong files reported as success: %d; cells neither correct nor failed: %d\n", wrong,
              other);
  std::printf("peak RSS: %ld KiB\n", bench::PeakRssKiB());
  return wrong || other ? 1 : 0;
}
