// Converts one file the way the program does — information pass when audio
// values are left open (0), cvtcore, the runner, then the output tags — and
// prints "<wall ms> <information pass ms> <own cpu ms> <reports> <error>
// <information pass again ms>". The last is the same read once more in this
// process, as a running program's later jobs see it (the first pays for the
// library's first use: its code paged in, its decoder tables built).
// Own CPU is this process alone (the runner's reads and reports, the tagging),
// not cvtcore or ffmpeg.
// Usage: convert_overhead <cvtcore folder> <in> <out> <rate> <kbit> <channels> <acodec>
//        [--video <vcodec> <size> <vkbit>] [--tags <title> <comment>]
//        convert_overhead --tag-only <file> <title> <comment>   (prints ms)
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>

#include "convert/ConvertThread.h"
#include "convert/MediaInfo.h"
#include "convert/Tags.h"
#include "platform/CallQueue.h"
#include "platform/ExeFolder.h"

namespace {

double Ms(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since)
      .count();
}

double CpuMs(int who) {
  rusage u{};
  ::getrusage(who, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
         (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--tag-only") {
    auto start = std::chrono::steady_clock::now();
    std::string why = WriteOutputTags(argv[2], {argv[3], argv[4]});
    std::printf("%.1f\n", Ms(start));
    if (!why.empty()) std::fprintf(stderr, "%s\n", why.c_str());
    return why.empty() ? 0 : 1;
  }
  if (argc < 8) {
    std::fprintf(stderr,
                 "usage: %s <folder> <in> <out> <rate> <kbit> <channels> <acodec> "
                 "[--video <vcodec> <size> <vkbit>] [--tags <title> <comment>]\n",
                 argv[0]);
    return 2;
  }
  platform::SetExeFolderOverride(argv[1]);
  TCnvtSettings s;
  s.Frequency = std::stoi(argv[4]);
  s.ABitrate = std::stoi(argv[5]);
  s.Channels = std::stoi(argv[6]);
  s.ACodec = argv[7];
  TOutputTags tags;
  for (int i = 8; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--video" && i + 3 < argc) {
      s.VideoPreset = true;
      s.VCodec = argv[i + 1];
      s.VideoSize = argv[i + 2];
      s.VBitrate = std::stoi(argv[i + 3]);
      i += 3;
    } else if (a == "--tags" && i + 2 < argc) {
      tags = {argv[i + 1], argv[i + 2]};
      i += 2;
    }
  }
  const double cpu0 = CpuMs(RUSAGE_SELF);
  auto start = std::chrono::steady_clock::now();
  TConvertThread worker(argv[2], false, s, argv[3], platform::CallQueue::Current());
  const double infoMs = Ms(start);
  worker.Tags = tags;
  int reports = 0;
  bool done = false;
  worker.SetOnProgress([&](TConvertThread*, int32_t) { ++reports; });
  worker.SetOnDone([&](TConvertThread*) { done = true; });
  worker.Start();
  // Sleeps until a report arrives, as the window's event loop does; a pump
  // that woke every few milliseconds would add thousands of wake-ups to a
  // long run and count them as the runner's cost. The one-second cap only
  // matters for a run that ends without a report.
  auto queue = platform::CallQueue::Current();
  while (!done && !worker.Finished()) queue->WaitAndDrain(std::chrono::seconds(1));
  worker.WaitFor();
  const double ms = Ms(start);
  if (!worker.TagWarning.empty()) std::fprintf(stderr, "tags: %s\n", worker.TagWarning.c_str());
  const double ownMs = CpuMs(RUSAGE_SELF) - cpu0;
  std::atomic<bool> never{false};
  TMediaAudio again;
  auto second = std::chrono::steady_clock::now();
  ReadMediaAudio(argv[2], second + std::chrono::seconds(30), never, again);
  // The encoder's CPU (cvtcore and ffmpeg, reaped by now) beside this
  // process's: their sum is the conversion's without this process's start,
  // which the running program does not pay per conversion.
  std::printf("%.1f %.1f %.1f %d %d %.1f %.1f\n", ms, infoMs, ownMs, reports,
              worker.ErrorFlag ? 1 : 0, Ms(second), CpuMs(RUSAGE_CHILDREN));
  return worker.ErrorFlag || !worker.TagWarning.empty() ? 1 : 0;
}
