#pragma once
#include <gtest/gtest.h>

#include <chrono>
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

}  // namespace testsupport
