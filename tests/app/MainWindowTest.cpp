#include <gtest/gtest.h>

#include <QAction>
#include <QComboBox>
#include <QEventLoop>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QStatusBar>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "app/GuiCallQueue.h"
#include "app/JobGridWidget.h"
#include "app/MainWindow.h"
#include "log/LogWriter.h"
#include "platform/CallQueue.h"
#include "platform/ExeFolder.h"
#include "tests/support/TestSupport.h"

namespace {

// Records the start-up and shut-down hooks and what was in place at each.
class RecordingWindow : public TfmMain {
 public:
  std::vector<std::string> steps;
  bool titleSetBeforeSettings = true;
  bool jobListBeforeSettings = false;
  bool logReadyBeforeRegistration = false;
  bool failSave = false;
  int saves = 0;

 protected:
  void SetupLogWriter() override {
    steps.push_back("log");
    TfmMain::SetupLogWriter();
  }
  void RegisterDropAndClipboard() override {
    steps.push_back("register");
    logReadyBeforeRegistration = MainLogWriter() != nullptr;
  }
  void CreateJobList() override {
    steps.push_back("joblist");
    TfmMain::CreateJobList();
  }
  void LoadSettings() override {
    steps.push_back("settings");
    titleSetBeforeSettings = windowTitle() == "Vantorel 1.0";
    jobListBeforeSettings = JobList == &Jobs();
  }
  void SaveSettings() override {
    ++saves;
    if (failSave) throw std::runtime_error("disk gone");
  }
};

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::SetExeFolderOverride(dir.path()); }
  void TearDown() override { platform::SetExeFolderOverride(""); }

  // A created window whose closing ends nothing but the test's count.
  std::unique_ptr<RecordingWindow> MakeWindow() {
    auto window = std::make_unique<RecordingWindow>();
    window->SetEndProcess([this] { ++ended; });
    window->FormCreate();
    return window;
  }

  template <typename T>
  static T* Find(QWidget& window, const char* name) {
    T* child = window.findChild<T*>(name);
    EXPECT_NE(child, nullptr) << name;
    return child;
  }

  testsupport::TempDir dir;
  int ended = 0;
};

QStringList Entries(QComboBox* list) {
  QStringList entries;
  for (int i = 0; i < list->count(); ++i) entries << list->itemText(i);
  return entries;
}

}  // namespace

TEST_F(MainWindowTest, ControlsCarryTheirCaptionsAndStartIdle) {
  auto w = MakeWindow();
  EXPECT_EQ(w->windowTitle(), "Vantorel 1.0");
  EXPECT_EQ(w->size(), QSize(769, 582));
  EXPECT_EQ(w->minimumSize(), QSize(769, 582));  // the first size is the least

  const std::pair<const char*, const char*> buttons[] = {
      {"btnPaste", "Paste"},           {"btnAddFiles", "Add Files..."},
      {"btnRemove", "Remove"},         {"btnBrowse", "Browse..."},
      {"btnOname", "Output name..."},  {"btnApply", "Apply"},
      {"btnOptions", "Options..."},    {"btnDownload", "Start"},
      {"btnStopSel", "Stop Selected"}, {"btnStop", "Stop All"}};
  for (auto [name, caption] : buttons) {
    if (auto* button = Find<QPushButton>(*w, name)) {
      EXPECT_EQ(button->text(), caption) << name;
    }
  }
  const std::pair<const char*, const char*> labels[] = {{"lblOutputFolder", "Output folder:"},
                                                        {"lblPresets", "Presets:"},
                                                        {"lblCodec", "Codec:"},
                                                        {"lblAbitRate", "Audio bitrate, kbps:"},
                                                        {"lblFrequency", "Frequency, kHz:"},
                                                        {"lblChanels", "Chanels:"},
                                                        {"lblVBitrate", "Video bitrate, kbps:"},
                                                        {"lblVideoSize", "Video size:"}};
  for (auto [name, caption] : labels) {
    if (auto* label = Find<QLabel>(*w, name)) {
      EXPECT_EQ(label->text(), caption) << name;
    }
  }
  EXPECT_NE(Find<QLineEdit>(*w, "edFolder"), nullptr);
  EXPECT_NE(Find<TJobGridWidget>(*w, "ngListItems"), nullptr);

  EXPECT_EQ(w->btnStopSel->property("tag").toInt(), 1);
  EXPECT_EQ(w->btnStop->property("tag").toInt(), 0);
  EXPECT_TRUE(w->btnDownload->isEnabled());
  EXPECT_FALSE(w->btnStopSel->isEnabled());
  EXPECT_FALSE(w->btnStop->isEnabled());
  EXPECT_TRUE(w->btnApply->isHidden());

  w->SetRunning(true);
  EXPECT_FALSE(w->btnDownload->isEnabled());
  EXPECT_TRUE(w->btnStopSel->isEnabled());
  EXPECT_TRUE(w->btnStop->isEnabled());

  // The value lists: fixed entries, "Same As Input" shown, video lists off, none editable.
  EXPECT_EQ(Entries(w->cbChanels), QStringList({"Same As Input", "1", "2", "6"}));
  EXPECT_EQ(Entries(w->cbFrequency), QStringList({"Same As Input", "8000", "12000", "16000",
                                                  "24000", "32000", "44100", "48000"}));
  EXPECT_EQ(w->cbAbitRate->count(), 13);
  EXPECT_EQ(w->cbAbitRate->itemText(12), "32");
  EXPECT_EQ(w->cbVBitrate->count(), 12);
  EXPECT_EQ(w->cbVideoSize->count(), 16);
  EXPECT_EQ(w->cbVideoSize->itemText(15), "1920x1080");
  for (QComboBox* list :
       {w->cbPresets, w->cbAbitRate, w->cbFrequency, w->cbChanels, w->cbVBitrate, w->cbVideoSize})
    EXPECT_FALSE(list->isEditable()) << list->objectName().toStdString();
  for (QComboBox* list : {w->cbAbitRate, w->cbFrequency, w->cbChanels}) {
    EXPECT_TRUE(list->isEnabled());
    EXPECT_EQ(list->currentText(), "Same As Input");
  }
  EXPECT_FALSE(w->cbVBitrate->isEnabled());
  EXPECT_FALSE(w->cbVideoSize->isEnabled());
  EXPECT_EQ(w->cbPresets->count(), 0);

  EXPECT_EQ(w->statusBar()->objectName(), "StatusBar1");
  EXPECT_EQ(w->StatusPanels[0]->width(), 300);
  EXPECT_EQ(w->StatusPanels[1]->width(), 300);
  EXPECT_EQ(w->Hide1->text(), "Hide");
  EXPECT_EQ(w->Close1->text(), "Close");
}

