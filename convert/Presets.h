#pragma once
#include <string>
#include <vector>

#include "convert/CnvtSettings.h"
#include "platform/Ini.h"

// Presets come from presets.ini beside the program: one section per preset with
// the keys Type, ACodec, VCodec and EXT. The panel logic here is free of widgets;
// the main window feeds it the texts of its lists.

struct TPreset {
  bool VideoPreset = false;  // Type present and not AUDIO (an empty Type is video)
  std::string ACodec;
  std::string VCodec;
  std::string Ext;
};

// platform::PresetsFile(): beside the program, or for an installed program the
// user's own copy or the package's.
std::string PresetsPath();

// Section names in file order; empty when the file is missing.
std::vector<std::string> ReadPresetNames(const platform::IniFile& presets);
// The keys of one preset, trimmed; a name that is no section gives an audio preset
// without codecs or extension.
TPreset ReadPreset(const platform::IniFile& presets, const std::string& name);

// Entries of the panel's value lists, "Same As Input" first.
extern const char* const kSameAsInput;
const std::vector<std::string>& AbitRateItems();
const std::vector<std::string>& FrequencyItems();
const std::vector<std::string>& ChanelsItems();
const std::vector<std::string>& VBitrateItems();
const std::vector<std::string>& VideoSizeItems();

// What the conversion panel shows: the preset list's text and index and the
// texts of the five value lists.
struct TPanelTexts {
  std::string Preset;  // empty when no preset is selected
  int PresetIndex = -1;
  std::string ABitrate;
  std::string Frequency;
  std::string Channels;
  std::string VBitrate;
  std::string VideoSize;
};

// Fills settings from the panel and the preset file, field by field in the
// order the window reads them.
void FillCnvtSettings(const TPanelTexts& panel, const platform::IniFile& presets,
                      TCnvtSettings& settings);

// Texts to look up in the value lists when a job is shown: the number in decimal
// or "Same As Input" for 0; the size itself or "Same As Input" for "" and "0".
std::string PanelNumberText(int value);
std::string PanelSizeText(const std::string& size);
// Index of the entry equal to text without regard to case, or -1.
int FindPanelEntry(const std::vector<std::string>& entries, const std::string& text);
