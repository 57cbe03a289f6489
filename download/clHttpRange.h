#pragma once
#include <cstdint>
#include <optional>
#include <string>

// Byte ranges of HTTP: the Range a request asks for and the Content-Range a partial
// answer carries, parsed once here and checked against each other by one rule. The
// transport applies the rule to every 206 it hands out; the worker only reads the
// total from the same parser.
namespace httprange {

// "bytes=first-" or "bytes=first-last" (one range only).
struct TRangeAsk {
  int64_t first = 0;
  std::optional<int64_t> last;  // none: up to the resource's end
};

// "bytes first-last/total" or "bytes first-last/*".
struct TContentRange {
  int64_t first = 0, last = 0;
  int64_t total = -1;  // -1 for "*"
};

// The value of a Range header; none for anything but one range of the bytes unit
// (suffix ranges "-N" and lists are not ours to check).
std::optional<TRangeAsk> ParseRangeHeader(const std::string& value);

// The value of a Content-Range header: digits only, first <= last, and last below a
// known total. Blanks around the value and after "bytes" are allowed, nothing else.
std::optional<TContentRange> ParseContentRange(const std::string& value);

// Whether a partial answer carries the bytes asked for: it starts at the asked
// offset and ends where asked, or earlier exactly at the resource's end.
bool AnswerFits(const TRangeAsk& ask, const TContentRange& got);

}  // namespace httprange
