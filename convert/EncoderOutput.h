#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace platform {
class TRegExpr;
}

// Reads the encoder's console output one chunk at a time (a chunk is what one
// pipe read returned, up to its first zero byte). Kept apart from the process
// handling so the text handling can be checked without running an encoder.
class TEncoderOutputParser {
 public:
  TEncoderOutputParser();
  ~TEncoderOutputParser();
  TEncoderOutputParser(const TEncoderOutputParser&) = delete;
  TEncoderOutputParser& operator=(const TEncoderOutputParser&) = delete;

  // progressMode: a "time=" after a known duration sets percent and resultText
  // to the percentage; returns true then (the caller reports it).
  // Information pass (progressMode off): a duration sets resultText to its
  // seconds, and an audio line appends its fields, each after "|||".
  bool Step(const std::string& chunk, bool progressMode, std::string& resultText, int32_t& percent);
  // Running time of the last "Duration:" line, 0 before one.
  int64_t Seconds() const { return seconds_; }
  // Of the last progress line: the position reached in seconds and the
  // encoder's speed as a multiple of real time (0 when it printed none).
  double Position() const { return position_; }
  double Speed() const { return speed_; }

 private:
  std::unique_ptr<platform::TRegExpr> duration_, time_, audio4_, audio3_;
  int64_t seconds_ = 0;
  double position_ = 0;
  double speed_ = 0;
};

// What the information pass found about the input's audio; 0 where a field is absent.
struct TProbedAudio {
  int32_t Rate = 0;
  int32_t Bitrate = 0;
  int32_t Channels = 0;  // 2 for "stereo", 1 for any other layout text
};

// Reads the text the information pass leaves in ResultText
// ("<seconds>|||codec|||rate Hz|||layout[|||bitrate kb]").
TProbedAudio ParseProbeText(const std::string& resultText);