TEST_F(MainWindowTest, FormCreateRunsItsStepsInOrderAndStartsAFreshLog) {
  { std::ofstream(dir / "Log.txt") << "entry of the last run\r\n"; }
  auto w = MakeWindow();
  EXPECT_EQ(w->steps, (std::vector<std::string>{"log", "register", "joblist", "settings"}));
  EXPECT_TRUE(w->logReadyBeforeRegistration);
  EXPECT_TRUE(w->jobListBeforeSettings);
  EXPECT_FALSE(w->titleSetBeforeSettings);
  EXPECT_EQ(JobList, &w->Jobs());
  EXPECT_EQ(w->Jobs().Count(), 0);

  EXPECT_FALSE(std::filesystem::exists(dir / "Log.txt"));
  LogText("first");
  std::ifstream in(dir / "Log.txt", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text.find("entry of the last run"), std::string::npos);
  EXPECT_NE(text.find(": first\r\n"), std::string::npos);

  w.reset();  // the window's writer no longer receives the process's log
  EXPECT_EQ(MainLogWriter(), nullptr);
  EXPECT_EQ(JobList, nullptr);
}

TEST_F(MainWindowTest, TrayMenuEntryTogglesBetweenHideAndShow) {
  auto w = MakeWindow();
  w->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));

  w->Hide1->trigger();
  EXPECT_EQ(w->Hide1->text(), "Show");
  EXPECT_EQ(w->Hide1->data().toInt(), 1);
  EXPECT_TRUE(w->isMinimized() || !w->isVisible());

  w->Hide1->trigger();
  EXPECT_EQ(w->Hide1->text(), "Hide");
  EXPECT_EQ(w->Hide1->data().toInt(), 0);
  EXPECT_TRUE(w->isVisible());
  EXPECT_FALSE(w->isMinimized());

  // Minimising the window by other means keeps the entry in step too.
  w->setWindowState(Qt::WindowMinimized);
  EXPECT_EQ(w->Hide1->text(), "Show");
  w->Hide1->trigger();
  EXPECT_EQ(w->Hide1->text(), "Hide");
  EXPECT_FALSE(w->isMinimized());
}

TEST_F(MainWindowTest, ClosingSavesAndEndsTheProcessEvenWhenSavingFails) {
  auto w = MakeWindow();
  w->show();
  w->close();
  EXPECT_EQ(w->saves, 1);
  EXPECT_EQ(ended, 1);
  w.reset();  // a second window on the folder would save nothing

  auto viaTray = MakeWindow();
  viaTray->failSave = true;
  viaTray->show();
  viaTray->Close1->trigger();
  EXPECT_EQ(viaTray->saves, 1);
  EXPECT_EQ(ended, 2);
}

TEST_F(MainWindowTest, CellClickShowsNotesAndRemoveTakesSelectedJobsOut) {
  auto w = MakeWindow();
  w->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(w.get()));
  IJobGrid& grid = w->Grid();
  for (const char* title : {"a", "b", "c"}) {
    auto* job = new TEncItem;
    int row = grid.AppendRow();
    AttachJobToRow(*job, grid, row);
    job->Title = title;
    SetJobState(*job, jsNew);
    w->Jobs().Add(job);
  }
  AppendNote(*w->Jobs()[1], std::string("no such page"), "Warning");

  TJobGridWidget* table = w->ngListItems;
  QRect cell = table->visualRect(table->model()->index(1, colFileName));
  QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, cell.center());
  EXPECT_EQ(w->StatusPanelText(1).toStdString(), "Warning: no such page\r");
  EXPECT_EQ(grid.SelectedRows(), std::vector<int>{1});

  w->btnRemove->click();
  ASSERT_EQ(w->Jobs().Count(), 2);
  EXPECT_EQ(w->Jobs()[0]->Title, "a");
  EXPECT_EQ(w->Jobs()[1]->Title, "c");
  EXPECT_EQ(RowJob(grid, 1), w->Jobs()[1]);
  EXPECT_EQ(grid.SelectedRows(), std::vector<int>{1});
}

TEST(GuiCallQueue, EventLoopRunsCallsFromWorkerThreads) {
  app::InstallCallQueueDrain();
  auto queue = platform::CallQueue::Current();
  std::atomic<bool> ranOnGuiThread{false};
  std::atomic<bool> finished{false};
  const auto guiThread = std::this_thread::get_id();

  QEventLoop loop;
  std::thread worker([&] {
    queue->Call([&] { ranOnGuiThread = std::this_thread::get_id() == guiThread; });
    finished = true;
    QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
  });
  QTimer::singleShot(10000, &loop, &QEventLoop::quit);  // guard only
  if (!finished) loop.exec();
  worker.join();
  EXPECT_TRUE(finished);
  EXPECT_TRUE(ranOnGuiThread);
}
