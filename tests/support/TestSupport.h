#pragma once
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <string>

namespace testsupport {

// A fresh folder under the system's temp folder, removed with everything in it
// when the object goes away. path() ends in "/".
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

// Runs pending cross-thread calls of this thread while waiting for pred().
bool WaitFor(const std::function<bool()>& pred,
             std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Folder that holds the built program, cvtcore and presets.ini.
std::string BinDir();

// True when pid no longer runs (gone, or a zombie waiting for its reaper).
inline bool ProcessGone(pid_t pid) {
  if (pid <= 0 || ::kill(pid, 0) != 0) return true;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  // getline, not a stream-buffer iterator: a process that ends during the read
  // fails the read (ESRCH), which the iterator would throw out of the test.
  if (!std::getline(stat, text)) return ::kill(pid, 0) != 0;
  auto close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}


// The whole file's bytes; empty when it cannot be read.
std::string ReadAll(const std::string& path);

}  // namespace testsupport
