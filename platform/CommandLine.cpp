#include "platform/CommandLine.h"

namespace platform {
namespace {
bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}
}  // namespace

std::vector<std::string> SplitCommandLine(const std::string& cmd) {
  std::vector<std::string> out;
  size_t i = 0;
  const size_t n = cmd.size();
  while (i < n && IsBlank(cmd[i])) ++i;
  if (i >= n) return out;

  // Program word: quotes group, backslashes are plain characters.
  std::string word;
  bool quoted = false;
  for (; i < n; ++i) {
    char c = cmd[i];
    if (c == '"') {
      quoted = !quoted;
    } else if (IsBlank(c) && !quoted) {
      break;
    } else {
      word += c;
    }
  }
  out.push_back(word);

  for (;;) {
    while (i < n && IsBlank(cmd[i])) ++i;
    if (i >= n) break;
    word.clear();
    quoted = false;
    while (i < n) {
      char c = cmd[i];
      if (c == '\\') {
        size_t slashes = 0;
        while (i < n && cmd[i] == '\\') {
          ++slashes;
          ++i;
        }
        if (i < n && cmd[i] == '"') {
          word.append(slashes / 2, '\\');
          if (slashes % 2 == 1) {
            word += '"';
            ++i;
          }
          // Even count: the quote is handled by the next round.
        } else {
          word.append(slashes, '\\');
        }
        continue;
      }
      if (c == '"') {
        if (quoted && i + 1 < n && cmd[i + 1] == '"') {
          word += '"';
          i += 2;
          continue;
        }
        quoted = !quoted;
        ++i;
        continue;
      }
      if (IsBlank(c) && !quoted) break;
      word += c;
      ++i;
    }
    out.push_back(word);
  }
  return out;
}

std::string QuoteArgument(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  size_t slashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++slashes;
      continue;
    }
    if (c == '"') {
      out.append(slashes * 2 + 1, '\\');
      out += '"';
    } else {
      out.append(slashes, '\\');
      out += c;
    }
    slashes = 0;
  }
  out.append(slashes * 2, '\\');
  out += '"';
  return out;
}

}  // namespace platform
