#pragma once
#include <signal.h>
#include <sys/types.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "convert/ConvertThread.h"
#include "platform/ExeFolder.h"
#include "tests/support/TestSupport.h"

namespace converttest {

// True when pid no longer runs (gone, or a zombie waiting for its reaper).
inline bool ProcessGone(pid_t pid) {
  if (pid <= 0) return true;
  if (::kill(pid, 0) != 0) return true;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

// Collects a worker's reports on the test (main) thread.
struct Recorder {
  std::vector<int32_t> percents;
  int doneCalls = 0;
  bool onMainThread = true;
  std::thread::id main = std::this_thread::get_id();

  void Attach(TConvertThread& worker) {
    worker.SetOnProgress([this](TConvertThread*, int32_t p) {
      onMainThread = onMainThread && std::this_thread::get_id() == main;
      percents.push_back(p);
    });
    worker.SetOnDone([this](TConvertThread*) {
      onMainThread = onMainThread && std::this_thread::get_id() == main;
      ++doneCalls;
    });
  }
};

// Points the program's folder at a sandbox and restores it afterwards.
struct ExeFolderScope {
  explicit ExeFolderScope(const std::string& folder) { platform::SetExeFolderOverride(folder); }
  ~ExeFolderScope() { platform::SetExeFolderOverride(""); }
};

}  // namespace converttest
