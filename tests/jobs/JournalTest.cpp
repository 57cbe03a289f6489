#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "jobs/Journal.h"
#include "jobs/MemoryJobGrid.h"
#include "log/LogWriter.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

using testsupport::ReadAll;

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A job list and grid with the journal bound to them the way the window binds
// them; deferred snapshots run when the test says so.
struct TTable {
  explicit TTable(const std::string& path) : journal(std::make_unique<TJournal>(path)) {
    opened = journal->Open(stored);
    binding = std::make_unique<TJobJournal>(
        *journal, [this] { return &list; },
        [this](std::function<void()> fn) { deferred.push_back(std::move(fn)); });
  }
  ~TTable() {
    Close();
    for (int i = 0; i < list.Count(); ++i) delete list[i];
  }
  void RunDeferred() {
    auto calls = std::move(deferred);
    for (auto& fn : calls) fn();
  }
  TEncItem& Add(const std::string& title) {
    auto* job = new TEncItem;
    AttachJobToRow(*job, grid, grid.AppendRow());
    job->Title = title;
    list.Add(job);
    JobChanged(*job);
    return *job;
  }
  void Restore() { binding->Restore(stored, list, grid); }
  bool Flush() { return journal->Flush(std::chrono::seconds(10)); }
  // As the window's end does: the listener goes, then the journal (flushed).
  void Close() {
    binding.reset();
    journal.reset();
  }

  std::unique_ptr<TJournal> journal;
  std::vector<TJobSnapshot> stored;
  bool opened = false;
  TJobList list;
  TMemoryJobGrid grid;
  std::unique_ptr<TJobJournal> binding;
  std::vector<std::function<void()>> deferred;
};

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log.SetFolder(dir.path());
    log.SetEnabled(true);
    log.SetLogFile(dir / "Log.txt");
    SetMainLogWriter(&log);
  }
  void TearDown() override { SetMainLogWriter(nullptr); }
  std::string Path() const { return dir / "jobs.db"; }
  std::string Log() const { return ReadAll(dir / "Log.txt"); }

  testsupport::TempDir dir;
  TLogWriter log;
};

