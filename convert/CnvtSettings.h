#pragma once
#include <cstdint>
#include <string>

// Conversion settings of one job, copied by value. A zero number or an empty
// text means "Same As Input".
struct TCnvtSettings {
  bool VideoPreset = false;  // the preset's type is not audio: video command line
  int32_t PresetIndex = 0;   // index in the preset list; -1 when none was selected
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
