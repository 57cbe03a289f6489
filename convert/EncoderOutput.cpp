#include "convert/EncoderOutput.h"

#include <algorithm>
#include <cctype>
#include <cfenv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/RegExpr.h"

namespace {

const char kDurationPattern[] = "Duration:\\s(\\d{2}):(\\d{2}):(\\d{2})";
const char kTimePattern[] = "time=(\\d+).\\d*";
const char kAudio4Pattern[] = "Audio:\\s([^,]+),\\s([^,]+),\\s([^,]+),\\s([^,]+)kb\\/s";
const char kAudio3Pattern[] = "Audio:\\s([^,]+),\\s([^,]+),\\s([^,]+)\\r\\n";
const char kSeparator[] = "|||";

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  size_t pos = 0;
  while ((pos = text.find(from, pos)) != std::string::npos) {
    text.replace(pos, from.size(), to);
    pos += to.size();
  }
}

// Blanks and control characters off both ends.
std::string TrimControl(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

// Leading decimal digits as a number (0 when there are none), saturating.
int64_t LeadingNumber(const std::string& s) {
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') break;
    if (v > (INT64_MAX - 9) / 10) return INT64_MAX;
    v = v * 10 + (c - '0');
  }
  return v;
}

int32_t ClampInt32(int64_t v) {
  return static_cast<int32_t>(std::min<int64_t>(v, INT32_MAX));
}

std::vector<std::string> SplitProbe(const std::string& text) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    size_t at = text.find(kSeparator, start);
    if (at == std::string::npos) break;
    pieces.push_back(TrimControl(text.substr(start, at - start)));
    start = at + 3;
  }
  std::string last = TrimControl(text.substr(start));
  if (!last.empty()) pieces.push_back(last);
  return pieces;
}

// The number after the last "key" of the chunk; 0 when there is none or it is
// no number ("speed=N/A").
double LastNumberAfter(const std::string& chunk, const char* key) {
  const size_t at = chunk.rfind(key);
  if (at == std::string::npos) return 0;
  const char* start = chunk.c_str() + at + std::strlen(key);
  while (*start == ' ') ++start;
  char* end = nullptr;
  const double v = std::strtod(start, &end);
  return end != start && std::isfinite(v) && v > 0 ? v : 0;
}

int32_t RoundPercent(int64_t t, int64_t duration) {
  long double p = static_cast<long double>(t) / static_cast<long double>(duration) * 100.0L;
  // Halves go to the even neighbour (12.5 → 12, 37.5 → 38).
  const int saved = std::fegetround();
  std::fesetround(FE_TONEAREST);
  long double r = std::nearbyint(p);
  std::fesetround(saved);
  return r >= 100.0L ? 100 : static_cast<int32_t>(r);
}

std::unique_ptr<platform::TRegExpr> Pattern(const char* expression) {
  auto re = std::make_unique<platform::TRegExpr>();
  re->SetExpression(expression);
  return re;
}

}  // namespace

TEncoderOutputParser::TEncoderOutputParser()
    : duration_(Pattern(kDurationPattern)),
      time_(Pattern(kTimePattern)),
      audio4_(Pattern(kAudio4Pattern)),
      audio3_(Pattern(kAudio3Pattern)) {}

TEncoderOutputParser::~TEncoderOutputParser() = default;

bool TEncoderOutputParser::Step(const std::string& chunk, bool progressMode,
                                std::string& resultText, int32_t& percent) {
  if (duration_->Exec(chunk)) {
    seconds_ = LeadingNumber(duration_->Match(1)) * 3600 + LeadingNumber(duration_->Match(2)) * 60 +
               LeadingNumber(duration_->Match(3));
    if (!progressMode) resultText = std::to_string(seconds_);
  }
  if (progressMode) {
    if (seconds_ != 0 && time_->Exec(chunk)) {
      percent = RoundPercent(LeadingNumber(time_->Match(1)), seconds_);
      position_ = LastNumberAfter(chunk, "time=");
      speed_ = LastNumberAfter(chunk, "speed=");
      resultText = std::to_string(percent);
      return true;
    }
  } else if (audio4_->Exec(chunk)) {
    for (int g = 1; g <= 4; ++g) resultText += kSeparator + audio4_->Match(g);
  } else if (audio3_->Exec(chunk)) {
    for (int g = 1; g <= 3; ++g) resultText += kSeparator + audio3_->Match(g);
  }
  return false;
}

TProbedAudio ParseProbeText(const std::string& resultText) {
  TProbedAudio a;
  auto pieces = SplitProbe(resultText);
  if (pieces.size() >= 3) {
    std::string p = pieces[2];
    ReplaceAll(p, "Hz", "");
    a.Rate = ClampInt32(LeadingNumber(TrimControl(p)));
  }
  if (pieces.size() >= 4) {
    std::string p = pieces[3];
    std::transform(p.begin(), p.end(), p.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    a.Channels = TrimControl(p) == "stereo" ? 2 : 1;
  }
  if (pieces.size() == 5) {
    std::string p = pieces[4];
    ReplaceAll(p, "kbit", "");
    a.Bitrate = ClampInt32(LeadingNumber(TrimControl(p)));
  }
  return a;
}