TEST_F(JournalTest, JobsComeBackInOrderWithEveryFieldAndRunningOnesStopped) {
  const std::string media = dir / "clip.mp4";
  WriteAll(media, std::string(4096, 'x'));
  const std::string output = dir / "clip.mp3";
  {
    TTable t(Path());
    ASSERT_TRUE(t.opened) << t.journal->LastError();
    TEncItem& a = t.Add("downloading");
    a.IsLink = true;
    a.Source = "http://site/watch?v=a";
    a.Qualities = {{"hd720", {"http://r/1", ".mp4"}}, {"small", {"http://r/2", ".flv"}}};
    a.SetQuality(1);
    a.StreamUrl = "http://r/2";
    a.Mode = jmDownloadConvert;
    a.LastDownloadMode = jmDownloadConvert;
    a.DurationSec = 212;
    a.MediaFile = media;
    a.Progress = 37.5;
    t.grid.SetProgress(JobRow(a), 37.5);  // as the runner shows it
    a.Notes = "Warning: one\r";
    a.Settings = TCnvtSettings{false, 0, "libmp3lame", "", 44100, 128, 0, 2, "", "mp3", "MP3"};
    a.Resume = TDownloadResume{
        4096, "\"v1\"", "Wed, 21 Oct 2015 07:28:00 GMT", {{0, 2048, 1000}, {2048, 2048, 512}}};
    SetJobState(a, jsDownloading);
    TEncItem& gone = t.Add("removed");
    TEncItem& b = t.Add("encoding");
    b.IsLink = true;
    b.Mode = jmDownloadConvert;
    b.MediaFile = media;
    b.OutputFile = output;
    b.OutputReserved = true;  // as the conversion's start leaves it
    WriteAll(output, "half");
    SetJobState(b, jsEncoding);
    // Convert Only again over a finished output: until its conversion reserves
    // a new file, OutputFile names the finished one, which a crash must not take.
    TEncItem& again = t.Add("converting again");
    again.MediaFile = media;
    again.OutputFile = dir / "finished.mp3";
    WriteAll(again.OutputFile, "finished");
    again.Mode = jmConvertOnly;
    SetJobState(again, jsEncoding);
    TEncItem& c = t.Add("done");
    c.MediaFile = dir / "local.wav";
    SetJobState(c, jsDone);
    t.grid.SetProgress(JobRow(c), 100);  // the job's own figure stays 0
    c.Mode = jmSkip;  // after the state, in the same step, as the runner does
    t.RunDeferred();
    RemoveJobAt(t.list, t.grid, t.list.IndexOf(&gone));
    t.RunDeferred();
    ASSERT_TRUE(t.Flush());
  }
  TTable t(Path());
  ASSERT_TRUE(t.opened);
  t.Restore();
  ASSERT_EQ(t.list.Count(), 4);
  const TEncItem& a = *t.list[0];
  EXPECT_EQ(a.Title, "downloading");
  EXPECT_EQ(a.State, jsStopped);
  EXPECT_EQ(t.grid.CellText(colState, 0), "Stopped");
  EXPECT_EQ(a.Mode, jmDownloadConvert);
  EXPECT_EQ(t.grid.CellText(colMode, 0), "Download&Convert");
  EXPECT_EQ(a.LastDownloadMode, jmDownloadConvert);
  EXPECT_EQ(a.Source, "http://site/watch?v=a");
  ASSERT_EQ(a.Qualities.size(), 2u);
  EXPECT_EQ(a.Qualities[1].Link.Url, "http://r/2");
  EXPECT_EQ(a.Qualities[1].Link.Ext, ".flv");
  EXPECT_EQ(a.QualityIndex, 1);
  EXPECT_EQ(t.grid.CellText(colQuality, 0), "small");
  EXPECT_EQ(a.StreamUrl, "http://r/2");
  EXPECT_EQ(a.DurationSec, 212);
  EXPECT_EQ(a.Progress, 37.5);
  EXPECT_EQ(t.grid.Progress(0), 37.5);
  EXPECT_EQ(a.Notes, "Warning: one\r");
  EXPECT_EQ(a.Settings.Frequency, 44100);
  EXPECT_EQ(a.Settings.PresetName, "MP3");
  EXPECT_EQ(a.Resume.ETag, "\"v1\"");
  ASSERT_EQ(a.Resume.Segments.size(), 2u);
  EXPECT_EQ(a.Resume.Segments[1].Pos, 2048);
  EXPECT_EQ(a.Resume.Segments[1].Done, 512);

  const TEncItem& b = *t.list[1];
  EXPECT_EQ(b.Title, "encoding");
  EXPECT_EQ(b.State, jsStopped);
  EXPECT_EQ(b.Mode, jmConvertOnly) << "the download was complete";
  EXPECT_TRUE(b.OutputFile.empty());
  EXPECT_FALSE(fs::exists(output)) << "the half-written output is removed";
  EXPECT_TRUE(fs::exists(media));

  EXPECT_EQ(t.list[2]->State, jsStopped);
  EXPECT_EQ(ReadAll(dir / "finished.mp3"), "finished") << "an earlier run's output stays";

  EXPECT_EQ(t.list[3]->State, jsDone);
  EXPECT_EQ(t.list[3]->Mode, jmSkip);
  EXPECT_EQ(t.grid.Progress(3), 100) << "a finished job's bar comes back full";

  // A job added after the restore goes after the restored ones.
  t.Add("new");
  t.RunDeferred();
  t.Close();
  TTable again(Path());
  std::vector<std::string> titles;
  for (const TJobSnapshot& s : again.stored) titles.push_back(s.Title);
  EXPECT_EQ(titles, (std::vector<std::string>{"downloading", "encoding", "converting again",
                                              "done", "new"}));
  EXPECT_EQ(Log().find("Error"), std::string::npos) << Log();
}

