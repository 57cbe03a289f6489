#include <gtest/gtest.h>
#include <sys/stat.h>
#include <stdlib.h>

#include "log/LogWriter.h"
#include "platform/ExeFolder.h"
#include "platform/Files.h"
#include "platform/Ini.h"
#include "settings/Settings.h"
#include "tests/support/TestSupport.h"

namespace {

// Each test runs in its own program folder with a fresh log and zeroed variables.
class SettingsFile : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetExeFolderOverride(dir.path());
    log.SetLogFile(dir / "Log.txt");
    log.SetEnabled(true);
    SetMainLogWriter(&log);
    OutputFolder.clear();
    OutName = TOutName();
    cvOptions = TcvOptions();
  }
  void TearDown() override {
    SetMainLogWriter(nullptr);
    platform::SetExeFolderOverride("");
  }
  std::string File(const std::string& name) {
    std::string s;
    platform::ReadFile(dir / name, s);
    return s;
  }

  testsupport::TempDir dir;
  TLogWriter log;
};

}  // namespace

TEST_F(SettingsFile, FirstStartGivesDefaultsAndWritesTheFullFile) {
  settings::TLoadedSettings loaded = settings::LoadSettingsFile();
  EXPECT_TRUE(loaded.FolderReady);
  EXPECT_EQ(loaded.CodecIndex, 0);
  EXPECT_EQ(OutputFolder, dir / "Temp");
  EXPECT_TRUE(platform::DirectoryExists(dir / "Temp"));
  EXPECT_EQ(OutName.Separator, '_');
  EXPECT_EQ(OutName.SIndex, 0);
  EXPECT_FALSE(OutName.IncludeName || OutName.IncludeDate || cvOptions.IsProxy ||
               cvOptions.AutoPaste || cvOptions.DeleteVideo);
  EXPECT_EQ(cvOptions.ProxyPort, 0);
  EXPECT_FALSE(platform::FileExists(dir / "settings.ini"));  // loading writes nothing

  ASSERT_TRUE(settings::SaveSettingsFile(2));
  EXPECT_EQ(File("settings.ini"),
            "[General]\r\nFolder=" + dir.path() +
                "Temp\r\n[OutName]\r\nPrefix=\r\nPostfix=\r\nSeparator=_\r\nIncludeName=0\r\n"
                "IncludeDate=0\r\nSIndex=0\r\n[Options]\r\nIsProxy=0\r\nProxyAdress=\r\n"
                "ProxyPort=0\r\nProxyUser=\r\nProxyPassword=\r\nAutoPaste=0\r\n"
                "DeleteVideo=0\r\nCodecIndex=2\r\n"
                "[YtDlp]\r\nProgram=\r\nCookiesFromBrowser=\r\nAutoPasteOtherSites=0\r\n"
                "[Window]\r\nLeft=0\r\nTop=0\r\nWidth=0\r\n"
                "Height=0\r\nMaximized=0\r\nColumns=\r\n");
  EXPECT_EQ(File("Log.txt"), "");
}

TEST_F(SettingsFile, SaveThenLoadKeepsEveryValueAndForeignLines) {
  platform::WriteFile(dir / "settings.ini", "[Mine]\nkeep=me\n[options]\ncodecindex=5\nExtra=x\n");
  platform::CreateDir(dir / "out dir");
  OutputFolder = dir / "out dir";
  OutName = {"pre ", "post", ' ', true, true, -1};
  cvOptions = {true, "proxy.local", 3128, "user", " p@ss=word ", true, true};
  ASSERT_TRUE(settings::SaveSettingsFile(-1));

  const std::string saved = OutputFolder;
  OutputFolder.clear();
  OutName = TOutName();
  cvOptions = TcvOptions();
  settings::TLoadedSettings loaded = settings::LoadSettingsFile();
  EXPECT_EQ(loaded.CodecIndex, -1);
  EXPECT_EQ(OutputFolder, saved);
  EXPECT_EQ(OutName.Prefix, "pre ");
  EXPECT_EQ(OutName.Postfix, "post");
  EXPECT_EQ(OutName.Separator, ' ');  // a blank separator survives the file
  EXPECT_TRUE(OutName.IncludeName);
  EXPECT_TRUE(OutName.IncludeDate);
  EXPECT_EQ(OutName.SIndex, -1);
  EXPECT_TRUE(cvOptions.IsProxy);
  EXPECT_EQ(cvOptions.ProxyAdress, "proxy.local");
  EXPECT_EQ(cvOptions.ProxyPort, 3128);
  EXPECT_EQ(cvOptions.ProxyUser, "user");
  EXPECT_EQ(cvOptions.ProxyPassword, " p@ss=word ");
  EXPECT_TRUE(cvOptions.AutoPaste);
  EXPECT_TRUE(cvOptions.DeleteVideo);

  platform::IniFile ini(dir / "settings.ini");
  EXPECT_EQ(ini.ReadString("Mine", "keep", ""), "me");
  EXPECT_EQ(ini.ReadString("Options", "Extra", ""), "x");
  EXPECT_EQ(ini.Lines()[0], "[Mine]");
  EXPECT_EQ(ini.Lines()[3], "CodecIndex=-1");  // replaced where it stood
}

