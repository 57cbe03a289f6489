#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "platform/CommandLine.h"
#include "platform/Process.h"
#include "tests/support/TestSupport.h"

namespace {

using Args = std::vector<std::string>;

TEST(CommandLine, SplitsWithTheRuntimeRules) {
  struct Case {
    std::string line;
    Args args;
  };
  const std::vector<Case> cases = {
      {"", {}},
      {"  prog  a\tb  ", {"prog", "a", "b"}},
      {"\"/opt/my tools/cvtcore\" -i \"/a b/c.flv\" -y",
       {"/opt/my tools/cvtcore", "-i", "/a b/c.flv", "-y"}},
      {"\"C:\\dir\\\"x y", {"C:\\dir\\x", "y"}},  // program word: backslashes are plain
      {"p a\\b \\\\server", {"p", "a\\b", "\\\\server"}},
      {"p a\\\"b", {"p", "a\"b"}},           // odd backslashes: literal quote
      {"p \"a\\\\\" b", {"p", "a\\", "b"}},  // even backslashes: quote still closes
      {"p a\\\\\\\"b", {"p", "a\\\"b"}},     // 3 → one backslash and a quote
      {"p \"\" x", {"p", "", "x"}},
      {"p \"a\"\"b\" c", {"p", "a\"b", "c"}},  // "" inside quotes is one quote
      {"p ab\"c d\"e", {"p", "abc de"}},
      {"p \"unterminated arg", {"p", "unterminated arg"}},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::SplitCommandLine(c.line), c.args) << c.line;
}

TEST(CommandLine, QuotedArgumentsSplitBackUnchanged) {
  const Args words = {"plain",     "",          "two words", "q\"uote", "tail\\",
                      "\\\\x\\\"", "a\\ b\\\\", "-leading",  "%d\nnl"};
  std::string line = "prog";
  for (const auto& w : words) line += " " + platform::QuoteArgument(w);
  Args expected = {"prog"};
  expected.insert(expected.end(), words.begin(), words.end());
  EXPECT_EQ(platform::SplitCommandLine(line), expected);
}

std::string ReadAll(platform::TProcess& p) {
  std::string text;
  char buf[256];
  for (ssize_t n; (n = p.Read(buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  return text;
}

TEST(Process, OnePipeForBothStreamsAndTheExitCode) {
  platform::TProcess p;
  ASSERT_TRUE(p.Start({"/bin/sh", "-c", "echo out; echo err >&2; exit 3"}));
  EXPECT_EQ(ReadAll(p), "out\nerr\n");
  EXPECT_EQ(p.Wait(), 3);
  EXPECT_EQ(p.Wait(), 3);
  EXPECT_TRUE(p.Reaped());
}

// Not the idle class: that starves a conversion while any other program is busy.
TEST(Process, SeparateErrorPipeAndEnvironmentChanges) {
  ::setenv("VANTOREL_GONE", "1", 1);
  platform::ProcessOptions o;
  o.separateStderr = true;
  o.environment = {"VANTOREL_SET=a b", "VANTOREL_GONE"};
  platform::TProcess p;
  ASSERT_TRUE(p.Start({"/bin/sh", "-c", "echo \"$VANTOREL_SET|${VANTOREL_GONE-unset}\"; echo err >&2"},
                      o));
  ::unsetenv("VANTOREL_GONE");
  EXPECT_EQ(ReadAll(p), "a b|unset\n");
  std::string err(16, '\0');
  const ssize_t n = ::read(p.ErrFd(), err.data(), err.size());
  EXPECT_EQ(err.substr(0, n > 0 ? n : 0), "err\n");
  EXPECT_EQ(p.Wait(), 0);
}

TEST(Process, ChildRunsTenStepsNicerInTheBatchPolicy) {
  platform::TProcess p;
  // Prints its own niceness, then its scheduling policy.
  ASSERT_TRUE(p.Start({"/bin/sh", "-c", "nice; chrt -p $$"}));
  const std::string out = ReadAll(p);
  EXPECT_EQ(std::stoi(out), std::min(19, ::getpriority(PRIO_PROCESS, 0) + 10));
  EXPECT_NE(out.find("SCHED_BATCH"), std::string::npos) << out;
  EXPECT_EQ(p.Wait(), 0);
}

// The child starts with nothing blocked or ignored, whatever this thread
// blocks and this process ignores, and this thread's own mask is as before.
TEST(Process, ChildStartsWithDefaultSignalsAndTheCallersMaskStays) {
  struct sigaction ignore {}, before {};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &before);
  sigset_t term, old, now;
  ::sigemptyset(&term);
  ::sigaddset(&term, SIGTERM);
  ::pthread_sigmask(SIG_BLOCK, &term, &old);
  platform::TProcess p;
  const bool started = p.Start({"/bin/grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status"});
  ::pthread_sigmask(SIG_SETMASK, &old, &now);
  ::sigaction(SIGPIPE, &before, nullptr);
  ASSERT_TRUE(started);
  EXPECT_EQ(ReadAll(p), "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
  EXPECT_EQ(p.Wait(), 0);
  EXPECT_TRUE(::sigismember(&now, SIGTERM));
  EXPECT_FALSE(::sigismember(&now, SIGINT));
}

TEST(Process, MissingProgramFailsToStart) {
  platform::TProcess p;
  std::string error;
  EXPECT_FALSE(p.Start({"/nonexistent/cvtcore", "-i", "x"}, {}, &error));
  EXPECT_NE(error.find("/nonexistent/cvtcore"), std::string::npos);
  EXPECT_EQ(p.Pid(), -1);
}

TEST(Process, TerminateEndsTheWholeGroupAndReaps) {
  pid_t pid, grandchild;
  {
    platform::TProcess p;
    ASSERT_TRUE(p.Start({"/bin/sh", "-c", "sleep 1000 & echo $!; wait"}));
    pid = p.Pid();
    std::string line;
    char c;
    while (p.Read(&c, 1) == 1 && c != '\n') line += c;
    grandchild = std::stoi(line);
    p.Terminate();
    EXPECT_EQ(p.Wait(), 128 + SIGKILL);
  }
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);  // already reaped: no zombie
  // The orphaned grandchild was killed with its group; it may linger as a
  // zombie until its new parent reaps it.
  auto gone = [&] { return testsupport::ProcessGone(grandchild); };
  EXPECT_TRUE(testsupport::WaitFor(gone));
}

TEST(Process, DestructorEndsAndReapsARunningChild) {
  pid_t pid;
  {
    platform::TProcess p;
    ASSERT_TRUE(p.Start({"/bin/sleep", "1000"}));
    pid = p.Pid();
  }
  EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1);
  EXPECT_EQ(::kill(pid, 0), -1);
}

}  // namespace