TEST_F(JournalTest, NoClaimWithoutTheFileAndNoResumeIntoAnotherFile) {
  const std::string shorter = dir / "short.mp4";
  const std::string replaced = dir / "replaced.mp4";
  WriteAll(shorter, std::string(100, 'x'));
  WriteAll(replaced, std::string(100, 'x'));
  {
    TTable t(Path());
    auto claim = [](TEncItem& job, const std::string& file) {
      job.MediaFile = file;
      job.Resume = TDownloadResume{100, "", "", {{0, 100, 60}}};
      SetJobState(job, jsDownloading);
    };
    claim(t.Add("missing"), dir / "never-written.mp4");
    claim(t.Add("short"), shorter);
    claim(t.Add("replaced"), replaced);
    // The bytes are in a work file beside it, or in a file that the download
    // has replaced since (another identity): nothing of them is claimed.
    TEncItem& work = t.Add("work file");
    claim(work, shorter);
    work.Resume.File = shorter + "~";
    TEncItem& restarted = t.Add("started again");
    claim(restarted, shorter);
    struct stat st {};
    ASSERT_EQ(::stat(shorter.c_str(), &st), 0);
    restarted.Resume.FileId = static_cast<uint64_t>(st.st_ino) + 1;
    t.RunDeferred();
    ASSERT_TRUE(t.Flush());
  }
  fs::resize_file(shorter, 50);
  fs::rename(replaced, replaced + ".old");  // kept, so its inode is not reused at once
  WriteAll(replaced, std::string(100, 'y'));

  TTable t(Path());
  ASSERT_EQ(t.stored.size(), 5u);
  EXPECT_TRUE(t.stored[0].Resume.Segments.empty()) << "a file that cannot be synced claims nothing";
  EXPECT_TRUE(t.stored[3].Resume.Segments.empty());
  EXPECT_TRUE(t.stored[4].Resume.Segments.empty());
  t.Restore();
  for (int i = 1; i < 3; ++i) {
    EXPECT_TRUE(t.list[i]->Resume.Empty()) << t.list[i]->Title;
    EXPECT_NE(t.list[i]->Notes.find("Warning: The partial download"), std::string::npos)
        << t.list[i]->Notes;
  }
}

TEST_F(JournalTest, BadFilesAreMovedAsideAndTheTableStartsEmpty) {
  std::string good;
  {
    TTable t(Path());
    t.Add("kept before");
    t.RunDeferred();
  }
  good = ReadAll(Path());
  ASSERT_GT(good.size(), 1000u);

  struct TCase {
    const char* name;
    std::function<void()> spoil;
  };
  const TCase cases[] = {
      {"garbage", [&] { WriteAll(Path(), std::string(8192, '\x5a')); }},
      {"truncated", [&] { WriteAll(Path(), good.substr(0, good.size() / 2 + 7)); }},
      {"newer",
       [&] {
         // The version stamp a later program would leave.
         WriteAll(Path(), good);
         sqlite3* db = nullptr;
         ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
         EXPECT_EQ(sqlite3_exec(db, "PRAGMA user_version=99", nullptr, nullptr, nullptr),
                   SQLITE_OK);
         sqlite3_close(db);
       }},
      {"unreadable", [&] { fs::create_directory(Path()); }},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Path());
    c.spoil();
    const std::string before = fs::is_directory(Path()) ? "" : ReadAll(Path());
    const std::string logBefore = Log();
    TTable t(Path());
    ASSERT_TRUE(t.opened) << t.journal->LastError();
    EXPECT_TRUE(t.stored.empty());
    const std::string aside = t.journal->MovedAside();
    ASSERT_FALSE(aside.empty());
    EXPECT_TRUE(fs::exists(aside));
    if (!before.empty()) {
      EXPECT_EQ(ReadAll(aside), before) << "the bad file is kept as it was";
    }
    const std::string added = Log().substr(logBefore.size());
    EXPECT_EQ(Count(added, "Error: "), 1) << added;
    // The fresh journal works.
    t.Add("after");
    t.RunDeferred();
    ASSERT_TRUE(t.Flush());
    fs::remove_all(aside);
  }
}

TEST_F(JournalTest, ASecondInstanceOnTheSameFolderRunsWithoutTheJournal) {
  TTable first(Path());
  ASSERT_TRUE(first.opened);
  first.Add("first's job");
  first.RunDeferred();
  TTable second(Path());
  EXPECT_FALSE(second.opened);
  EXPECT_NE(second.journal->LastError().find("another instance"), std::string::npos);
  second.Add("second's job");
  second.RunDeferred();  // a closed journal takes nothing
  ASSERT_TRUE(first.Flush());
  first.Close();
  TTable reader(Path());
  ASSERT_EQ(reader.stored.size(), 1u);
  EXPECT_EQ(reader.stored[0].Title, "first's job");
}

