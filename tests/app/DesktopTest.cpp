// The window among other programs: later starts of the real program on a
// private session bus, dropped URIs, the window's kept place, its keys.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <QApplication>
#include <QComboBox>
#include <QDropEvent>
#include <QHeaderView>
#include <QMimeData>
#include <QScrollBar>
#include <QUrl>
#include <chrono>
#include <cstdio>

#include "app/JobGridWidget.h"
#include "app/SingleInstance.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "platform/UserFolders.h"
#include "tests/app/WindowTest.h"

namespace fs = std::filesystem;

namespace {

class DesktopTest : public TWindowTest {
 protected:
  void SetUp() override {
    TWindowTest::SetUp();
    fs::copy_file(testsupport::BinDir() + "vantorel", dir / "vantorel");
    for (const char* id : {"a", "b"}) {
      sitesim::TVideo v;
      v.Id = id;
      v.Title = std::string("Clip ") + id;
      v.Streams.push_back(sitesim::TStream{});
      sim.AddVideo(v);
    }
  }

  // This window owns the folder's name on the bus, as main() sets it up.
  void OwnTheName() {
    instance = std::make_unique<app::TSingleInstance>(platform::UserFilesFolder());
    ASSERT_EQ(instance->Claim({}, false), app::TSingleInstance::kFirst);
    instance->SetHandlers([this](const QStringList& w, bool s) { window->TakeWork(w, s); },
                          [this] { window->RaiseWindow(); });
  }

  // Runs the copied program; the test's event loop runs meanwhile (the window
  // answers from it). Returns the exit code, -1 when it still runs after 60 s.
  int RunProgram(std::vector<std::string> argv, std::string* output = nullptr) {
    argv.insert(argv.begin(), dir / "vantorel");
    platform::TProcess program;
    platform::ProcessOptions options;
    options.lowerPriority = false;
    if (!program.Start(argv, options)) return -2;
    const auto began = std::chrono::steady_clock::now();
    const bool ended = QTest::qWaitFor([&] { return testsupport::ProcessGone(program.Pid()); }, 60000);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("later start ended after %.2f s\n", seconds);
    if (output) ReadAll(program, output);
    return ended ? program.Wait() : -1;
  }

  static void ReadAll(platform::TProcess& program, std::string* output) {
    char buffer[4096];
    ssize_t n;
    while ((n = program.Read(buffer, sizeof buffer, std::chrono::milliseconds(200))) > 0)
      output->append(buffer, n);
  }

  void Reopen() {
    window.reset();
    window = std::make_unique<TfmMain>();
    window->SetEndProcess([this] { ++ended; });
    window->FormCreate();
  }

  std::vector<int> Widths() {
    std::vector<int> widths;
    for (int col = 0; col < JobColumnCount; ++col) widths.push_back(window->ngListItems->columnWidth(col));
    return widths;
  }

  std::unique_ptr<app::TSingleInstance> instance;
};

}  // namespace

TEST_F(DesktopTest, LaterStartsHandTheirWorkToTheFirstWindowOrRaiseIt) {
  OwnTheName();
  const std::string clip = dir / "clip.mp4";
  platform::WriteFile(clip, "not really a video");
  std::vector<std::string> args = {sim.WatchUrl("a"), sim.WatchUrl("b"), clip};
  ASSERT_EQ(RunProgram(args), 0);
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->Jobs().Count() == 3; }, 30000))
      << window->Jobs().Count();
  // The links are read off the GUI thread.
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->IntakeIdle(); }, 90000));
  EXPECT_EQ(window->Jobs()[0]->Title, "Clip a");
  EXPECT_EQ(window->Jobs()[1]->Title, "Clip b");
  EXPECT_EQ(window->Jobs()[2]->Source, clip);
  EXPECT_FALSE(window->Jobs()[2]->IsLink);

  // Without arguments the window comes back from wherever it was.
  window->hide();
  ASSERT_EQ(RunProgram({}), 0);
  EXPECT_TRUE(QTest::qWaitFor([&] { return window->isVisible() && !window->isMinimized(); }, 10000));
  EXPECT_EQ(window->Jobs().Count(), 3);
}

