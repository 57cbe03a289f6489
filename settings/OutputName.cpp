#include "settings/OutputName.h"

#include <cstdio>

#include "platform/Files.h"

namespace {

void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
}

// Blanks and control characters only.
bool IsBlankName(const std::string& s) {
  for (char c : s)
    if (static_cast<unsigned char>(c) > ' ') return false;
  return true;
}

}  // namespace

std::string MakeOutputName(const TOutName& rule, const std::string& title, const std::string& ext) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return MakeOutputName(rule, title, ext, local);
}

std::string MakeOutputName(const TOutName& rule, const std::string& title, const std::string& ext,
                           const std::tm& date) {
  // A rule that was never loaded has no separator; a zero byte must not reach a name.
  const char sep = rule.Separator ? rule.Separator : '_';
  std::string name;
  if (!rule.Prefix.empty()) name += rule.Prefix + sep;
  if (rule.IncludeName) name += title + sep;
  if (rule.IncludeDate) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d%02d%02d", date.tm_year + 1900, date.tm_mday,
                  date.tm_mon + 1);
    name += std::string(buf) + sep;
  }
  if (!rule.Postfix.empty()) name += rule.Postfix + sep;
  if (name.empty()) name = title + ".";
  name.pop_back();  // the trailing separator, or the dot just added

  ReplaceAll(name, "http://", "");
  ReplaceAll(name, "\r\n", " ");
  for (char& c : name) {
    switch (c) {
      case '/':
      case ':':
      case '*':
      case '?':
      case '\\':
      case '"':
      case '>':
      case '<':
      case '|':
        c = ' ';
        break;
      default:
        break;
    }
  }
  if (IsBlankName(name)) name = "Unknown";
  return name + ext;
}

std::string UniquePath(const std::string& path) {
  const std::string ext = platform::ExtractFileExt(path);
  const std::string folder = platform::ExtractFilePath(path);
  std::string base = platform::ExtractFileName(path);
  base.resize(base.size() - ext.size());
  std::string candidate = path;
  for (unsigned long long n = 0; platform::FileExists(candidate); ++n)
    candidate = folder + base + std::to_string(n) + ext;
  return candidate;
}
