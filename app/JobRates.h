#pragma once
#include <cstdint>
#include <deque>
#include <string>
#include <utility>

namespace app {

// Download rate over a recent window of byte-count samples, so that a change of
// speed shows within seconds instead of being averaged with the whole run.
class TRateWindow {
 public:
  explicit TRateWindow(double windowSeconds = 5) : window_(windowSeconds) {}

  // A sample: seconds on a monotonic clock and the bytes received so far.
  // A count that goes back (a restarted download) starts the window anew.
  void Add(double seconds, int64_t bytes);
  // Bytes per second over the window; 0 until the samples span a second.
  double Rate() const;
  bool HasRate() const;

 private:
  double window_;
  std::deque<std::pair<double, int64_t>> samples_;
};

// "640 KB/s" below one MB/s, "2.4 MB/s" from there on (KB = 1024 bytes).
std::string RateText(double bytesPerSecond);
// "m:ss" below an hour, "h:mm:ss" from there on; rounded to whole seconds.
std::string TimeLeftText(double seconds);
// The encoder's speed as a multiple of real time: "12.4x".
std::string EncoderSpeedText(double times);

}  // namespace app
