#include <gtest/gtest.h>
#include <stdlib.h>

#include <optional>

#include "platform/ExeFolder.h"
#include "platform/Files.h"
#include "platform/UserFolders.h"
#include "tests/support/TestSupport.h"

namespace {

// A program folder and a home of their own; HOME and XDG_CONFIG_HOME are put back.
class UserFolders : public ::testing::Test {
 protected:
  void SetUp() override {
    Keep("HOME", home_);
    Keep("XDG_CONFIG_HOME", config_);
    ASSERT_TRUE(platform::CreateDir(dir / "prog"));
    ASSERT_TRUE(platform::CreateDir(dir / "home"));
    ::setenv("HOME", (dir / "home").c_str(), 1);
    ::unsetenv("XDG_CONFIG_HOME");
  }
  void TearDown() override {
    platform::SetExeFolderOverride("");
    Restore("HOME", home_);
    Restore("XDG_CONFIG_HOME", config_);
  }
  static void Keep(const char* name, std::optional<std::string>& into) {
    if (const char* v = ::getenv(name)) into = v;
  }
  static void Restore(const char* name, const std::optional<std::string>& value) {
    value ? ::setenv(name, value->c_str(), 1) : ::unsetenv(name);
  }
  static void Put(const std::string& path, const std::string& text) {
    ASSERT_TRUE(platform::ForceDirectories(platform::ExtractFilePath(path)));
    ASSERT_TRUE(platform::WriteFile(path, text));
  }
  void Installed() { platform::SetExeFolderOverride(dir / "prog", true); }

  testsupport::TempDir dir;
  std::optional<std::string> home_, config_;
};

}  // namespace

TEST_F(UserFolders, WritableProgramFolderKeepsEverythingBesideTheProgram) {
  platform::SetExeFolderOverride(dir / "prog");
  Put(dir / "home/.config/vantorel/presets.ini", "[Mine]\n");
  EXPECT_TRUE(platform::ExeFolderWritable());
  EXPECT_EQ(platform::UserFilesFolder(), dir / "prog/");
  EXPECT_EQ(platform::JournalPath(), dir / "prog/jobs.db");
  EXPECT_EQ(platform::DefaultOutputFolder(), dir / "prog/Temp");
  EXPECT_EQ(platform::PresetsFile(), dir / "prog/presets.ini");  // even when missing
  EXPECT_EQ(platform::UserConfigFolder(), dir / "home/.config/vantorel/");
}

TEST_F(UserFolders, ReadOnlyProgramFolderUsesTheXdgConfigFolder) {
  Installed();
  EXPECT_FALSE(platform::ExeFolderWritable());
  EXPECT_EQ(platform::UserFilesFolder(), dir / "home/.config/vantorel/");
  EXPECT_TRUE(platform::DirectoryExists(dir / "home/.config/vantorel"));  // made with parents
  EXPECT_EQ(platform::JournalPath(), dir / "home/.config/vantorel/jobs.db");

  ::setenv("XDG_CONFIG_HOME", (dir / "cfg").c_str(), 1);
  EXPECT_EQ(platform::UserFilesFolder(), dir / "cfg/vantorel/");
  ::setenv("XDG_CONFIG_HOME", "relative/cfg", 1);  // invalid: ignored
  EXPECT_EQ(platform::UserConfigFolder(), dir / "home/.config/vantorel/");

  platform::SetExeFolderOverride("/usr/lib/vantorel/");  // even root leaves /usr alone
  EXPECT_FALSE(platform::ExeFolderWritable());
}

TEST_F(UserFolders, DownloadFolderComesFromUserDirsElseHomeDownloads) {
  Installed();
  const std::string dirs = dir / "home/.config/user-dirs.dirs";
  EXPECT_EQ(platform::DefaultOutputFolder(), dir / "home/Downloads/Vantorel");
  Put(dirs,
      "# comment\nXDG_DOWNLOAD_DIR=\"$HOME/Fetched\"\n"
      "XDG_MUSIC_DIR=\"$HOME/Music\"\n");
  EXPECT_EQ(platform::DefaultOutputFolder(), dir / "home/Fetched/Vantorel");
  Put(dirs, "XDG_DOWNLOAD_DIR=\"/srv/in \\\"box\\\"/\"\n");
  EXPECT_EQ(platform::UserDownloadFolder(), "/srv/in \"box\"");
  // $HOME itself means "no such folder" to the desktop.
  Put(dirs, "XDG_DOWNLOAD_DIR=\"$HOME/\"\n");
  EXPECT_EQ(platform::UserDownloadFolder(), dir / "home/Downloads");
}

TEST_F(UserFolders, PresetsPreferTheUsersCopyThenBesideTheProgramThenThePackage) {
  // The package's layout: <prefix>/lib/vantorel/ and <prefix>/share/vantorel/.
  ASSERT_TRUE(platform::ForceDirectories(dir / "usr/lib/vantorel"));
  ASSERT_TRUE(platform::ForceDirectories(dir / "usr/share/vantorel"));
  platform::SetExeFolderOverride(dir / "usr/lib/vantorel", true);
  EXPECT_EQ(platform::PresetsFile(), dir / "usr/lib/vantorel/presets.ini");  // none anywhere
  Put(dir / "usr/share/vantorel/presets.ini", "[Package]\n");
  EXPECT_EQ(platform::PresetsFile(), dir / "usr/share/vantorel/presets.ini");
  Put(dir / "usr/lib/vantorel/presets.ini", "[Beside]\n");
  EXPECT_EQ(platform::PresetsFile(), dir / "usr/lib/vantorel/presets.ini");
  Put(dir / "home/.config/vantorel/presets.ini", "[Mine]\n");
  EXPECT_EQ(platform::PresetsFile(), dir / "home/.config/vantorel/presets.ini");
}
