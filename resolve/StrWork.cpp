#include "resolve/StrWork.h"

#include "platform/RegExpr.h"

namespace {

// 1-based substring position, 0 when absent; an empty needle is never found.
size_t Pos(const std::string& needle, const std::string& text) {
  if (needle.empty()) return 0;
  size_t p = text.find(needle);
  return p == std::string::npos ? 0 : p + 1;
}

// 1-based copy: an index below 1 starts at the beginning without shortening the
// count; the count is clipped to what the text holds.
std::string Copy(const std::string& text, long long index, long long count) {
  const long long len = static_cast<long long>(text.size());
  long long from = index - 1;
  if (from < 0) from = 0;
  if (from > len) from = len;
  if (count < 0) count = 0;
  if (count > len - from) count = len - from;
  return text.substr(static_cast<size_t>(from), static_cast<size_t>(count));
}

}  // namespace

bool MatchAll(const std::string& subject, const std::string& pattern,
              std::vector<std::string>& list) {
  platform::TRegExpr re;
  re.SetModifierI(true);
  re.SetExpression(pattern);
  if (!re.Exec(subject)) return false;
  do {
    list.push_back(re.Match(0));
  } while (re.ExecNext());
  return true;
}

std::string MatchAllText(const std::string& subject, const std::string& pattern) {
  try {
    std::vector<std::string> list;
    if (!MatchAll(subject, pattern, list) || list.empty()) return {};
    std::string out;
    for (const auto& item : list) {
      out += item;
      out += "\r\n";
    }
    return out;
  } catch (...) {
    return {};
  }
}

std::string TextBetween(const std::string& text, const std::string& startMarker,
                        const std::string& stopMarker) {
  const long long len = static_cast<long long>(text.size());
  const long long markerLen = static_cast<long long>(startMarker.size());
  const long long p = static_cast<long long>(Pos(startMarker, text));
  std::string rest = Copy(text, p + markerLen, len - markerLen);
  const long long q = static_cast<long long>(Pos(stopMarker, rest));
  if (q > 0) return Copy(rest, 1, q - 1);
  return Copy(rest, 1, static_cast<long long>(rest.size()) - 1);
}

namespace resolve {

std::string TrimControl(const std::string& text) {
  size_t b = 0, e = text.size();
  while (b < e && static_cast<unsigned char>(text[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(text[e - 1]) <= ' ') --e;
  return text.substr(b, e - b);
}

std::string UpperAscii(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

}  // namespace resolve