TEST_F(JournalTest, AFileOfTheFirstVersionIsUpgradedWithItsJobs) {
  {
    TTable t(Path());
    TEncItem& job = t.Add("old");
    job.OutputFile = dir / "old.mp3";
    WriteAll(job.OutputFile, "finished");
    SetJobState(job, jsEncoding);
    t.RunDeferred();
  }
  // What the first version wrote: no output_reserved column.
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(Path().c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "ALTER TABLE jobs DROP COLUMN output_reserved; PRAGMA user_version=1",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  {
    TTable t(Path());
    ASSERT_TRUE(t.opened) << t.journal->LastError();
    EXPECT_TRUE(t.journal->MovedAside().empty());
    ASSERT_EQ(t.stored.size(), 1u);
    t.Restore();
    EXPECT_EQ(t.list[0]->State, jsStopped);
    EXPECT_EQ(ReadAll(dir / "old.mp3"), "finished") << "an old file cannot tell: it is kept";
  }
  TTable reopened(Path());
  ASSERT_TRUE(reopened.opened) << reopened.journal->LastError();
  EXPECT_EQ(reopened.stored.size(), 1u);
}

// A journal another program holds is waited for a while, then left alone: the
// window runs without it and every job is there at the next start.
TEST_F(JournalTest, AJournalHeldByAnotherProgramLosesNoJob) {
  {
    TTable t(Path());
    t.Add("kept");
    t.RunDeferred();
  }
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(release[1]);  // so that the parent's close ends the read below
    sqlite3* db = nullptr;
    char byte = 0;
    const bool held =
        sqlite3_open(Path().c_str(), &db) == SQLITE_OK &&
        sqlite3_exec(db, "PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; DELETE FROM qualities",
                     nullptr, nullptr, nullptr) == SQLITE_OK;
    if (write(ready[1], held ? "1" : "0", 1) != 1 || read(release[0], &byte, 1) < 0) _exit(2);
    _exit(0);
  }
  close(ready[1]);
  close(release[0]);
  char held = 0;
  ASSERT_EQ(read(ready[0], &held, 1), 1);
  ASSERT_EQ(held, '1');
  {
    TJournal busy(Path(), std::chrono::milliseconds(300));
    std::vector<TJobSnapshot> jobs;
    EXPECT_FALSE(busy.Open(jobs));
    EXPECT_NE(busy.LastError().find("in use by another program"), std::string::npos)
        << busy.LastError();
    EXPECT_TRUE(busy.MovedAside().empty());
  }
  close(release[1]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  close(ready[0]);
  for (const auto& entry : fs::directory_iterator(dir.path()))
    EXPECT_EQ(entry.path().string().find(".bad-"), std::string::npos) << entry.path();
  TTable t(Path());
  ASSERT_TRUE(t.opened) << t.journal->LastError();
  ASSERT_EQ(t.stored.size(), 1u);
  EXPECT_EQ(t.stored[0].Title, "kept");
}

// A commit that fails keeps what it held and is tried again until one succeeds.
TEST_F(JournalTest, AFailedCommitIsTriedAgain) {
  TTable t(Path());
  ASSERT_TRUE(t.opened);
  t.Add("first");
  t.RunDeferred();
  ASSERT_TRUE(t.Flush());
  // Another connection takes the write lock for longer than a commit waits.
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(Path().c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  t.Add("second");
  t.RunDeferred();
  ASSERT_TRUE(testsupport::WaitFor([&] { return !t.journal->WriteError().empty(); },
                                   std::chrono::seconds(30)));
  EXPECT_FALSE(t.journal->Flush(std::chrono::milliseconds(0)));
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  ASSERT_TRUE(t.Flush());
  EXPECT_TRUE(t.journal->WriteError().empty());
  EXPECT_EQ(Count(Log(), "cannot be written"), 1) << Log();
  t.Close();
  TTable reader(Path());
  ASSERT_EQ(reader.stored.size(), 2u);
  EXPECT_EQ(reader.stored[1].Title, "second");
}

TEST_F(JournalTest, TheJournalAndItsSideFilesAreTheUsersAlone) {
  const mode_t old = umask(022);
  {
    TTable t(Path());
    ASSERT_TRUE(t.opened);
    t.Add("private");
    t.RunDeferred();
    ASSERT_TRUE(t.Flush());
    for (const char* file : {"", "-wal", "-shm", ".lock"}) {
      struct stat st {};
      ASSERT_EQ(stat((Path() + file).c_str(), &st), 0) << file;
      EXPECT_EQ(st.st_mode & 0777, 0600u) << file;
    }
  }
  // A file left readable by an older version is made private at the next start.
  chmod(Path().c_str(), 0644);
  TTable t(Path());
  struct stat st {};
  ASSERT_EQ(stat(Path().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  umask(old);
}

}  // namespace

// A job read by the extractor comes back with what a refresh and its download need;
// removing it leaves nothing of it behind.
TEST_F(JournalTest, ExtractorJobKeepsItsPageFormatsAndHeaders) {
  auto stream = [](std::string url, std::string ext, std::vector<THttpHeader> headers,
                   std::string id, long long limit = 0) {
    TLink link(std::move(url), std::move(ext));
    link.Headers = std::move(headers);
    link.FormatId = std::move(id);
    link.ChunkLimit = limit;
    return link;
  };
  TQuality pair;
  pair.Name = "MP4 1080p (video + audio)";
  pair.Link = stream("http://r/v", ".mp4", {{"User-Agent", "UA/1"}, {"Referer", "http://p/"}},
                     "137", 10485760);
  pair.Audio = stream("http://r/a", ".m4a", {{"Cookie", "a=1; b=2"}}, "140");
  pair.Height = 1080;
  pair.Kbps = 4529.5;
  TQuality audio;
  audio.Name = "M4A audio 129k";
  audio.Link = stream("http://r/a", ".m4a", {}, "140");
  audio.HasVideo = false;
  {
    TTable t(Path());
    ASSERT_TRUE(t.opened) << t.journal->LastError();
    TEncItem& a = t.Add("page");
    a.IsLink = true;
    a.Source = "http://p/watch/1";
    a.Resolver = "yt-dlp";
    a.WebpageUrl = "http://p/watch/1?canonical";
    a.Qualities = {pair, audio};
    a.SetQuality(0);
    TEncItem& plain = t.Add("plain");
    plain.Qualities = {{"MP4", {"http://h/c.mp4", ".mp4"}}};
    t.RunDeferred();
    ASSERT_TRUE(t.Flush());
  }
  {
    TTable t(Path());
    ASSERT_EQ(t.stored.size(), 2u);
    const TJobSnapshot& s = t.stored[0];
    EXPECT_EQ(s.Resolver, "yt-dlp");
    EXPECT_EQ(s.WebpageUrl, "http://p/watch/1?canonical");
    ASSERT_EQ(s.Qualities.size(), 2u);
    const TQuality& q = s.Qualities[0];
    EXPECT_EQ(q.Link.Headers, pair.Link.Headers);
    EXPECT_EQ(q.Link.FormatId, "137");
    EXPECT_EQ(q.Link.ChunkLimit, 10485760);
    EXPECT_EQ(q.Audio.Url, "http://r/a");
    EXPECT_EQ(q.Audio.Headers, pair.Audio.Headers);
    EXPECT_EQ(q.Audio.FormatId, "140");
    EXPECT_EQ(q.Height, 1080);
    EXPECT_FALSE(s.Qualities[1].HasVideo);
    EXPECT_TRUE(t.stored[1].Resolver.empty());
    EXPECT_TRUE(t.stored[1].Qualities[0].Link.FormatId.empty());
    t.Restore();
    RemoveJobAt(t.list, t.grid, 0);
    t.RunDeferred();
    ASSERT_TRUE(t.Flush());
  }
  TTable t(Path());
  ASSERT_EQ(t.stored.size(), 1u);
  EXPECT_TRUE(t.stored[0].Resolver.empty());
}
