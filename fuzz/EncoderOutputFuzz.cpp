// Encoder console output, as chunks (split at zero bytes), through the runner's
// per-chunk step in both modes, then the information pass's probe reading.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "convert/EncoderOutput.h"
#include "fuzz/FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> chunks;
  size_t start = 0;
  for (;;) {
    size_t zero = input.find('\0', start);
    chunks.push_back(input.substr(start, zero == std::string::npos ? zero : zero - start));
    if (zero == std::string::npos) break;
    start = zero + 1;
  }

  {
    TEncoderOutputParser progress;
    std::string result;
    int32_t percent = 0;
    for (const auto& chunk : chunks) {
      const int32_t before = percent;
      if (progress.Step(chunk, true, result, percent)) {
        FUZZ_CHECK(percent >= 0 && percent <= 100);
        FUZZ_CHECK(result == std::to_string(percent));
        FUZZ_CHECK(progress.Seconds() > 0);
      } else {
        FUZZ_CHECK(percent == before);
      }
      FUZZ_CHECK(progress.Seconds() >= 0 && progress.Seconds() < 100 * 3600);
    }
  }

  TEncoderOutputParser probe;
  std::string result;
  int32_t percent = -5;
  for (const auto& chunk : chunks) FUZZ_CHECK(!probe.Step(chunk, false, result, percent));
  FUZZ_CHECK(percent == -5);
  const TProbedAudio audio = ParseProbeText(result);
  FUZZ_CHECK(audio.Rate >= 0 && audio.Bitrate >= 0);
  FUZZ_CHECK(audio.Channels >= 0 && audio.Channels <= 2);
  // The probe reader also takes any text, not only what the step made.
  const TProbedAudio any = ParseProbeText(input);
  FUZZ_CHECK(any.Rate >= 0 && any.Bitrate >= 0 && any.Channels >= 0 && any.Channels <= 2);
  return 0;
}
