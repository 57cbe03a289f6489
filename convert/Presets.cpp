#include "convert/Presets.h"

#include "platform/Text.h"
#include "platform/UserFolders.h"

namespace {

}  // namespace

const char* const kSameAsInput = "Same As Input";

std::string PresetsPath() {
  return platform::PresetsFile();
}

std::vector<std::string> ReadPresetNames(const platform::IniFile& presets) {
  return presets.ReadSections();
}

TPreset ReadPreset(const platform::IniFile& presets, const std::string& name) {
  TPreset p;
  p.VideoPreset = platform::AsciiUpper(platform::TrimBlanks(presets.ReadString(name, "Type", "AUDIO"))) != "AUDIO";
  p.ACodec = platform::TrimBlanks(presets.ReadString(name, "ACodec", ""));
  p.VCodec = platform::TrimBlanks(presets.ReadString(name, "VCodec", ""));
  p.Ext = platform::TrimBlanks(presets.ReadString(name, "EXT", ""));
  return p;
}

const std::vector<std::string>& AbitRateItems() {
  static const std::vector<std::string> items = {
      kSameAsInput, "320", "256", "224", "192", "160", "144", "128", "112", "96", "64", "48", "32"};
  return items;
}

const std::vector<std::string>& FrequencyItems() {
  static const std::vector<std::string> items = {kSameAsInput, "8000",  "12000", "16000",
                                                 "24000",      "32000", "44100", "48000"};
  return items;
}

const std::vector<std::string>& ChanelsItems() {
  static const std::vector<std::string> items = {kSameAsInput, "1", "2", "6"};
  return items;
}

const std::vector<std::string>& VBitrateItems() {
  static const std::vector<std::string> items = {kSameAsInput, "3072", "2048", "1024", "768", "512",
                                                 "256",        "192",  "128",  "64",   "32",  "16"};
  return items;
}

const std::vector<std::string>& VideoSizeItems() {
  static const std::vector<std::string> items = {kSameAsInput, "128x96",   "176x144",  "208x160",
                                                 "320x240",    "352x288",  "352x240",  "640x480",
                                                 "704x576",    "720x480",  "720x576",  "800x600",
                                                 "852x480",    "1024x768", "1280x720", "1920x1080"};
  return items;
}

void FillCnvtSettings(const TPanelTexts& panel, const platform::IniFile& presets,
                      TCnvtSettings& settings) {
  TPreset p = ReadPreset(presets, panel.Preset);
  settings.VideoPreset = p.VideoPreset;
  settings.ACodec = p.ACodec;
  settings.VCodec = p.VCodec;
  settings.OutExt = p.Ext;
  settings.PresetName = panel.Preset;
  settings.ABitrate = platform::ParseProfileInt(panel.ABitrate, 0);
  settings.VBitrate = platform::ParseProfileInt(panel.VBitrate, 0);
  settings.Frequency = platform::ParseProfileInt(panel.Frequency, 0);
  settings.Channels = platform::ParseProfileInt(panel.Channels, 0);
  settings.VideoSize = panel.VideoSize.find("Input") != std::string::npos ? "" : panel.VideoSize;
  settings.PresetIndex = panel.PresetIndex;
}

std::string PanelNumberText(int value) {
  return value == 0 ? kSameAsInput : std::to_string(value);
}

std::string PanelSizeText(const std::string& size) {
  return (size.empty() || size == "0") ? kSameAsInput : size;
}

int FindPanelEntry(const std::vector<std::string>& entries, const std::string& text) {
  auto same = [](const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
      char x = a[i], y = b[i];
      if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
      if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
      if (x != y) return false;
    }
    return true;
  };
  for (size_t i = 0; i < entries.size(); ++i)
    if (same(entries[i], text)) return static_cast<int>(i);
  return -1;
}
