// Links are read off the GUI thread: the window stays usable while a page
// hangs, and the answers arrive as rows fill or fail.
#include <QTimer>

#include "app/OptionsDialog.h"
#include "jobs/JobRunner.h"
#include "jobs/ResolveService.h"
#include "tests/app/WindowTest.h"

namespace {

sitesim::TVideo Clip(const std::string& id, int delayMs = 0) {
  sitesim::TVideo v;
  v.Id = id;
  v.Title = "Clip " + id;
  sitesim::TStream s;
  s.Size = 20000;
  v.Streams.push_back(s);
  v.PageFault.DelayMs = delayMs;
  return v;
}

class ReadingTest : public TWindowTest {
 protected:
  void SetUp() override {
    TWindowTest::SetUp();
    SetMessageBoxHook([this](const QString& text, const QString&) {
      boxes.push_back(text.toStdString());
      return int(QMessageBox::Ok);
    });
  }
  void Paste(const std::string& text) {
    QGuiApplication::clipboard()->setText(QString::fromStdString(text));
    window->btnPaste->click();
  }
  TResolveService& Service() { return window->clDownLoader.runner_->Resolver(); }
  TJobList& Jobs() { return window->Jobs(); }

  std::vector<std::string> boxes;
};

}  // namespace

TEST_F(ReadingTest, AHangingPageLeavesTheWindowWorkingAndRemoveEndsItsRequest) {
  sim.AddVideo(Clip("hang", 600000));
  sim.AddVideo(Clip("good"));
  Paste(sim.WatchUrl("hang"));
  // The row is there as soon as the paste returns.
  ASSERT_EQ(Jobs().Count(), 1);
  EXPECT_EQ(Cell(colFileName, 0), sim.WatchUrl("hang"));
  EXPECT_EQ(Cell(colState, 0), "Reading link...");
  EXPECT_EQ(window->StatusPanelText(0), "1 reading link");
  ASSERT_TRUE(QTest::qWaitFor([&] { return sim.PagesInFlight() == 1; }, 30000));

  window->CreateDialogs();
  bool optionsShown = false;
  QTimer::singleShot(0, window.get(), [&] {
    optionsShown = window->fmOptions->isVisible();
    window->fmOptions->reject();
  });
  window->btnOptions->click();
  EXPECT_TRUE(optionsShown);

  // A good link pasted meanwhile is ready first, and Start runs it alone.
  Paste(sim.WatchUrl("good"));
  ASSERT_TRUE(WaitState(1, "Wait..."));
  EXPECT_EQ(Cell(colFileName, 1), "Clip good");
  EXPECT_EQ(Cell(colState, 0), "Reading link...");
  window->Grid().SelectRow(1);
  ASSERT_TRUE(window->PreparePopupMenu2());
  window->DownloadOnly1->trigger();
  window->btnDownload->click();
  ASSERT_TRUE(WaitState(1, "Successfully!"));
  EXPECT_EQ(Cell(colState, 0), "Reading link...");
  EXPECT_EQ(Jobs()[0]->DownloadItem, nullptr);

  // Remove: the simulator sees the request's connection closed, no thread is left.
  window->Grid().SelectRow(0);
  window->btnRemove->click();
  ASSERT_EQ(Jobs().Count(), 1);
  EXPECT_EQ(window->ReadingLinks(), 0);
  EXPECT_FALSE(window->StatusPanelText(0).contains("reading")) << window->StatusPanelText(0).toStdString();
  EXPECT_TRUE(QTest::qWaitFor([&] { return sim.PagesInFlight() == 0; }, 30000));
  EXPECT_TRUE(QTest::qWaitFor([&] { return Service().LiveThreads() == 0; }, 30000));
  QTest::qWait(50);
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(Cell(colFileName, 0), "Clip good");
}

TEST_F(ReadingTest, AListWithFailuresGivesItsJobsInOrderAndOneBox) {
  std::string list;
  std::vector<std::string> titles;
  for (int i = 0; i < 12; ++i) {
    const std::string id = "v" + std::to_string(i);
    // Every fourth link names a video the site does not have.
    if (i % 4 != 2) {
      sim.AddVideo(Clip(id, 200));
      titles.push_back("Clip " + id);
    }
    list += sim.WatchUrl(id) + "\r\n";
  }
  Paste(list);
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->IntakeIdle(); }, 90000));
  ASSERT_EQ(Jobs().Count(), 9);
  for (int i = 0; i < 9; ++i) {
    EXPECT_EQ(Cell(colFileName, i), titles[static_cast<size_t>(i)]) << i;
    EXPECT_EQ(Cell(colState, i), "Wait...") << i;
  }
  EXPECT_EQ(boxes, std::vector<std::string>{"Error Link! 3 of 12 links could not be read."});
  EXPECT_LE(sim.MostPagesAtOnce(), TResolveService::kMaxRunning);
  EXPECT_LE(Service().MostRunning(), TResolveService::kMaxRunning);
}

TEST_F(ReadingTest, ClosingTheWindowEndsEveryReadingAtOnce) {
  sim.AddVideo(Clip("hang", 600000));
  Paste(sim.WatchUrl("hang") + "\n" + sim.WatchUrl("hang"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return sim.PagesInFlight() == 2; }, 30000));
  window->close();
  EXPECT_EQ(ended, 1);
  EXPECT_TRUE(QTest::qWaitFor([&] { return sim.PagesInFlight() == 0; }, 30000));
  // The rows stay, still to be read: the journal keeps them for the next start.
  ASSERT_EQ(Jobs().Count(), 2);
  EXPECT_EQ(Jobs()[1]->State, jsReading);
  window.reset();
  EXPECT_TRUE(boxes.empty());
}
