// What the job journal costs a download: three Download Only jobs of 64 MiB
// each from the simulator, unthrottled, through the real job runner, with and
// without the journal's once-a-second snapshots (each an fdatasync of the
// download file and a commit), in alternating pairs.
// Usage: journal_cost [pairs] [MiB per stream]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "jobs/JobRunner.h"
#include "jobs/Journal.h"
#include "jobs/MemoryJobGrid.h"
#include "platform/CallQueue.h"
#include "settings/Settings.h"
#include "tools/sitesim/SiteSim.h"

namespace {

using Clock = std::chrono::steady_clock;

struct TRun {
  double seconds = 0;
  TJournal::TStats stats;
};

TRun RunOnce(sitesim::TSiteSim& sim, int streams, bool journaled) {
  char pattern[] = "/tmp/vantorel-journal-cost.XXXXXX";
  if (!mkdtemp(pattern)) std::exit(2);
  const std::string folder = std::string(pattern) + "/";
  OutputFolder = folder;
  TJobList list;
  TMemoryJobGrid grid;
  auto journal = std::make_unique<TJournal>(folder + "jobs.db");
  std::vector<TJobSnapshot> none;
  std::unique_ptr<TJobJournal> binding;
  if (journaled) {
    journal->Open(none);
    binding = std::make_unique<TJobJournal>(
        *journal, [&] { return &list; }, nullptr);
  }
  TRun run;
  {
    TJobRunner runner([&] { return &list; });
    for (int i = 0; i < streams; ++i) {
      auto* job = new TEncItem;
      list.Add(job);
      AttachJobToRow(*job, grid, grid.AppendRow());
      job->IsLink = true;
      job->Title = "cost" + std::to_string(i);
      job->StreamUrl = sim.StreamUrl("cost" + std::to_string(i), 0);
      job->Qualities.push_back(TQuality{"360p", TLink{job->StreamUrl, ".mp4"}});
      job->SetQuality(0);
      job->Mode = jmDownloadOnly;
    }
    const auto start = Clock::now();
    runner.StartRun();
    auto idle = [&] { return !runner.AnythingRunning() && !runner.DownloadsBusy(); };
    // The window's one-second tick.
    while (!platform::PumpUntil(idle, std::chrono::seconds(1)))
      if (binding) binding->SnapshotRunning();
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    for (int i = 0; i < list.Count(); ++i)
      if (list[i]->State != jsDone) std::fprintf(stderr, "job %d did not finish\n", i);
  }
  binding.reset();
  journal->Flush(std::chrono::seconds(10));
  run.stats = journal->Stats();
  journal.reset();
  for (int i = 0; i < list.Count(); ++i) delete list[i];
  std::filesystem::remove_all(pattern);
  return run;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int pairs = argc > 1 ? std::atoi(argv[1]) : 5;
  const int64_t mib = argc > 2 ? std::atoll(argv[2]) : 64;
  const int streams = 3;
  sitesim::TSiteSim sim;
  for (int i = 0; i < streams; ++i) {
    sitesim::TVideo v;
    v.Id = "cost" + std::to_string(i);
    sitesim::TStream s;
    s.Size = mib << 20;
    s.Seed = static_cast<uint32_t>(i + 1);
    v.Streams.push_back(s);
    sim.AddVideo(v);
  }
  sim.Start();
  cvOptions.IsProxy = true;
  cvOptions.ProxyAdress = sim.ProxyHost();
  cvOptions.ProxyPort = sim.Port();

  std::vector<double> with, without, ratios;
  uint64_t commits = 0, syncs = 0;
  double commitSeconds = 0, longest = 0;
  for (int p = 0; p < pairs; ++p) {
    // The first of each pair alternates, so drift hits both sides alike.
    const bool journalFirst = p % 2 == 0;
    TRun a = RunOnce(sim, streams, journalFirst);
    TRun b = RunOnce(sim, streams, !journalFirst);
    const TRun& on = journalFirst ? a : b;
    const TRun& off = journalFirst ? b : a;
    with.push_back(on.seconds);
    without.push_back(off.seconds);
    ratios.push_back(on.seconds / off.seconds);
    commits += on.stats.Commits;
    syncs += on.stats.Syncs;
    commitSeconds += on.stats.CommitSeconds;
    longest = std::max(longest, on.stats.LongestCommitSeconds);
    std::printf("pair %d: with journal %.2f s (%llu commits), without %.2f s\n", p + 1, on.seconds,
                static_cast<unsigned long long>(on.stats.Commits), off.seconds);
  }
  std::printf(
      "%d x %lld MiB, %d pairs: median with journal %.2f s, without %.2f s, median ratio %.3f; "
      "commits %llu (fdatasyncs %llu), mean commit %.1f ms, longest %.1f ms\n",
      streams, static_cast<long long>(mib), pairs, Median(with), Median(without), Median(ratios),
      static_cast<unsigned long long>(commits), static_cast<unsigned long long>(syncs),
      commits ? 1000 * commitSeconds / static_cast<double>(commits) : 0, 1000 * longest);
  return 0;
}
