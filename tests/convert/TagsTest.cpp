// Output tags written with TagLib, read back with ffprobe.
#include <gtest/gtest.h>

#include "convert/Tags.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "tests/convert/ConvertTestSupport.h"

using converttest::MakeClip;
using converttest::Tags;
using testsupport::TempDir;

namespace {

const std::string kTitle =
    "He said \"Hi\" / AC\xE2\x81\x84"
    "DC \xF0\x9F\x8E\xB8 "
    "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 'x'";

class TagsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (platform::FindOnPath("ffmpeg").empty()) GTEST_SKIP() << "ffmpeg is not installed";
  }
  std::string Clip(const std::string& name) {
    std::vector<std::string> o = converttest::ToneClip(1, 44100);
    o.insert(o.end(), {"-metadata", "artist=Keep Me"});
    EXPECT_EQ(MakeClip(dir_ / name, o), 0);
    return dir_ / name;
  }
  TempDir dir_;
};

TEST_F(TagsTest, TitleAndCommentJoinTheTagsTheEncoderWrote) {
  const std::string longTitle = kTitle + std::string(1000 - kTitle.size(), 'z');
  for (const char* name : {"a.mp3", "a.m4a", "a.ogg", "a.flac"}) {
    SCOPED_TRACE(name);
    const std::string path = Clip(name);
    for (const std::string& title : {kTitle, longTitle}) {
      ASSERT_EQ(WriteOutputTags(path, {title, "http://site/watch?v=a&b=1"}), "");
      auto tags = Tags(path);
      EXPECT_EQ(tags["title"], title);
      EXPECT_EQ(tags["comment"], "http://site/watch?v=a&b=1");
      EXPECT_EQ(tags["artist"], "Keep Me");
    }
  }
}

TEST_F(TagsTest, FilesItCannotOrWillNotTagStayAsTheyWere) {
  auto unchanged = [](const std::string& path, const std::string& expectWarning) {
    std::string before, after;
    ASSERT_TRUE(platform::ReadFile(path, before));
    const std::string why = WriteOutputTags(path, {"T", "C"});
    EXPECT_EQ(why.empty(), expectWarning.empty()) << path << ": " << why;
    if (!expectWarning.empty()) {
      EXPECT_NE(why.find(expectWarning), std::string::npos) << why;
    }
    ASSERT_TRUE(platform::ReadFile(path, after));
    EXPECT_TRUE(before == after) << path;
  };
  // Formats left untagged on purpose: no warning.
  unchanged(Clip("a.wav"), "");
  platform::WriteFile(dir_ / "v.avi", "RIFF....AVI LIST");
  unchanged(dir_ / "v.avi", "");
  // Not what its name says.
  platform::WriteFile(dir_ / "bad.m4a", std::string(4096, 'x'));
  unchanged(dir_ / "bad.m4a", "could not be read");
  ForceOutputTagFailure("forced");
  unchanged(Clip("b.mp3"), "forced");
  ForceOutputTagFailure("");
}

}  // namespace
