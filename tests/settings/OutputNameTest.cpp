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
  EXPECT_EQ(MakeOutputName(plain, "a\r\nb\rc\nd", ".mp3"), "a b c d.mp3");
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

// Whatever a page or a link decodes to, the name is one a file can have: valid,
// printable UTF-8 of at most 255 bytes that keeps its extension.
TEST(MakeOutputName, EveryDecodedTitleGivesAUsableFileName) {
  const TOutName plain = Rule('_', "", false, false, "");
  auto usable = [](const std::string& name) {
    return name.size() <= kMaxFileNameBytes && PrintableFileText(name) == name &&
           name.find('\0') == std::string::npos && name[0] != '.' &&
           name.size() > 4 && name.compare(name.size() - 4, 4, ".mp4") == 0;
  };
  std::string cjk;
  for (int i = 0; i < 90; ++i) cjk += "\xe6\xbc\xa2";  // 270 bytes
  const std::string titles[] = {std::string("a\0b", 3), "c\x01\x1f\x7f\xc2\x85" "d",
                                "bad\xff\xfe\xc3(\xed\xa0\x80utf", "...", " . .",
                                std::string(300, 'x'), cjk, "\xe6\xbc\xa2" + std::string(300, 'y')};
  for (const std::string& title : titles) {
    const std::string name = MakeOutputName(plain, title, ".mp4");
    EXPECT_TRUE(usable(name)) << name;
  }
  EXPECT_EQ(MakeOutputName(plain, std::string("a\0b", 3), ".mp4"), "a b.mp4");
  EXPECT_EQ(MakeOutputName(plain, "bad\xff\xc3(x", ".mp4"), "bad__(x.mp4");
  EXPECT_EQ(MakeOutputName(plain, "...", ".mp4"), "Unknown.mp4");
  EXPECT_EQ(MakeOutputName(plain, "..Dots", ".mp4"), "Dots.mp4");
  EXPECT_EQ(MakeOutputName(plain, std::string(300, 'x'), ".mp4"), std::string(251, 'x') + ".mp4");
  // 255 - 4 = 251 bytes hold 83 whole characters of three bytes.
  std::string cut;
  for (int i = 0; i < 83; ++i) cut += "\xe6\xbc\xa2";
  EXPECT_EQ(MakeOutputName(plain, cjk, ".mp4"), cut + ".mp4");
  // An extension from a link is cleaned and bounded too.
  EXPECT_EQ(MakeOutputName(plain, "t", "./x\x01y"), "t._x_y");
  EXPECT_LE(MakeOutputName(plain, "t", "." + std::string(100, 'e')).size(), 1 + kMaxExtBytes);
}
