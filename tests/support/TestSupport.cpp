#include "tests/support/TestSupport.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/CallQueue.h"

namespace testsupport {

TempDir::TempDir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "vantorel-test-XXXXXX").string();
  char* made = ::mkdtemp(tmpl.data());
  if (!made) throw std::runtime_error("mkdtemp failed");
  path_ = std::string(made) + "/";
}

TempDir::~TempDir() {
  std::error_code ec;
  // Tests may leave read-only folders behind; make them writable first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  return platform::PumpUntil(pred, timeout);
}

std::string BinDir() {
  const char* env = ::getenv("VANTOREL_BIN_DIR");
  std::string dir = env && *env ? env : VANTOREL_BIN_DIR;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testsupport
