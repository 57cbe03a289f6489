#include <gtest/gtest.h>

#include "convert/EncoderOutput.h"

TEST(EncoderOutput, ProgressNeedsDurationAndRoundsHalvesToEven) {
  TEncoderOutputParser p;
  std::string result;
  int32_t percent = 0;
  EXPECT_FALSE(p.Step("size= 1kB time=10.00 bitrate=1\r", true, result, percent));
  EXPECT_TRUE(result.empty());
  EXPECT_FALSE(p.Step("  Duration: 00:03:20.43, start: 0.0\r\n", true, result, percent));
  EXPECT_EQ(p.Seconds(), 200);
  EXPECT_TRUE(p.Step("size= 512kB time=25.00 bitrate=1\r", true, result, percent));
  EXPECT_EQ(percent, 12);  // 12.5
  EXPECT_EQ(result, "12");
  EXPECT_TRUE(p.Step("time=999999999999999999999999.5", true, result, percent));
  EXPECT_EQ(percent, 100);
}

TEST(EncoderOutput, ProgressLineGivesPositionAndSpeed) {
  TEncoderOutputParser p;
  std::string result;
  int32_t percent = 0;
  p.Step("  Duration: 00:01:40.00, start: 0.0\r\n", true, result, percent);
  // Two lines in one chunk: the later one counts.
  ASSERT_TRUE(p.Step("size= 1kB time=10.00 speed=2.0x\rsize= 2kB time=25.50 speed= 12.4x\r", true,
                     result, percent));
  EXPECT_DOUBLE_EQ(p.Position(), 25.5);
  EXPECT_DOUBLE_EQ(p.Speed(), 12.4);
  ASSERT_TRUE(p.Step("size= 3kB time=30.00 speed=N/A\r", true, result, percent));
  EXPECT_EQ(p.Speed(), 0);
}

TEST(EncoderOutput, InformationPassCollectsAudioFieldsForTheProbeReader) {
  TEncoderOutputParser p;
  std::string result;
  int32_t percent = 0;
  EXPECT_FALSE(
      p.Step("  Duration: 00:03:25.43, start: 0.000000, bitrate: 403 kb/s\r\n"
             "    Stream #0.1: Audio: mp3, 44100 Hz, stereo, 128 kb/s\r\n",
             false, result, percent));
  EXPECT_EQ(result, "205|||mp3|||44100 Hz|||stereo|||128 ");
  TProbedAudio a = ParseProbeText(result);
  EXPECT_EQ(a.Rate, 44100);
  EXPECT_EQ(a.Channels, 2);
  EXPECT_EQ(a.Bitrate, 128);

  a = ParseProbeText("60|||aac|||22050 Hz|||mono");  // three-field line: no bitrate
  EXPECT_EQ(a.Rate, 22050);
  EXPECT_EQ(a.Channels, 1);
  EXPECT_EQ(a.Bitrate, 0);
  a = ParseProbeText("|||x|||99999999999999999999 Hz");
  EXPECT_EQ(a.Rate, INT32_MAX);
  EXPECT_EQ(a.Channels, 0);
}
