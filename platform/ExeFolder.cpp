#include "platform/ExeFolder.h"

#include <limits.h>
#include <unistd.h>

#include <mutex>

namespace platform {
namespace {
std::mutex g_mutex;
std::string g_override;
bool g_readOnly = false;
}  // namespace

std::string ExeFolder() {
  {
    std::lock_guard lock(g_mutex);
    if (!g_override.empty()) return g_override;
  }
  char buf[PATH_MAX + 1];
  ssize_t n = readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return "./";
  std::string path(buf, static_cast<size_t>(n));
  auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

void SetExeFolderOverride(const std::string& folder, bool readOnly) {
  std::lock_guard lock(g_mutex);
  g_override = folder;
  g_readOnly = readOnly && !folder.empty();
  if (!g_override.empty() && g_override.back() != '/') g_override += '/';
}

bool ExeFolderForcedReadOnly() {
  std::lock_guard lock(g_mutex);
  return g_readOnly;
}

}  // namespace platform
