#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/Files.h"
#include "platform/Ini.h"
#include "tests/support/TestSupport.h"

using platform::IniFile;
using platform::ParseProfileInt;

namespace {

std::string Slurp(const std::string& path) {
  std::string s;
  platform::ReadFile(path, s);
  return s;
}

IniFile LoadText(const testsupport::TempDir& dir, const std::string& text) {
  platform::WriteFile(dir / "t.ini", text);
  return IniFile(dir / "t.ini");
}

int CountFiles(const std::string& folder) {
  int n = 0;
  DIR* d = opendir(folder.c_str());
  while (dirent* e = readdir(d))
    if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") ++n;
  closedir(d);
  return n;
}

}  // namespace

TEST(ProfileInt, WholeNumbersAndHexPrefixes) {
  EXPECT_EQ(ParseProfileInt("42", 7), 42);
  EXPECT_EQ(ParseProfileInt("  -12", 7), -12);
  EXPECT_EQ(ParseProfileInt("+5", 7), 5);
  EXPECT_EQ(ParseProfileInt("0x1F90", 7), 8080);
  EXPECT_EQ(ParseProfileInt("0X1f90", 7), 8080);
  EXPECT_EQ(ParseProfileInt("x10", 7), 16);
  EXPECT_EQ(ParseProfileInt("X10", 7), 16);
  EXPECT_EQ(ParseProfileInt("$10", 7), 16);
  EXPECT_EQ(ParseProfileInt("-$10", 7), -16);
  EXPECT_EQ(ParseProfileInt("$FFFFFFFF", 7), -1);
  EXPECT_EQ(ParseProfileInt("-2147483648", 7), INT32_MIN);
  EXPECT_EQ(ParseProfileInt("2147483647", 7), INT32_MAX);
  for (const char* bad :
       {"80a", "", " ", "yes", "0x", "$", "-", "1 2", "2147483648", "$100000000", "1.5", "0xG"})
    EXPECT_EQ(ParseProfileInt(bad, 7), 7) << bad;
}

TEST(IniFile, ReadsCaseInsensitiveWithDefaultsAndBothLineEnds) {
  testsupport::TempDir dir;
  IniFile ini = LoadText(dir,
                         "[General]\r\nFolder = /x/y \r\n[OutName]\nSeparator=-x\nSIndex=-1\n"
                         "IsProxy=2\nBad=yes\nQuoted=\" a \"");
  EXPECT_EQ(ini.ReadString("general", "FOLDER", "d"), "/x/y");
  EXPECT_EQ(ini.ReadString("OUTNAME", "separator", "d"), "-x");
  EXPECT_EQ(ini.ReadInteger("OutName", "SIndex", 0), -1);
  EXPECT_TRUE(ini.ReadBool("OutName", "IsProxy", false));
  EXPECT_FALSE(ini.ReadBool("OutName", "Bad", false));
  EXPECT_EQ(ini.ReadString("OutName", "Quoted", ""), " a ");
  EXPECT_EQ(ini.ReadString("OutName", "Missing", "def"), "def");
  EXPECT_EQ(ini.ReadString("Nope", "Folder", "def"), "def");
  EXPECT_EQ(ini.ReadInteger("OutName", "Missing", 3), 3);

  ini.WriteString("S", "K", std::string(5000, 'v'));
  EXPECT_EQ(ini.ReadString("s", "k", ""), std::string(2047, 'v'));

  IniFile none(dir / "absent.ini");
  EXPECT_EQ(none.ReadString("General", "Folder", "def"), "def");
  EXPECT_TRUE(none.ReadSections().empty());
}

TEST(IniFile, WritesInPlaceAndKeepsForeignLines) {
  testsupport::TempDir dir;
  IniFile ini =
      LoadText(dir, "; comment\n[Mine]\nA=1\nnoequals\n\n[Other]\nX=keep\n[mine]\nA=dup\n");
  ini.WriteString("MINE", "a", "2");    // first section, first key, in place
  ini.WriteString("Mine", "B", "new");  // appended after the section's last line
  ini.WriteString("Added", "K", "v");   // new section at the end
  ini.Save();
  EXPECT_EQ(Slurp(dir / "t.ini"),
            "; comment\r\n[Mine]\r\na=2\r\nnoequals\r\nB=new\r\n\r\n[Other]\r\nX=keep\r\n"
            "[mine]\r\nA=dup\r\n[Added]\r\nK=v\r\n");
  IniFile back(dir / "t.ini");
  EXPECT_EQ(back.ReadString("mine", "A", ""), "2");
  EXPECT_EQ(back.ReadSections(), (std::vector<std::string>{"Mine", "Other", "Added"}));
}

