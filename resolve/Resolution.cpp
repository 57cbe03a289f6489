#include "resolve/Resolution.h"

#include <climits>

#include "resolve/youparse.h"

namespace {

bool ParseDecimal(const std::string& text, int& value) {
  if (text.empty()) return false;
  long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
    if (v > INT_MAX) return false;
  }
  value = static_cast<int>(v);
  return true;
}

}  // namespace

TPageResolution ResolveWatchPage(const std::string& page) {
  TPageResolution r;
  try {
    ReadWatchPage(page, r.Qualities, r.Title, r.LengthText);
  } catch (const std::exception& e) {
    r.Qualities.clear();
  }
  if (r.Qualities.empty()) {
    r.ParseError = true;
    return r;
  }
  for (size_t i = 0; i < r.Qualities.size(); ++i) {
    if (r.Qualities[i].Name.find("unde") == std::string::npos) {
      r.QualityIndex = static_cast<int>(i);
      break;
    }
  }
  if (r.QualityIndex < 0) {
    // Every stream has an unknown format code: nothing the program can name.
    r.Warning = "List index out of bounds (-1)";
    return r;
  }
  r.StreamUrl = r.Qualities[static_cast<size_t>(r.QualityIndex)].Link.Url;
  r.HasDuration = ParseDecimal(r.LengthText, r.DurationSec);
  r.Ok = true;
  return r;
}
