// The job journal as the window uses it: the table is back after the window
// was closed, and a bad journal leaves a working window with an empty table.
#include <gtest/gtest.h>

#include <QPushButton>
#include <sqlite3.h>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/MainWindow.h"
#include "log/LogWriter.h"
#include "tests/app/WindowTest.h"
#include "tests/support/TestSupport.h"

namespace {

namespace fs = std::filesystem;

using testsupport::ReadAll;

class JournalWindowTest : public TWindowTest {
 protected:
  void AddStream(const std::string& id, int64_t size, int64_t rate) {
    sitesim::TVideo v;
    v.Id = id;
    v.Title = "Journal " + id;
    sitesim::TStream s;
    s.Size = size;
    s.Seed = 11;
    s.Fault.RateBytesPerSec = rate;
    v.Streams.push_back(s);
    sim.AddVideo(v);
  }
  // Closes the window as the user does, then starts the program again in the
  // same folder.
  void CloseAndReopen() {
    window->close();
    ASSERT_EQ(ended, 1);
    window.reset();
    ended = 0;
    window = std::make_unique<TfmMain>();
    window->SetEndProcess([this] { ++ended; });
    window->FormCreate();
    window->edFolder->setText(QString::fromStdString(out()));
    cvOptions.IsProxy = true;
    cvOptions.ProxyAdress = sim.ProxyHost();
    cvOptions.ProxyPort = sim.Port();
  }
};

TEST_F(JournalWindowTest, ClosedMidDownloadTheTableComesBackAndStartFinishesTheSameFile) {
  AddStream("j1", 2000000, 100000);
  PasteDownloadOnly("j1");
  AddStream("j2", 1000, 0);
  PasteDownloadOnly("j2");
  window->Grid().SelectRow(1);
  ASSERT_TRUE(window->PreparePopupMenu2());
  window->Skip1->trigger();
  window->btnDownload->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->Grid().Progress(0) >= 10; }, 30000));
  const std::string file = window->Jobs()[0]->MediaFile;

  CloseAndReopen();
  ASSERT_EQ(window->Jobs().Count(), 2);
  EXPECT_EQ(Cell(colFileName, 0), "Journal j1");
  EXPECT_EQ(Cell(colState, 0), "Stopped");
  EXPECT_EQ(Cell(colMode, 0), "Download Only");
  EXPECT_GE(window->Grid().Progress(0), 10);
  EXPECT_EQ(Cell(colFileName, 1), "Journal j2");
  EXPECT_EQ(Cell(colMode, 1), "Skip");
  EXPECT_EQ(Cell(colState, 1), "Wait...");
  EXPECT_FALSE(window->btnStop->isEnabled()) << "nothing starts by itself";

  sim.SetStreamRate("j1", 0, 0);
  sim.ClearRequests();
  window->btnDownload->click();
  ASSERT_TRUE(WaitState(0, "Successfully!")) << window->Jobs()[0]->Notes;
  EXPECT_EQ(window->Jobs()[0]->MediaFile, file);
  EXPECT_TRUE(ReadAll(file) == sim.StreamBody("j1", 0));
  // Only what was missing is asked for.
  for (const sitesim::TRequest& r : sim.Requests()) {
    if (r.Method != "GET") continue;
    EXPECT_NE(r.Header("Range").rfind("bytes=0-", 0), 0u) << r.Target;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(out()), fs::directory_iterator()), 1);

  // Remove takes the job out of the journal too.
  window->Grid().SelectRow(0);
  window->btnRemove->click();
  CloseAndReopen();
  ASSERT_EQ(window->Jobs().Count(), 1);
  EXPECT_EQ(Cell(colFileName, 0), "Journal j2");
}

TEST_F(JournalWindowTest, AGarbageJournalGivesAnEmptyTableAndTheFileIsKeptAside) {
  AddStream("g1", 1000, 0);
  PasteDownloadOnly("g1");
  window->close();
  window.reset();
  const std::string settings = ReadAll(dir / "settings.ini");
  const std::string garbage(5000, '\x7f');
  std::ofstream(dir / "jobs.db", std::ios::binary | std::ios::trunc) << garbage;
  fs::remove(dir / "jobs.db-wal");

  window = std::make_unique<TfmMain>();
  window->SetEndProcess([] {});
  window->FormCreate();
  EXPECT_EQ(window->Jobs().Count(), 0);
  EXPECT_EQ(window->Grid().RowCount(), 0);
  int aside = 0;
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    if (entry.path().filename().string().rfind("jobs.db.bad-", 0) != 0) continue;
    ++aside;
    EXPECT_TRUE(ReadAll(entry.path().string()) == garbage);
  }
  EXPECT_EQ(aside, 1);
  const std::string log = ReadAll(dir / "Log.txt");
  EXPECT_NE(log.find("Error: The job journal"), std::string::npos) << log;
  EXPECT_EQ(ReadAll(dir / "settings.ini"), settings);
  // The program works on with a fresh journal.
  window->edFolder->setText(QString::fromStdString(out()));
  PasteDownloadOnly("g1");
  EXPECT_EQ(window->Jobs().Count(), 1);
}

// Until one window owns a folder for good, a second one on it writes nothing
// of the first's: not its log, not its settings, not its journal.
TEST_F(JournalWindowTest, ASecondWindowOnTheFolderWritesNothingOfTheFirsts) {
  LogText("first window's entry");
  auto second = std::make_unique<TfmMain>();
  second->SetEndProcess([] {});
  second->FormCreate();
  EXPECT_FALSE(second->OwnsFolder());
  EXPECT_TRUE(second->StatusPanelText(1).contains("saves no settings"))
      << second->StatusPanelText(1).toStdString();
  LogText("second window's entry");
  const std::string log = ReadAll(dir / "Log.txt");
  EXPECT_NE(log.find("first window's entry"), std::string::npos) << log;
  EXPECT_EQ(log.find("second window's entry"), std::string::npos) << log;
  const std::string ownLog = MainLogWriter()->LogFileName();
  EXPECT_NE(ReadAll(ownLog).find("second window's entry"), std::string::npos) << ownLog;

  // The first one saves a new folder; the second one's close keeps it.
  window->edFolder->setText(QString::fromStdString(out() + "/later"));
  window->close();
  const std::string saved = ReadAll(dir / "settings.ini");
  ASSERT_NE(saved.find("later"), std::string::npos) << saved;
  second->edFolder->setText("/stale");
  second->close();
  EXPECT_EQ(ReadAll(dir / "settings.ini"), saved);
  second.reset();
  fs::remove(ownLog);
}

// A commit that fails (another program holds the file's write lock) is shown
// in the status bar until a commit succeeds, and nothing is lost meanwhile.
TEST_F(JournalWindowTest, TheStatusBarSaysSoWhileTheJournalCannotBeWritten) {
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open((dir / "jobs.db").c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  AddStream("h1", 1000, 0);
  PasteDownloadOnly("h1");
  auto warning = [&] { return window->StatusPanelText(1).contains("not being written"); };
  EXPECT_TRUE(QTest::qWaitFor(warning, 30000)) << window->StatusPanelText(1).toStdString();
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !warning(); }, 30000));
  CloseAndReopen();
  EXPECT_EQ(window->Jobs().Count(), 1);
}

}  // namespace
