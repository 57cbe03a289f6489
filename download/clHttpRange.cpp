#include "download/clHttpRange.h"

#include <cctype>

#include "platform/Text.h"

namespace httprange {
namespace {

// Decimal digits at text[pos...]; at most 18 so the value fits int64_t.
std::optional<int64_t> Digits(const std::string& text, size_t& pos) {
  size_t start = pos;
  int64_t value = 0;
  while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
    if (pos - start == 18) return std::nullopt;
    value = value * 10 + (text[pos] - '0');
    ++pos;
  }
  if (pos == start) return std::nullopt;
  return value;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

}  // namespace

std::optional<TRangeAsk> ParseRangeHeader(const std::string& value) {
  std::string v = platform::TrimBlanks(value);
  if (platform::AsciiLower(v).rfind("bytes=", 0) != 0) return std::nullopt;
  std::string bounds = v.substr(6);
  if (bounds.find(',') != std::string::npos) return std::nullopt;
  size_t pos = 0;
  auto first = Digits(bounds, pos);
  if (!first || pos >= bounds.size() || bounds[pos] != '-') return std::nullopt;
  ++pos;
  TRangeAsk ask{*first, std::nullopt};
  if (pos < bounds.size()) {
    auto last = Digits(bounds, pos);
    if (!last || pos != bounds.size() || *last < *first) return std::nullopt;
    ask.last = last;
  }
  return ask;
}

std::optional<TContentRange> ParseContentRange(const std::string& value) {
  std::string v = platform::TrimBlanks(value);
  if (v.size() < 6 || platform::AsciiLower(v.substr(0, 5)) != "bytes" || !IsBlank(v[5]))
    return std::nullopt;
  size_t pos = 5;
  while (pos < v.size() && IsBlank(v[pos])) ++pos;
  TContentRange cr;
  auto first = Digits(v, pos);
  if (!first || pos >= v.size() || v[pos++] != '-') return std::nullopt;
  auto last = Digits(v, pos);
  if (!last || pos >= v.size() || v[pos++] != '/') return std::nullopt;
  if (pos < v.size() && v[pos] == '*') {
    ++pos;
  } else {
    auto total = Digits(v, pos);
    if (!total) return std::nullopt;
    cr.total = *total;
  }
  if (pos != v.size()) return std::nullopt;
  cr.first = *first;
  cr.last = *last;
  if (cr.last < cr.first || (cr.total >= 0 && cr.last >= cr.total)) return std::nullopt;
  return cr;
}

bool AnswerFits(const TRangeAsk& ask, const TContentRange& got) {
  if (got.first != ask.first) return false;
  if (!ask.last || got.last == *ask.last) return true;
  // A server may cut a range at the resource's end; never accept a different one.
  return got.total >= 0 && got.last == got.total - 1 && got.last < *ask.last;
}

}  // namespace httprange
