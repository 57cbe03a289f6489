#pragma once
#include <cstdint>
#include <string>

// A job's conversion settings, copied by value; 0 or an empty text means the
// value is taken from the input ("Same As Input").
struct TCnvtSettings {
  bool VideoPreset = false;  // the preset's Type is not AUDIO: the video command line is used
  int32_t PresetIndex = 0;   // -1 when no preset was selected
  std::string ACodec;
  std::string VCodec;
  int32_t Frequency = 0;  // Hz
  int32_t ABitrate = 0;   // kbit/s
  int32_t VBitrate = 0;   // kbit/s
  int32_t Channels = 0;
  std::string VideoSize;  // "320x240"
  std::string OutExt;     // without the dot
  std::string PresetName;
};
