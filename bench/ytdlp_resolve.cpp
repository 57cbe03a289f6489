// Paste-to-ready of one link through yt-dlp as the program reads it: handed to
// the resolver service, read on its thread by the program's resolver set, the
// answer posted back to this (owner) thread. Beside it, the extractor process
// alone, to give its share. Usage: ytdlp_resolve <link> [runs]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "jobs/ResolveService.h"
#include "platform/CallQueue.h"
#include "resolve/YtDlpRun.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <link> [runs]\n", argv[0]);
    return 2;
  }
  const std::string link = argv[1];
  const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  using clock = std::chrono::steady_clock;
  auto ms = [](clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
  auto owner = platform::CallQueue::Current();
  TResolveService service(owner);
  double bestTotal = 1e30, bestProcess = 1e30;
  for (int i = 0; i < runs; ++i) {
    std::optional<resolve::TResolvedJob> answer;
    const auto t0 = clock::now();
    service.Resolve(link, TFetchProxy{}, [&](const resolve::TResolvedJob& a) { answer = a; });
    if (!platform::PumpUntil(*owner, [&] { return answer.has_value(); },
                             std::chrono::seconds(120)) ||
        !answer->Ok) {
      std::fprintf(stderr, "failed: %s\n", answer ? answer->Failure.c_str() : "no answer");
      return 1;
    }
    bestTotal = std::min(bestTotal, ms(clock::now() - t0));
    const auto t1 = clock::now();
    if (RunYtDlp(link, TYtDlpOptions{}).Failure != TYtDlpFailure::None) return 1;
    bestProcess = std::min(bestProcess, ms(clock::now() - t1));
  }
  std::printf("paste-to-ready through the resolver service (best of %d): %.0f ms; the yt-dlp "
              "process alone %.0f ms (%.1f %%); ours %.0f ms\n",
              runs, bestTotal, bestProcess, 100.0 * bestProcess / bestTotal,
              bestTotal - bestProcess);
  return 0;
}
