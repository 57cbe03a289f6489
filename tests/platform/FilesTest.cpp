#include <gtest/gtest.h>

#include "platform/ExeFolder.h"
#include "platform/Files.h"
#include "tests/support/TestSupport.h"

using namespace platform;

TEST(Files, PathPartsAndFolders) {
  EXPECT_EQ(ExtractFilePath("/a/b/c.mp3"), "/a/b/");
  EXPECT_EQ(ExtractFileName("/a/b/c.mp3"), "c.mp3");
  EXPECT_EQ(ExtractFileExt("/a/b.d/c"), "");
  EXPECT_EQ(ExtractFileExt("/a/b/c.tar.gz"), ".gz");
  EXPECT_EQ(IncludeTrailingSlash("/a"), "/a/");

  testsupport::TempDir dir;
  EXPECT_FALSE(CreateDir(dir / "x/y"));  // parent missing: one level only
  EXPECT_TRUE(ForceDirectories(dir / "x/y"));
  EXPECT_TRUE(DirectoryExists(dir / "x/y"));
  EXPECT_TRUE(WriteFile(dir / "f", std::string("a\0b", 3)));
  EXPECT_EQ(FileSize(dir / "f"), 3);
  std::string back;
  EXPECT_TRUE(ReadFile(dir / "f", back));
  EXPECT_EQ(back, std::string("a\0b", 3));
  EXPECT_TRUE(DeleteFile(dir / "f"));
  EXPECT_FALSE(FileExists(dir / "f"));
}

TEST(ExeFolder, EndsInSlashAndCanBeRedirected) {
  std::string real = ExeFolder();
  ASSERT_FALSE(real.empty());
  EXPECT_EQ(real.back(), '/');
  SetExeFolderOverride("/tmp/sandbox");
  EXPECT_EQ(ExeFolder(), "/tmp/sandbox/");
  SetExeFolderOverride("");
  EXPECT_EQ(ExeFolder(), real);
}
