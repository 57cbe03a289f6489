#include "app/JobRates.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace app {

void TRateWindow::Add(double seconds, int64_t bytes) {
  if (!samples_.empty() && bytes < samples_.back().second) samples_.clear();
  samples_.emplace_back(seconds, bytes);
  // The oldest sample kept is the newest one at or before the window's start,
  // so the window spans its whole length once that much has been seen.
  while (samples_.size() > 2 && samples_[1].first <= seconds - window_) samples_.pop_front();
}

bool TRateWindow::HasRate() const {
  return samples_.size() >= 2 && samples_.back().first - samples_.front().first >= 1.0;
}

double TRateWindow::Rate() const {
  if (!HasRate()) return 0;
  const auto& [t0, b0] = samples_.front();
  const auto& [t1, b1] = samples_.back();
  return static_cast<double>(b1 - b0) / (t1 - t0);
}

std::string RateText(double bytesPerSecond) {
  char buf[32];
  const double kb = bytesPerSecond / 1024;
  if (kb < 1000)
    std::snprintf(buf, sizeof buf, "%.0f KB/s", std::max(0.0, kb));
  else
    std::snprintf(buf, sizeof buf, "%.1f MB/s", kb / 1024);
  return buf;
}

std::string TimeLeftText(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
  // Beyond this an estimate says nothing any more.
  const long long total = std::llround(std::min(seconds, 359999.0));
  const long long h = total / 3600, m = total / 60 % 60, s = total % 60;
  char buf[32];
  if (h > 0)
    std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", h, m, s);
  else
    std::snprintf(buf, sizeof buf, "%lld:%02lld", m, s);
  return buf;
}

std::string EncoderSpeedText(double times) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1fx", times);
  return buf;
}

}  // namespace app
