// Text helpers: TextBetween against a plain reference where both markers are
// found, and MatchAll/MatchAllText with arbitrary patterns.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "platform/RegExpr.h"
#include "resolve/StrWork.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string pattern = in.ConsumeRandomLengthString(256);
  const std::string start = in.ConsumeRandomLengthString(64);
  const std::string stop = in.ConsumeRandomLengthString(64);
  const std::string text = in.ConsumeRemainingBytesAsString();

  const std::string between = TextBetween(text, start, stop);
  FUZZ_CHECK(between.size() <= text.size());
  FUZZ_CHECK(text.find(between) != std::string::npos);
  if (!start.empty() && !stop.empty()) {
    size_t p = text.find(start);
    if (p != std::string::npos) {
      size_t q = text.find(stop, p + start.size());
      if (q != std::string::npos)
        FUZZ_CHECK(between == text.substr(p + start.size(), q - p - start.size()));
    }
  }

  // The engine sees the subject up to its first zero byte.
  const std::string seen(text.c_str(), ::strnlen(text.data(), text.size()));
  std::vector<std::string> list{"kept"};
  bool matched = false;
  try {
    matched = MatchAll(text, pattern, list);
  } catch (const platform::ERegExpr&) {
    FUZZ_CHECK(MatchAllText(text, pattern).empty());
    return 0;
  }
  FUZZ_CHECK(list.front() == "kept");
  FUZZ_CHECK(matched == (list.size() > 1));
  size_t total = 0;
  for (size_t i = 1; i < list.size(); ++i) {
    FUZZ_CHECK(seen.find(list[i]) != std::string::npos);
    total += list[i].size() + 2;
  }
  const std::string joined = MatchAllText(text, pattern);
  FUZZ_CHECK(joined.size() == total);
  return 0;
}