TEST(IniFile, ValuesSurviveRoundTripExactly) {
  testsupport::TempDir dir;
  IniFile ini;
  const std::vector<std::string> values = {" lead", "trail ", "\"quoted\"", "a=b=c", "pa ss;#",
                                           "'x'",   ""};
  for (size_t i = 0; i < values.size(); ++i)
    ini.WriteString("S", "K" + std::to_string(i), values[i]);
  // A line break cannot plant a key of its own.
  ini.WriteString("S", "Evil", "x\r\n[S]\r\nK0=owned");
  ini.SaveAs(dir / "t.ini");
  IniFile back(dir / "t.ini");
  for (size_t i = 0; i < values.size(); ++i)
    EXPECT_EQ(back.ReadString("S", "K" + std::to_string(i), "?"), values[i]);
  EXPECT_EQ(back.ReadString("S", "Evil", ""), "x  [S]  K0=owned");
}

TEST(IniFile, BadInputGivesDefaultsAndSurvivesSave) {
  testsupport::TempDir dir;
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 7919) & 0xFF);
  const std::string longKey(5000, 'k');
  const std::string text = junk + "\n[S]\n" + longKey + "=1\n[S]\nK=second\nno equals here\n" +
                           std::string("Z=a\0b", 5) + "\n[Open\nK=v";  // no trailing break
  IniFile ini = LoadText(dir, text);
  EXPECT_EQ(ini.ReadString("S", longKey, ""), "1");
  EXPECT_EQ(ini.ReadString("S", "K", "def"), "def");  // the duplicate section is not read
  EXPECT_EQ(ini.ReadString("Open", "K", ""), "v");
  EXPECT_EQ(ini.ReadString("S", "no equals here", "def"), "def");

  size_t before = ini.Lines().size();
  ini.WriteString("Open", "K", "w");
  ini.Save();
  IniFile back(dir / "t.ini");
  EXPECT_EQ(back.Lines().size(), before);
  EXPECT_EQ(back.ReadString("open", "k", ""), "w");
  EXPECT_EQ(back.ReadString("S", longKey, ""), "1");
  // The junk lines stand as they were (only line ends change).
  EXPECT_NE(Slurp(dir / "t.ini").find(junk.substr(0, 10)), std::string::npos);
}

// Found by fuzzing: a zero byte inside a section header made the listed name
// (cut at the zero, blank kept) one that could not be found again.
TEST(IniFile, SectionNameEndsAtZeroByteForListingAndLookup) {
  testsupport::TempDir dir;
  IniFile ini = LoadText(dir, std::string("[Name \0junk]\r\nKey=1\r\n[Other\0]\r\nK=2\r\n", 36));
  ASSERT_EQ(ini.ReadSections(), (std::vector<std::string>{"Name", "Other"}));
  for (const auto& name : ini.ReadSections()) EXPECT_TRUE(ini.SectionExists(name)) << name;
  EXPECT_EQ(ini.ReadString("Name", "Key", "def"), "1");
  EXPECT_EQ(ini.ReadString("other", "K", "def"), "2");
  ini.WriteString("Name", "Key", "3");
  EXPECT_EQ(ini.Lines().size(), 4u);  // replaced in place, no second section
  EXPECT_EQ(ini.ReadString("Name", "Key", "def"), "3");
}

TEST(IniFile, SaveReplacesAtomicallyAndFailsLoudly) {
  testsupport::TempDir dir;
  platform::WriteFile(dir / "t.ini", "[S]\nK=old\n");
  chmod((dir / "t.ini").c_str(), 0600);
  IniFile ini(dir / "t.ini");
  ini.WriteString("S", "K", "new");
  ini.Save();
  EXPECT_EQ(Slurp(dir / "t.ini"), "[S]\r\nK=new\r\n");
  EXPECT_EQ(CountFiles(dir.path()), 1);  // no temporary file left behind
  struct stat st;
  ASSERT_EQ(stat((dir / "t.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // The target cannot be replaced: the error says so, nothing is left behind.
  ASSERT_TRUE(platform::CreateDir(dir / "isdir"));
  ASSERT_TRUE(platform::WriteFile(dir / "isdir/x", "x"));
  IniFile blocked;
  blocked.WriteString("S", "K", "v");
  EXPECT_THROW(blocked.SaveAs(dir / "isdir"), platform::IniError);
  EXPECT_THROW(blocked.SaveAs(dir / "nofolder/t.ini"), platform::IniError);
  EXPECT_EQ(CountFiles(dir.path()), 2);
}