TEST_F(DesktopTest, WorkThatIsNeitherLinkNorMediaFileIsToldOnceAndStartFollowsTheIntake) {
  std::vector<QString> boxes;
  SetMessageBoxHook([&](const QString& text, const QString&) {
    boxes.push_back(text);
    return int(QMessageBox::Ok);
  });
  platform::WriteFile(dir / "notes.txt", "x");
  window->TakeWork({QString::fromStdString(sim.WatchUrl("a")), QString::fromStdString(dir / "notes.txt"),
                    "--new-instance", QString::fromStdString(dir / "missing.mp4")},
                   true);
  // Start was pressed once the link was in: the job leaves its first state.
  ASSERT_TRUE(QTest::qWaitFor([&] { return !window->btnDownload->isEnabled() || Cell(colState, 0) != "Wait..."; },
                              30000));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !boxes.empty(); }, 10000));
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_TRUE(boxes[0].contains("notes.txt") && boxes[0].contains("--new-instance") &&
              boxes[0].contains("missing.mp4"))
      << boxes[0].toStdString();
  EXPECT_EQ(window->Jobs().Count(), 1);
}

TEST_F(DesktopTest, WithoutABusALaterStartOpensAWindowOfItsOwnAndSaysSo) {
  platform::TProcess program;
  ASSERT_TRUE(program.Start({"/usr/bin/env", "DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent/bus",
                             dir / "vantorel"}));
  std::string output;
  char buffer[4096];
  const bool told = QTest::qWaitFor(
      [&] {
        const ssize_t n = program.Read(buffer, sizeof buffer, std::chrono::milliseconds(50));
        if (n > 0) output.append(buffer, n);
        return output.find("No session bus") != std::string::npos;
      },
      60000);
  EXPECT_TRUE(told) << output;
  EXPECT_FALSE(testsupport::ProcessGone(program.Pid()));  // its own window is up
  program.Terminate();
  program.Wait();
}

TEST_F(DesktopTest, DroppedFilesBecomeLocalJobsInOrderAndDroppedLinksOneJobEach) {
  const std::string b = dir / "b song.mp3", a = dir / "a#clip.MP4";
  platform::WriteFile(b, "x");
  platform::WriteFile(a, "x");
  auto drop = [&](QMimeData& data) {
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &enter);
    QDropEvent event(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &event);
  };
  QMimeData files;
  files.setUrls({QUrl::fromLocalFile(QString::fromStdString(b)), QUrl::fromLocalFile(QString::fromStdString(a))});
  files.setText(files.urls()[0].toString() + "\n" + files.urls()[1].toString());
  drop(files);
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->Jobs().Count() == 2; }, 10000))
      << window->Jobs().Count() << [&] {
           std::string log;
           platform::ReadFile(dir / "Log.txt", log);
           return log;
         }();
  EXPECT_EQ(window->Jobs()[0]->Source, b);
  EXPECT_EQ(window->Jobs()[1]->Source, a);
  EXPECT_FALSE(window->Jobs()[0]->IsLink || window->Jobs()[1]->IsLink);

  QMimeData links;  // a browser's list without text of its own
  links.setUrls({QUrl(QString::fromStdString(sim.WatchUrl("a"))), QUrl(QString::fromStdString(sim.WatchUrl("b")))});
  drop(links);
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->Jobs().Count() == 4; }, 30000));
  // The links are read off the GUI thread.
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->IntakeIdle(); }, 90000));
  EXPECT_EQ(window->Jobs()[2]->Title, "Clip a");
  EXPECT_EQ(window->Jobs()[3]->Title, "Clip b");
}

TEST_F(DesktopTest, AWideWindowShowsEveryColumnAndComesBackAsItWasClosed) {
  window->show();
  EXPECT_EQ(window->size(), QSize(769, 582));
  window->resize(1400, 860);
  window->ngListItems->setColumnWidth(colState, 120);
  QTest::qWait(50);
  QHeaderView* header = window->ngListItems->horizontalHeader();
  const int viewport = window->ngListItems->viewport()->width();
  for (int col = 0; col < JobColumnCount; ++col) {
    if (header->isSectionHidden(col)) continue;
    EXPECT_LE(header->sectionViewportPosition(col) + header->sectionSize(col), viewport) << col;
  }
  EXPECT_EQ(window->ngListItems->horizontalScrollBar()->maximum(), 0);
  // File name takes the extra width.
  for (int col = 1; col < JobColumnCount; ++col)
    EXPECT_GT(header->sectionSize(colFileName), header->sectionSize(col)) << col;
  const std::vector<int> widths = Widths();

  window->close();
  ASSERT_EQ(ended, 1);
  Reopen();
  window->show();
  QTest::qWait(50);
  EXPECT_EQ(window->size(), QSize(1400, 860));
  EXPECT_EQ(Widths(), widths);
}

