#include <gtest/gtest.h>

#include "convert/Presets.h"
#include "platform/Files.h"
#include "tests/support/TestSupport.h"

namespace {

platform::IniFile Presets(const testsupport::TempDir& dir, const std::string& text) {
  platform::WriteFile(dir / "presets.ini", text);
  return platform::IniFile(dir / "presets.ini");
}

}  // namespace

TEST(Presets, TypeCodecsAndExtension) {
  testsupport::TempDir dir;
  auto ini = Presets(dir,
                     "[Low]\nType = audio \nACodec= libmp3lame \nEXT=mp3\n"
                     "[Vid]\nType=MOVIE\nVCodec=mpeg4\nACodec=default\nEXT=avi\n"
                     "[Empty]\nType=\n[NoType]\nEXT=wav\n[low]\nType=VIDEO\n");
  EXPECT_EQ(ReadPresetNames(ini), (std::vector<std::string>{"Low", "Vid", "Empty", "NoType"}));
  TPreset low = ReadPreset(ini, "Low");
  EXPECT_FALSE(low.VideoPreset);  // the first of two same-named sections wins
  EXPECT_EQ(low.ACodec, "libmp3lame");
  EXPECT_EQ(low.Ext, "mp3");
  EXPECT_TRUE(ReadPreset(ini, "Vid").VideoPreset);
  EXPECT_TRUE(ReadPreset(ini, "Empty").VideoPreset);  // present but empty: video
  EXPECT_FALSE(ReadPreset(ini, "NoType").VideoPreset);
  TPreset gone = ReadPreset(ini, "Gone");
  EXPECT_FALSE(gone.VideoPreset);
  EXPECT_TRUE(gone.ACodec.empty() && gone.VCodec.empty() && gone.Ext.empty());
}

TEST(Presets, PanelTextsFillTheSettings) {
  testsupport::TempDir dir;
  auto ini = Presets(dir,
                     "[MP3]\nType=AUDIO\nACodec=libmp3lame\nEXT=mp3\n"
                     "[AVI]\nType=VIDEO\nACodec=libmp3lame\nVCodec=mpeg4\nEXT=avi\n");
  TPanelTexts panel{"AVI", 1, "128", kSameAsInput, "2", "512", "320x240"};
  TCnvtSettings s;
  FillCnvtSettings(panel, ini, s);
  EXPECT_TRUE(s.VideoPreset);
  EXPECT_EQ(s.PresetIndex, 1);
  EXPECT_EQ(s.PresetName, "AVI");
  EXPECT_EQ(s.VCodec, "mpeg4");
  EXPECT_EQ(s.OutExt, "avi");
  EXPECT_EQ(s.ABitrate, 128);
  EXPECT_EQ(s.Frequency, 0);
  EXPECT_EQ(s.Channels, 2);
  EXPECT_EQ(s.VBitrate, 512);
  EXPECT_EQ(s.VideoSize, "320x240");

  FillCnvtSettings(
      TPanelTexts{"", -1, kSameAsInput, "44100", kSameAsInput, kSameAsInput, kSameAsInput}, ini, s);
  EXPECT_FALSE(s.VideoPreset);
  EXPECT_EQ(s.PresetIndex, -1);
  EXPECT_TRUE(s.ACodec.empty() && s.OutExt.empty() && s.VideoSize.empty());
  EXPECT_EQ(s.Frequency, 44100);
  EXPECT_EQ(s.ABitrate, 0);
}

TEST(Presets, ShowingAJobFindsItsEntries) {
  EXPECT_EQ(FindPanelEntry(AbitRateItems(), PanelNumberText(192)), 4);
  EXPECT_EQ(FindPanelEntry(AbitRateItems(), PanelNumberText(0)), 0);
  EXPECT_EQ(FindPanelEntry(AbitRateItems(), PanelNumberText(100)), -1);
  EXPECT_EQ(FindPanelEntry(VideoSizeItems(), PanelSizeText("640X480")), 7);
  EXPECT_EQ(FindPanelEntry(VideoSizeItems(), PanelSizeText("0")), 0);
  EXPECT_EQ(FindPanelEntry(VideoSizeItems(), PanelSizeText("")), 0);
}

TEST(Presets, ShippedFileHasTheUsualFormats) {
  platform::IniFile ini(testsupport::BinDir() + "/presets.ini");
  auto names = ReadPresetNames(ini);
  ASSERT_GE(names.size(), 8u);
  std::vector<std::string> exts;
  for (const auto& n : names) {
    TPreset p = ReadPreset(ini, n);
    EXPECT_FALSE(p.ACodec.empty()) << n;
    EXPECT_EQ(p.VideoPreset, !p.VCodec.empty()) << n;
    exts.push_back(p.Ext);
  }
  for (const char* e : {"mp3", "m4a", "ogg", "wav", "flac", "mp4", "avi", "webm"})
    EXPECT_NE(std::find(exts.begin(), exts.end(), e), exts.end()) << e;
}
