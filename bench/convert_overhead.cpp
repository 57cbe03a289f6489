// Converts one file through the conversion worker (and so through cvtcore),
// the way the program does, and prints the wall time in milliseconds.
// Usage: convert_overhead <cvtcore folder> <in> <out> <rate> <kbit> <channels> <acodec>
//        [--video <vcodec> <size> <vkbit>]
#include <chrono>
#include <cstdio>
#include <string>

#include "convert/ConvertThread.h"
#include "platform/CallQueue.h"
#include "platform/ExeFolder.h"

int main(int argc, char** argv) {
  if (argc < 8) {
    std::fprintf(stderr,
                 "usage: %s <folder> <in> <out> <rate> <kbit> <channels> <acodec> "
                 "[--video <vcodec> <size> <vkbit>]\n",
                 argv[0]);
    return 2;
  }
  platform::SetExeFolderOverride(argv[1]);
  TCnvtSettings s;
  s.Frequency = std::stoi(argv[4]);
  s.ABitrate = std::stoi(argv[5]);
  s.Channels = std::stoi(argv[6]);
  s.ACodec = argv[7];
  if (argc >= 12 && std::string(argv[8]) == "--video") {
    s.VideoPreset = true;
    s.VCodec = argv[9];
    s.VideoSize = argv[10];
    s.VBitrate = std::stoi(argv[11]);
  }
  auto start = std::chrono::steady_clock::now();
  TConvertThread worker(argv[2], false, s, argv[3], platform::CallQueue::Current());
  int reports = 0;
  bool done = false;
  worker.SetOnProgress([&](TConvertThread*, int32_t) { ++reports; });
  // The done report wakes the pump at once, as the window's event loop would
  // be woken; polling Finished() would add up to a pump period to each run.
  worker.SetOnDone([&](TConvertThread*) { done = true; });
  worker.Start();
  platform::PumpUntil([&] { return done || worker.Finished(); }, std::chrono::hours(1));
  worker.WaitFor();
  double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.1f %d %d\n", ms, reports, worker.ErrorFlag ? 1 : 0);
  return worker.ErrorFlag ? 1 : 0;
}
