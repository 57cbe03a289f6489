// Kills around a conversion's output file. Finished conversions run again
// (Convert Only) and the program killed while the re-run's sweep works through
// them: the restart must keep every output of the earlier run (only files the
// re-run itself reserved may go). And a kill between a reservation and the
// journal's commit of it: the restart takes the empty file over.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "convert/Presets.h"
#include "jobs/Journal.h"
#include "platform/Ini.h"
#include "tests/support/TestSupport.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using testsupport::ReadAll;

pid_t Launch(const std::string& program, bool start) {
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>(start ? "--start" : nullptr),
                  nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0)
    throw std::runtime_error("cannot start the program");
  return pid;
}

// How many jobs the journal shows in state, read as another process reads it.
int CountInState(const std::string& db, int state) {
  sqlite3* reader = nullptr;
  int n = -1;
  if (sqlite3_open_v2(db.c_str(), &reader, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_busy_timeout(reader, 1000);
    sqlite3_stmt* st = nullptr;
    const std::string sql = "SELECT count(*) FROM jobs WHERE state = " + std::to_string(state);
    if (sqlite3_prepare_v2(reader, sql.c_str(), -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
      n = sqlite3_column_int(st, 0);
    sqlite3_finalize(st);
  }
  sqlite3_close(reader);
  return n;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::seconds limit) {
  const auto until = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// The program, its encoder and presets in box, converting into box/out; the
// MP3 preset with every value left open.
TCnvtSettings ProgramFolder(const testsupport::TempDir& box) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  for (const char* name : {"vantorel", "cvtcore", "presets.ini"})
    fs::copy_file(testsupport::BinDir() + name, box / name);
  fs::create_directory(box / "out");
  std::ofstream(box / "settings.ini") << "[General]\r\nFolder=" << box / "out" << "\r\n";
  TCnvtSettings mp3;
  FillCnvtSettings(TPanelTexts{"MP3", 0, "Same As Input", "Same As Input", "Same As Input",
                               "Same As Input", "Same As Input"},
                   platform::IniFile(box / "presets.ini"), mp3);
  return mp3;
}

TEST(RerunKillTest, AKillDuringAConvertOnlyRerunKeepsEveryEarlierOutput) {
  constexpr int kJobs = 4;
  testsupport::TempDir box;
  const TCnvtSettings mp3 = ProgramFolder(box);
  std::vector<std::string> outputs;
  {
    TJournal journal(box / "jobs.db");
    std::vector<TJobSnapshot> none;
    ASSERT_TRUE(journal.Open(none)) << journal.LastError();
    for (int i = 0; i < kJobs; ++i) {
      const std::string wav = box / ("s" + std::to_string(i) + ".wav");
      const std::string command = "ffmpeg -v error -y -f lavfi -i sine=frequency=" +
                                  std::to_string(300 + 100 * i) +
                                  ":sample_rate=44100:duration=120 -ac 2 '" + wav + "'";
      ASSERT_EQ(std::system(command.c_str()), 0);
      outputs.push_back(box / ("out/s" + std::to_string(i) + ".mp3"));
      std::ofstream(outputs.back()) << "finished " << i;
      TJobSnapshot job;
      job.Key = journal.NewKey();
      job.Title = wav;
      job.MediaFile = wav;
      job.OutputFile = outputs.back();
      job.State = jsDone;
      job.Mode = jmConvertOnly;  // the user asks for the conversion again
      job.Progress = 100;
      job.Settings = mp3;
      journal.Put(job);
    }
    ASSERT_TRUE(journal.Flush(std::chrono::seconds(10)));
  }
  const std::string db = box / "jobs.db";
  const std::string program = box / "vantorel";

  pid_t pid = Launch(program, true);
  const bool sweeping = WaitUntil([&] { return CountInState(db, jsEncoding) > 0; },
                                  std::chrono::seconds(60));
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  ASSERT_TRUE(sweeping) << ReadAll(box / "Log.txt");

  // The restart turns the interrupted jobs into Stopped ones, then closes.
  pid = Launch(program, false);
  const bool restored = WaitUntil(
      [&] { return CountInState(db, jsEncoding) == 0 && CountInState(db, jsStopped) > 0; },
      std::chrono::seconds(60));
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  ASSERT_TRUE(restored) << ReadAll(box / "Log.txt");
  for (int i = 0; i < kJobs; ++i)
    EXPECT_EQ(ReadAll(outputs[static_cast<size_t>(i)]), "finished " + std::to_string(i))
        << outputs[static_cast<size_t>(i)];
}

// What a kill between a reservation and the journal's next commit leaves: the
// journal as it was before, and an empty output file made after its last
// write. A user's empty file of a job's name from before that write stays.
TEST(RerunKillTest, AReservationTheJournalNeverRecordedIsTakenOverAfterTheRestart) {
  testsupport::TempDir box;
  const TCnvtSettings mp3 = ProgramFolder(box);
  const fs::path users = box / "out/Theirs é.mp3", ours = box / "out/Ours é.mp3";
  std::ofstream(users).close();  // before the journal's last write
  const std::string db = box / "jobs.db";
  {
    TJournal journal(db);
    std::vector<TJobSnapshot> none;
    ASSERT_TRUE(journal.Open(none)) << journal.LastError();
    for (const char* title : {"Ours é", "Theirs é"}) {
      const std::string wav = box / (std::string(title) + ".wav");
      ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i sine=duration=2 '" + wav + "'").c_str()),
                0);
      TJobSnapshot job;
      job.Key = journal.NewKey();
      job.Title = title;
      job.MediaFile = wav;
      job.State = jsStopped;
      job.Mode = jmConvertOnly;
      job.Settings = mp3;
      journal.Put(job);
    }
    ASSERT_TRUE(journal.Flush(std::chrono::seconds(10)));
  }
  // File times have a coarse clock: the reservation must be later than the
  // journal's last write by at least one tick, as it is after a real kill.
  auto written = [&] {
    fs::file_time_type last = fs::last_write_time(db);
    if (fs::exists(db + "-wal")) last = std::max(last, fs::last_write_time(db + "-wal"));
    return last;
  };
  ASSERT_TRUE(WaitUntil(
      [&] {
        fs::remove(ours);
        std::ofstream(ours).close();
        return fs::last_write_time(ours) > written();
      },
      std::chrono::seconds(10)));

  pid_t pid = Launch(box / "vantorel", true);
  const bool done =
      WaitUntil([&] { return CountInState(db, jsDone) == 2; }, std::chrono::seconds(60));
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  ASSERT_TRUE(done) << ReadAll(box / "Log.txt");
  EXPECT_GT(fs::file_size(ours), 1000u) << ReadAll(box / "Log.txt");
  EXPECT_EQ(fs::file_size(users), 0u);
  EXPECT_GT(fs::file_size(box / "out/Theirs é0.mp3"), 1000u);
  EXPECT_EQ(std::distance(fs::directory_iterator(box / "out"), fs::directory_iterator()), 3);
}

}  // namespace
