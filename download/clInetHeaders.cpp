#include "download/clInetHeaders.h"

#include <cctype>
#include <cstdlib>

#include "platform/Text.h"

namespace wininet::detail {

std::optional<std::string> FindHeader(const std::vector<std::string>& lines,
                                      const std::string& name, uint32_t occurrence) {
  uint32_t seen = 0;
  for (size_t i = 1; i < lines.size(); ++i) {
    auto colon = lines[i].find(':');
    if (colon == std::string::npos) continue;
    if (!platform::IEqualsAscii(platform::TrimBlanks(lines[i].substr(0, colon)), name)) continue;
    if (seen++ == occurrence) return platform::TrimBlanks(lines[i].substr(colon + 1));
  }
  return std::nullopt;
}

std::string HeaderName(const std::string& line) {
  auto colon = line.find(':');
  return platform::TrimBlanks(colon == std::string::npos ? line : line.substr(0, colon));
}

std::optional<int64_t> ParseLength(const std::optional<std::string>& text) {
  if (!text || text->empty()) return std::nullopt;
  for (char c : *text)
    if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
  if (text->size() > 18) return std::nullopt;
  return std::strtoll(text->c_str(), nullptr, 10);
}

}  // namespace wininet::detail