TEST_F(SettingsFile, SeparatorAndNamesInOtherCapitals) {
  platform::WriteFile(dir / "settings.ini",
                      "[outname]\nSeparator=\n[OPTIONS]\nProxyPort=0x1F90\nCODECINDEX=3\n");
  EXPECT_EQ(settings::LoadSettingsFile().CodecIndex, 3);
  EXPECT_EQ(OutName.Separator, '_');  // present but empty
  EXPECT_EQ(cvOptions.ProxyPort, 8080);
  platform::WriteFile(dir / "settings.ini", "[OutName]\r\nSeparator=-x");
  settings::LoadSettingsFile();
  EXPECT_EQ(OutName.Separator, '-');
}

TEST_F(SettingsFile, JunkFileLoadsDefaultsAndAFailedSaveKeepsTheOldFile) {
  std::string junk;
  for (int i = 0; i < 3000; ++i) junk += static_cast<char>((i * 131 + 7) & 0xFF);
  platform::WriteFile(dir / "settings.ini", junk);
  settings::TLoadedSettings loaded = settings::LoadSettingsFile();
  EXPECT_TRUE(loaded.FolderReady);
  EXPECT_EQ(OutputFolder, dir / "Temp");
  EXPECT_EQ(OutName.Separator, '_');

  // A folder in the file's place cannot be replaced: logged, reported, untouched.
  ASSERT_TRUE(platform::CreateDir(dir / "blocked.ini"));
  EXPECT_FALSE(settings::SaveSettingsFile(0, dir / "blocked.ini"));
  EXPECT_TRUE(platform::DirectoryExists(dir / "blocked.ini"));
  EXPECT_NE(File("Log.txt").find(": Error: Cannot write " + dir.path() + "blocked.ini"),
            std::string::npos);
}

TEST_F(SettingsFile, FolderThatCannotBeCreatedIsLoggedAndTheRestStillLoads) {
  platform::WriteFile(dir / "settings.ini", "[General]\nFolder=" + dir.path() +
                                                "no/such/deep\n[Options]\n"
                                                "AutoPaste=1\nCodecIndex=1\n");
  settings::TLoadedSettings loaded = settings::LoadSettingsFile();
  EXPECT_FALSE(loaded.FolderReady);
  EXPECT_EQ(loaded.CodecIndex, 1);
  EXPECT_TRUE(cvOptions.AutoPaste);
  EXPECT_FALSE(platform::DirectoryExists(dir / "no"));  // one level only
  EXPECT_NE(
      File("Log.txt").find("Error: Unable to create directory " + dir.path() + "no/such/deep"),
      std::string::npos);
}

TEST_F(SettingsFile, InstalledProgramKeepsSettingsAndOutputInTheUsersFolders) {
  const char* oldHome = ::getenv("HOME");
  const std::string keptHome = oldHome ? oldHome : "";
  ::setenv("HOME", (dir / "home").c_str(), 1);
  ::unsetenv("XDG_CONFIG_HOME");  // the default, ~/.config
  platform::SetExeFolderOverride(dir / "prog", true);  // does not exist: never touched

  settings::TLoadedSettings loaded = settings::LoadSettingsFile();
  EXPECT_TRUE(loaded.FolderReady);  // the new account had no Downloads folder yet
  EXPECT_EQ(OutputFolder, dir / "home/Downloads/Vantorel");
  EXPECT_TRUE(platform::DirectoryExists(OutputFolder));
  ASSERT_TRUE(settings::SaveSettingsFile(1));
  EXPECT_EQ(platform::IniFile(dir / "home/.config/vantorel/settings.ini")
                .ReadString("General", "Folder", ""),
            OutputFolder);
  EXPECT_FALSE(platform::DirectoryExists(dir / "prog"));

  oldHome ? ::setenv("HOME", keptHome.c_str(), 1) : ::unsetenv("HOME");
}

// The file holds the proxy password: the user's alone, whatever the umask,
// also when an older version left it readable.
TEST_F(SettingsFile, TheFileIsTheUsersAloneOnEverySave) {
  const mode_t old = umask(022);
  auto mode = [&] {
    struct stat st {};
    EXPECT_EQ(stat((dir / "settings.ini").c_str(), &st), 0);
    return st.st_mode & 0777;
  };
  ASSERT_TRUE(settings::SaveSettingsFile(0));
  EXPECT_EQ(mode(), 0600u);
  chmod((dir / "settings.ini").c_str(), 0644);
  ASSERT_TRUE(settings::SaveSettingsFile(0));
  EXPECT_EQ(mode(), 0600u);
  umask(old);
}
