// Command-line splitting: any line splits without fault, and quoting words with
// QuoteArgument and splitting the joined line gives the same words back (both
// for the words the input splits into and for the input's zero-separated words).
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "platform/CommandLine.h"

namespace {

void CheckRoundTrip(const std::vector<std::string>& words) {
  std::string line = "prog";
  for (const auto& w : words) line += " " + platform::QuoteArgument(w);
  std::vector<std::string> expected{"prog"};
  expected.insert(expected.end(), words.begin(), words.end());
  const auto got = platform::SplitCommandLine(line);
  if (got != expected) std::fprintf(stderr, "line: [%s]\n", line.c_str());
  FUZZ_CHECK(got == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);

  const auto words = platform::SplitCommandLine(input);
  size_t total = 0;
  for (const auto& w : words) total += w.size();
  FUZZ_CHECK(total <= input.size());
  if (words.size() > 1) CheckRoundTrip({words.begin() + 1, words.end()});

  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    size_t zero = input.find('\0', start);
    pieces.push_back(input.substr(start, zero == std::string::npos ? zero : zero - start));
    if (zero == std::string::npos) break;
    start = zero + 1;
  }
  CheckRoundTrip(pieces);
  return 0;
}
