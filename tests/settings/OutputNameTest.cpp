#include <gtest/gtest.h>

#include <ctime>

#include "platform/Files.h"
#include "settings/OutputName.h"
#include "tests/support/TestSupport.h"

namespace {

TOutName Rule(char sep, std::string prefix, bool name, bool date, std::string postfix) {
  TOutName r;
  r.Separator = sep;
  r.Prefix = std::move(prefix);
  r.IncludeName = name;
  r.IncludeDate = date;
  r.Postfix = std::move(postfix);
  return r;
}

std::string Today() {
  std::time_t now = std::time(nullptr);
  std::tm t{};
  localtime_r(&now, &t);
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y%d%m", &t);
  return buf;
}

}  // namespace

TEST(MakeOutputName, WorkedExamples) {
  EXPECT_EQ(MakeOutputName(Rule('_', "", false, false, ""), "My clip", ".mp3"), "My clip.mp3");
  EXPECT_EQ(MakeOutputName(Rule('-', "my", true, true, "x"), "My clip", ".mp3"),
            "my-My clip-" + Today() + "-x.mp3");
  EXPECT_EQ(MakeOutputName(Rule('_', "my", false, false, ""), "My clip", ".mp3"), "my.mp3");
  EXPECT_EQ(MakeOutputName(Rule('_', "", false, false, ""), "/:*", ".mp3"), "Unknown.mp3");
  EXPECT_EQ(MakeOutputName(Rule('.', "my", true, false, ""), "My clip", ".mp3"), "my.My clip.mp3");
  EXPECT_EQ(MakeOutputName(Rule('_', "", false, false, ""), "YouTubeName", ".mp3"),
            "YouTubeName.mp3");
}

TEST(MakeOutputName, DateIsYearDayMonth) {
  std::tm d{};
  d.tm_year = 2026 - 1900;
  d.tm_mon = 11;
  d.tm_mday = 8;
  EXPECT_EQ(MakeOutputName(Rule('_', "", false, true, ""), "t", ".mp3", d), "20260812.mp3");
  d.tm_mday = 9;  // the next day names the same title differently
  EXPECT_EQ(MakeOutputName(Rule('_', "", true, true, ""), "t", ".mp3", d), "t_20260912.mp3");
}

TEST(MakeOutputName, CleansCharactersAFileNameCannotHold) {
  const TOutName plain = Rule('_', "", false, false, "");
  EXPECT_EQ(MakeOutputName(plain, "see http://site/x", ".mp3"), "see site x.mp3");
  EXPECT_EQ(MakeOutputName(plain, "a\\b:c?d\"e<f>g|h*i", ".mp3"), "a b c d e f g h i.mp3");
  EXPECT_EQ(MakeOutputName(plain, "keep. and, ", ".mp3"), "keep. and, .mp3");
  EXPECT_EQ(MakeOutputName(plain, "a\r\nb\rc\nd", ".mp3"), "a b\rc\nd.mp3");
  EXPECT_EQ(MakeOutputName(plain, "HTTP://x", ".mp3"), "HTTP   x.mp3");  // case-sensitive
  EXPECT_EQ(MakeOutputName(plain, " \t\r\n", ".mp3"), "Unknown.mp3");
  EXPECT_EQ(MakeOutputName(plain, "", ".mp3"), "Unknown.mp3");
  EXPECT_EQ(MakeOutputName(plain, "song.wav", ".mp3"), "song.wav.mp3");
  // A rule that was never loaded has no separator; no zero byte reaches the name.
  EXPECT_EQ(MakeOutputName(Rule('\0', "a", true, false, ""), "t", ".x"), "a_t.x");
}

TEST(UniquePath, AppendsNumbersToTheBase) {
  testsupport::TempDir dir;
  EXPECT_EQ(UniquePath(dir / "clip.mp3"), dir / "clip.mp3");
  platform::WriteFile(dir / "clip.mp3", "");
  EXPECT_EQ(UniquePath(dir / "clip.mp3"), dir / "clip0.mp3");
  platform::WriteFile(dir / "clip0.mp3", "");
  EXPECT_EQ(UniquePath(dir / "clip.mp3"), dir / "clip1.mp3");

  platform::WriteFile(dir / "clip", "");
  EXPECT_EQ(UniquePath(dir / "clip"), dir / "clip0");
  platform::CreateDir(dir / "folder.mp3");  // only files count
  EXPECT_EQ(UniquePath(dir / "folder.mp3"), dir / "folder.mp3");
}
