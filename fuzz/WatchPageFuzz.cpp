// Watch-page parser: the two stages and the resolution on an arbitrary page.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzCheck.h"
#include "resolve/Resolution.h"
#include "resolve/youparse.h"

namespace {
bool AllDigits(const std::string& s) {
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string page(reinterpret_cast<const char*>(data), size);

  std::vector<std::string> lines{"stale"};
  std::string rawTitle, rawLength;
  ParseWatchPage(page, lines, rawTitle, rawLength);
  FUZZ_CHECK(AllDigits(rawLength));

  TQualityList qualities{{"stale", {"x", "y"}}};
  std::string title, length;
  ReadWatchPage(page, qualities, title, length);
  FUZZ_CHECK(length == rawLength);
  FUZZ_CHECK(resolve::IsValidUtf8(title));
  FUZZ_CHECK(qualities.size() <= lines.size());
  for (const auto& q : qualities) FUZZ_CHECK(q.Link.Ext == ".flv" || q.Link.Ext == ".mp4");

  const TPageResolution r = ResolveWatchPage(page);
  FUZZ_CHECK(r.Qualities.size() == qualities.size());
  FUZZ_CHECK(r.ParseError == r.Qualities.empty());
  if (r.Ok) {
    FUZZ_CHECK(r.QualityIndex >= 0 && static_cast<size_t>(r.QualityIndex) < r.Qualities.size());
    const auto& chosen = r.Qualities[static_cast<size_t>(r.QualityIndex)];
    FUZZ_CHECK(chosen.Link.Url == r.StreamUrl);
    FUZZ_CHECK(chosen.Name.find("unde") == std::string::npos);
    if (r.HasDuration) FUZZ_CHECK(r.DurationSec >= 0 && !r.LengthText.empty());
  } else {
    FUZZ_CHECK(r.ParseError || !r.Warning.empty());
  }
  return 0;
}
