#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log/LogWriter.h"
#include "platform/Files.h"
#include "tests/support/TestSupport.h"

namespace {

// Sets up the writer the way the main window does at start-up.
struct MainLog {
  TLogWriter writer;
  explicit MainLog(const std::string& folder) {
    writer.SetFolder(folder);
    writer.SetEnabled(true);
    writer.SetLogFile(folder + "Log.txt");
    SetMainLogWriter(&writer);
  }
  ~MainLog() { SetMainLogWriter(nullptr); }
};

std::string Read(const std::string& path) {
  std::string s;
  platform::ReadFile(path, s);
  return s;
}

bool LooksLikeStamp(const std::string& s) {
  // dd.mm.yyyy hh:mm:ss
  if (s.size() != 19) return false;
  const char* shape = "00.00.0000 00:00:00";
  for (size_t i = 0; i < s.size(); ++i) {
    if (shape[i] == '0' ? !isdigit(static_cast<unsigned char>(s[i])) : s[i] != shape[i]) return false;
  }
  return true;
}

}  // namespace

TEST(LogWriter, EntriesAreStampedInOrderAndOldLogIsDeletedAtStart) {
  testsupport::TempDir dir;
  platform::WriteFile(dir / "Log.txt", "old run\r\n");
  {
    MainLog log(dir.path());
    EXPECT_FALSE(platform::FileExists(dir / "Log.txt"));
    LogText("first");
    LogError(std::runtime_error("second"));
    LogText("a\r\nb");
    LogText("note\r");
    LogText("");
  }
  std::string s = Read(dir / "Log.txt");
  std::vector<std::string> entries;
  size_t pos = 0;
  // Split on stamps: every entry begins with a 19-character stamp and ": ".
  while (pos < s.size()) {
    ASSERT_TRUE(LooksLikeStamp(s.substr(pos, 19))) << s.substr(pos);
    ASSERT_EQ(s.substr(pos + 19, 2), ": ");
    size_t next = pos + 21;
    size_t end = s.find("\r\n", next);
    // An entry's text may itself hold CR LF: the next entry starts at a stamp.
    while (end != std::string::npos && end + 2 < s.size() && !LooksLikeStamp(s.substr(end + 2, 19)))
      end = s.find("\r\n", end + 2);
    ASSERT_NE(end, std::string::npos);
    entries.push_back(s.substr(next, end - next));
    pos = end + 2;
  }
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[0], "first");
  EXPECT_EQ(entries[1], "Error: second");
  EXPECT_EQ(entries[2], "a\r\nb");
  EXPECT_EQ(entries[3], "note\r");  // so the file holds CR CR LF
  EXPECT_EQ(entries[4], "");
}

TEST(LogWriter, DisabledWriterCreatesAnEmptyFileAndWritesNothing) {
  testsupport::TempDir dir;
  MainLog log(dir.path());
  log.writer.SetEnabled(false);
  LogText("hidden");
  EXPECT_TRUE(platform::FileExists(dir / "Log.txt"));
  EXPECT_EQ(Read(dir / "Log.txt"), "");
}

TEST(LogWriter, UnwritableFolderAbsorbsEveryFailure) {
  if (::geteuid() == 0) {
    // Root ignores folder permissions; a missing folder fails the same way.
    testsupport::TempDir dir;
    MainLog log(dir.path() + "missing/");
    EXPECT_NO_THROW(LogText("lost"));
    EXPECT_NO_THROW(LogError(std::runtime_error("lost too")));
    EXPECT_FALSE(platform::FileExists(dir / "missing/Log.txt"));
    return;
  }
  testsupport::TempDir dir;
  ::chmod(dir.path().c_str(), 0555);
  MainLog log(dir.path());
  EXPECT_NO_THROW(LogText("lost"));
  EXPECT_FALSE(platform::FileExists(dir / "Log.txt"));
}

TEST(LogWriter, NoWriterInstalledIsANoOp) {
  SetMainLogWriter(nullptr);
  EXPECT_NO_THROW(LogText("nowhere"));
}
