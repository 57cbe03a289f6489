// The real program ended with SIGTERM closes as its close box does: the
// settings are saved (0600: they hold the proxy password) and it exits by itself.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/TestSupport.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

using testsupport::ReadAll;

TEST(QuitSignalTest, SigtermSavesTheSettingsAndEndsTheProgram) {
  testsupport::TempDir box;
  for (const char* name : {"vantorel", "presets.ini"})
    fs::copy_file(testsupport::BinDir() + name, box / name);
  fs::create_directory(box / "out");
  std::ofstream(box / "settings.ini") << "[General]\r\nFolder=" << box / "out"
                                      << "\r\n[Options]\r\nProxyPassword=secret\r\n";
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  const std::string program = box / "vantorel";
  char* argv[] = {const_cast<char*>(program.c_str()), nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ), 0);
  // Up once the window has claimed its folder (the signal is caught from
  // before that; one that comes early waits for the window).
  const auto started = std::chrono::steady_clock::now();
  while (!fs::exists(box / "jobs.db") &&
         std::chrono::steady_clock::now() - started < std::chrono::seconds(60))
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_TRUE(fs::exists(box / "jobs.db"));
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
  const std::string saved = ReadAll(box / "settings.ini");
  EXPECT_NE(saved.find("Separator="), std::string::npos) << saved;  // written by the program
  EXPECT_NE(saved.find("ProxyPassword=secret"), std::string::npos) << saved;
  struct stat st {};
  ASSERT_EQ(stat((box / "settings.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
