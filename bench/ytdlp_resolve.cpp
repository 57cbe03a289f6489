// Paste-to-ready of one link through yt-dlp: the whole resolution and the part of
// it that is the extractor process. Usage: ytdlp_resolve <link> [runs]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "resolve/YtDlp.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <link> [runs]\n", argv[0]);
    return 2;
  }
  const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
  using clock = std::chrono::steady_clock;
  auto ms = [](clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
  TYtDlpOptions options;
  double bestTotal = 1e30, bestProcess = 0, bestParse = 0;
  for (int i = 0; i < runs; ++i) {
    const auto t0 = clock::now();
    const TYtDlpAnswer answer = RunYtDlp(argv[1], options);
    const auto t1 = clock::now();
    if (answer.Failure != TYtDlpFailure::None) {
      std::fprintf(stderr, "failed: %s\n", answer.Reason.c_str());
      return 1;
    }
    const TYtInfo info = ParseYtDlpJson(answer.Json);
    const TQualityList list = YtQualities(info.Formats);
    YtDefaultQuality(list, false);
    const auto t2 = clock::now();
    if (ms(t2 - t0) < bestTotal) {
      bestTotal = ms(t2 - t0);
      bestProcess = ms(t1 - t0);
      bestParse = ms(t2 - t1);
    }
  }
  std::printf("paste-to-ready (best of %d): %.0f ms, yt-dlp process %.0f ms (%.1f %%), "
              "reading its answer %.2f ms\n",
              runs, bestTotal, bestProcess, 100.0 * bestProcess / bestTotal, bestParse);
  return 0;
}
