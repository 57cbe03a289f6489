#include "platform/UserFolders.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/ExeFolder.h"
#include "platform/Files.h"

namespace platform {
namespace {

std::string HomeFolder() {
  const char* home = std::getenv("HOME");
  if (home && *home) return home;
  const passwd* pw = ::getpwuid(::getuid());
  return pw && pw->pw_dir ? pw->pw_dir : "/";
}

std::string XdgConfigHome() {
  // Relative values are invalid and must be ignored.
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') return config;
  return HomeFolder() + "/.config";
}

std::string WithoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// The value of XDG_DOWNLOAD_DIR in user-dirs.dirs, which is written as a shell
// assignment: "$HOME/relative" or "/absolute", in double quotes. Empty when the
// line is missing or the folder is $HOME itself (the desktop's way of saying
// "none").
std::string DownloadDirFromUserDirs(const std::string& text, const std::string& home) {
  const std::string key = "XDG_DOWNLOAD_DIR=";
  std::string found;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos || line.compare(start, key.size(), key) != 0) continue;
    std::string raw = line.substr(start + key.size());
    std::string value;
    bool quoted = false;
    for (size_t i = 0; i < raw.size(); ++i) {
      char c = raw[i];
      if (c == '"') {
        quoted = !quoted;
      } else if (c == '\\' && i + 1 < raw.size()) {
        value += raw[++i];
      } else if (!quoted && (c == ' ' || c == '\t' || c == '#' || c == '\r')) {
        break;
      } else {
        value += c;
      }
    }
    found = value;  // the last assignment wins, as in the shell
  }
  if (found.rfind("$HOME", 0) == 0 && (found.size() == 5 || found[5] == '/')) {
    found = home + found.substr(5);
  } else if (found.empty() || found[0] != '/') {
    return "";
  }
  found = WithoutTrailingSlashes(found);
  return found == WithoutTrailingSlashes(home) ? "" : found;
}

}  // namespace

bool ExeFolderWritable() {
  if (ExeFolderForcedReadOnly()) return false;
  std::string folder = ExeFolder();
  if (folder.rfind("/usr/", 0) == 0) return false;
  return ::access(folder.c_str(), W_OK) == 0;
}

std::string UserConfigFolder() {
  return IncludeTrailingSlash(XdgConfigHome()) + "vantorel/";
}

std::string UserFilesFolder() {
  if (ExeFolderWritable()) return ExeFolder();
  std::string folder = UserConfigFolder();
  ForceDirectories(folder);  // a failure shows when the first file is written
  return folder;
}

std::string PrivateLogPath() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string pid = std::to_string(::getpid());
  if (runtime && runtime[0] == '/' && ::access(runtime, W_OK) == 0)
    return WithoutTrailingSlashes(runtime) + "/vantorel-" + pid + ".log";
  return "/tmp/vantorel-" + std::to_string(::getuid()) + "-" + pid + ".log";
}

std::string JournalPath() {
  return UserFilesFolder() + "jobs.db";
}

std::string UserDownloadFolder() {
  std::string home = HomeFolder();
  std::string text;
  if (ReadFile(IncludeTrailingSlash(XdgConfigHome()) + "user-dirs.dirs", text)) {
    std::string dir = DownloadDirFromUserDirs(text, home);
    if (!dir.empty()) return dir;
  }
  return IncludeTrailingSlash(home) + "Downloads";
}

std::string DefaultOutputFolder() {
  if (ExeFolderWritable()) return ExeFolder() + "Temp";
  return UserDownloadFolder() + "/Vantorel";
}

std::string PresetsFile() {
  const std::string beside = ExeFolder() + "presets.ini";
  if (ExeFolderWritable()) return beside;
  std::string own = UserConfigFolder() + "presets.ini";
  if (FileExists(own)) return own;
  if (FileExists(beside)) return beside;
  // <prefix>/lib/vantorel/ -> <prefix>/share/vantorel/
  std::filesystem::path data =
      (std::filesystem::path(ExeFolder()) / "../../share/vantorel/presets.ini").lexically_normal();
  return FileExists(data.string()) ? data.string() : beside;
}

}  // namespace platform