TEST_F(DesktopTest, AMaximisedWindowComesBackMaximisedFromTheTrayAndTheNextStart) {
  window->showMaximized();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->isMaximized(); }, 5000));
  window->Hide1Click();
  window->Hide1Click();
  EXPECT_TRUE(window->isVisible());
  EXPECT_TRUE(window->isMaximized());
  EXPECT_FALSE(window->isMinimized());
  window->close();
  Reopen();
  window->show();
  EXPECT_TRUE(QTest::qWaitFor([&] { return window->isMaximized(); }, 5000));
}

TEST_F(DesktopTest, CorruptOrOffScreenPlacesGiveTheFirstSize) {
  const char* places[] = {
      "[Window]\nLeft=10\nTop=10\nWidth=12x\nHeight=-5\nColumns=1,2,x\n",
      "[Window]\nLeft=-30000\nTop=-30000\nWidth=1000\nHeight=700\nMaximized=1\n",
      "[Window]\nLeft=10\nTop=10\nWidth=900000\nHeight=700\n",
  };
  for (const char* place : places) {
    window.reset();
    platform::WriteFile(dir / "settings.ini", place);
    Reopen();
    window->show();
    QTest::qWait(20);
    EXPECT_EQ(window->size(), QSize(769, 582)) << place;
    EXPECT_FALSE(window->isMaximized()) << place;
    EXPECT_EQ(window->ngListItems->columnWidth(colTime), 60) << place;
  }
}

TEST_F(DesktopTest, KeysActAsTheirButtonsAndTabRunsTopToBottom) {
  std::vector<std::string> picked;
  window->SetOpenFilesPicker([&](QWidget*, const QString&, QString*) {
    picked.push_back("asked");
    return QStringList();
  });
  window->show();
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  window->ngListItems->setFocus();

  QGuiApplication::clipboard()->setText(QString::fromStdString(sim.WatchUrl("a")));
  QTest::keyClick(window->ngListItems, Qt::Key_V, Qt::ControlModifier);
  QTest::keyClick(window->ngListItems, Qt::Key_V, Qt::ControlModifier);
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->Jobs().Count() == 2; }, 30000));
  // In the folder box the keys are the box's own.
  window->edFolder->setFocus();
  QTest::keyClick(window->edFolder, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(window->edFolder, Qt::Key_Delete);
  EXPECT_EQ(window->edFolder->text(), "");
  EXPECT_EQ(window->Jobs().Count(), 2);

  window->ngListItems->setFocus();
  QTest::keyClick(window->ngListItems, Qt::Key_A, Qt::ControlModifier);
  EXPECT_EQ(window->Grid().SelectedRows().size(), 2u);
  QTest::keyClick(window->ngListItems, Qt::Key_Delete);
  EXPECT_EQ(window->Jobs().Count(), 0);
  QTest::keyClick(window->ngListItems, Qt::Key_O, Qt::ControlModifier);
  EXPECT_EQ(picked.size(), 1u);

  QWidget* order[] = {window->ngListItems, window->btnPaste,  window->btnAddFiles, window->btnRemove,
                      window->edFolder,    window->btnBrowse, window->btnOname,    window->cbPresets,
                      window->cbAbitRate,  window->btnOptions, window->btnDownload};
  // The listed controls come in this order along the focus chain.
  std::vector<QWidget*> seen;
  QWidget* at = window->ngListItems;
  do {
    if (std::find(std::begin(order), std::end(order), at) != std::end(order) &&
        std::find(seen.begin(), seen.end(), at) == seen.end())
      seen.push_back(at);
    at = at->nextInFocusChain();
  } while (at != window->ngListItems);
  EXPECT_EQ(seen, std::vector<QWidget*>(std::begin(order), std::end(order)));

  QTest::keyClick(window->ngListItems, Qt::Key_Q, Qt::ControlModifier);
  EXPECT_EQ(ended, 1);
}

// A private session bus for the whole process, set before anything connects.
int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  platform::TProcess bus;
  std::string why;
  if (!bus.Start({platform::FindOnPath("dbus-daemon"), "--session", "--nofork", "--nopidfile",
                  "--print-address=1"},
                 platform::ProcessOptions{}, &why)) {
    std::fprintf(stderr, "no dbus-daemon: %s\n", why.c_str());
    return 1;
  }
  std::string address;
  char c;
  while (bus.Read(&c, 1) == 1 && c != '\n') address += c;
  setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  QApplication application(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
