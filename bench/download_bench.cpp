// Headless driver of the download engine, set up the way the main window sets it
// up, for bench/download_bench.sh. Usage: download_bench <out folder> <url>...
// Downloads every URL into the folder (file name = last path segment) and exits
// 0 when all items ended with psSuccess.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "download/clMultiDownLoader.h"
#include "platform/CallQueue.h"

namespace {

// What the window's progress handler touches per block: the job of the item and
// its progress cell text.
struct TJob {
  TclDownLoadItem* Item = nullptr;
  int Progress = 0;
  std::string ProgressCell;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <out folder> <url>...\n", argv[0]);
    return 2;
  }
  std::string folder = argv[1];
  if (folder.back() != '/') folder += '/';

  TclMultiDownLoader loader{platform::CallQueue::Current()};
  loader.SetTryCount(25);
  loader.SetTimeOut(999999);
  loader.SetMaxStartedItems(3);
  loader.SetBatchSize(8192);
  loader.ReportBlockData = false;  // as the window's runner: progress only

  std::vector<TJob> jobs;
  size_t completed = 0;
  long long blocks = 0;
  loader.OnDataItemProceed = [&](TclMultiDownLoader*, TclDownLoadItem* item, TclResourceInfo*,
                                 TclResourceStateItem* state, const char*, int) {
    ++blocks;
    for (auto& job : jobs) {
      if (job.Item != item) continue;
      auto* list = state->ResourceState();
      if (list->ResourceSize() <= 0) break;
      int percent = static_cast<int>(list->BytesProceed() * 100 / list->ResourceSize());
      if (percent != job.Progress || job.ProgressCell.empty()) {
        job.Progress = percent;
        char cell[16];
        std::snprintf(cell, sizeof cell, "%d%%", percent);
        job.ProgressCell = cell;
      }
      break;
    }
  };
  loader.OnProcessCompleted = [&](TclMultiDownLoader*, TclDownLoadItem*) { ++completed; };

  loader.DownLoadList()->Clear();
  for (int i = 2; i < argc; ++i) {
    std::string url = argv[i];
    std::string name = url.substr(url.find_last_of('/') + 1);
    std::string path = folder + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc);  // the window's empty file
    auto* item = loader.DownLoadList()->Add();
    item->SetURL(url);
    item->SetLocalFile(path);
    // DOWNLOAD_BENCH_CHUNK=<bytes>: the largest request a site allows (a chunk limit).
    if (const char* chunk = std::getenv("DOWNLOAD_BENCH_CHUNK")) item->SetChunkLimit(std::atoll(chunk));
    jobs.push_back({item, 0, {}});
  }
  loader.Start(nullptr, true);
  while (completed < jobs.size())
    platform::PumpUntil([&] { return completed >= jobs.size(); }, std::chrono::hours(1));

  if (std::getenv("DOWNLOAD_BENCH_VERBOSE")) std::fprintf(stderr, "blocks: %lld\n", blocks);
  int failed = 0;
  for (auto& job : jobs) {
    if (job.Item->Status() != psSuccess) {
      ++failed;
      std::fprintf(stderr, "%s: status %d%s%s\n", job.Item->URL().c_str(), job.Item->Status(),
                   job.Item->Errors().empty() ? "" : ": ",
                   job.Item->Errors().empty() ? "" : job.Item->Errors().back().Error.c_str());
    }
  }
  return failed ? 1 : 0;
}
