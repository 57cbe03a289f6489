// What a run shows while it goes on and what it leaves: speed and time left
// against the simulator's throttle, and the result file handed to the desktop.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QAction>
#include <QClipboard>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/JobGridWidget.h"
#include "app/JobRates.h"
#include "app/MainWindow.h"
#include "app/MessageBox.h"
#include "download/clMultiDownLoader.h"
#include "platform/ExeFolder.h"
#include "platform/Process.h"
#include "settings/Settings.h"
#include "tests/app/WindowTest.h"
#include "tests/convert/ConvertTestSupport.h"
#include "tests/support/TestSupport.h"
#include "tools/sitesim/SiteSim.h"

namespace {

constexpr int64_t kMiB = 1024 * 1024;
constexpr int kSegments = 5;  // connections of one download item

// Bytes per second shown in a Speed cell ("640 KB/s", "2.9 MB/s"); -1 if none.
double ShownRate(const std::string& text) {
  double v = 0;
  char unit[8] = {};
  if (std::sscanf(text.c_str(), "%lf %7s", &v, unit) != 2) return -1;
  return std::string(unit) == "MB/s" ? v * kMiB : std::string(unit) == "KB/s" ? v * 1024 : -1;
}

// Seconds shown in a Time left cell ("m:ss" or "h:mm:ss"); -1 if none.
double ShownSeconds(const std::string& text) {
  int a = 0, b = 0, c = 0;
  const int n = std::sscanf(text.c_str(), "%d:%d:%d", &a, &b, &c);
  return n == 3 ? a * 3600 + b * 60 + c : n == 2 ? a * 60 + b : -1;
}

using testsupport::ReadAll;

class JobActivityTest : public TWindowTest {
 protected:
  void AddVideo(const std::string& id, int64_t size, int64_t rate) {
    sitesim::TVideo v;
    v.Id = id;
    v.Title = "Title " + id;
    sitesim::TStream s;
    s.Size = size;
    s.Fault.RateBytesPerSec = rate;
    v.Streams.push_back(s);
    sim.AddVideo(v);
  }
  void AddDownloadOnly(const std::string& id) { PasteDownloadOnly(id); }
};

// A path that is not UTF-8 (an output folder named in another encoding)
// reaches the desktop byte for byte.
TEST_F(JobActivityTest, OpenHandsAPathThatIsNotUtf8ToTheDesktopAsItIs) {
  const std::string stubs = dir / "stubs", log = dir / "opened.txt";
  std::filesystem::create_directory(stubs);
  {
    std::ofstream stub(stubs + "/xdg-open");
    stub << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << log << "'\n";
  }
  std::filesystem::permissions(stubs + "/xdg-open", std::filesystem::perms::owner_all);
  const std::string path = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (stubs + ":" + path).c_str(), 1);
  struct TRestore {
    std::string path;
    ~TRestore() { setenv("PATH", path.c_str(), 1); }
  } restore{path};

  const std::string file = dir / "caf\xe9.mp4";  // Latin-1
  std::ofstream(file) << "x";
  auto* job = new TEncItem;
  window->Jobs().Add(job);
  AttachJobToRow(*job, window->Grid(), window->Grid().AppendRow());
  job->MediaFile = file;
  job->Mode = jmDownloadOnly;
  SetJobState(*job, jsDone);
  window->Grid().SelectRow(0);
  ASSERT_TRUE(window->PreparePopupMenu2());
  window->Open1->trigger();
  EXPECT_TRUE(QTest::qWaitFor([&] { return !ReadAll(log).empty(); }, 20000));
  EXPECT_TRUE(ReadAll(log) == file + "\n") << ReadAll(log);
}

}  // namespace

TEST(JobRates, WindowAndTexts) {
  app::TRateWindow w(5);
  w.Add(0, 0);
  EXPECT_FALSE(w.HasRate());
  w.Add(0.5, 100);
  EXPECT_FALSE(w.HasRate());  // half a second says too little
  for (int t = 1; t <= 10; ++t) w.Add(t, t <= 5 ? t * 1000 : 5000 + (t - 5) * 3000);
  EXPECT_DOUBLE_EQ(w.Rate(), 3000);  // the last five seconds only
  w.Add(11, 10);                     // restarted: the old samples say nothing
  EXPECT_FALSE(w.HasRate());

  EXPECT_EQ(app::RateText(512 * 1024), "512 KB/s");
  EXPECT_EQ(app::RateText(2.45 * kMiB), "2.5 MB/s");
  EXPECT_EQ(app::RateText(999 * 1024), "999 KB/s");
  EXPECT_EQ(app::RateText(1000 * 1024), "1.0 MB/s");
  EXPECT_EQ(app::TimeLeftText(59.4), "0:59");
  EXPECT_EQ(app::TimeLeftText(3599.4), "59:59");
  EXPECT_EQ(app::TimeLeftText(3725), "1:02:05");
  EXPECT_EQ(app::EncoderSpeedText(12.44), "12.4x");
}

// The simulator throttles each connection; the item's rate is the sum of its
// segments'. Speed follows a change within the window; the estimate at the
// half-way point matches the time the rest really takes.
TEST_F(JobActivityTest, SpeedFollowsTheRateAndTimeLeftHoldsAtHalfWay) {
  const int64_t size = 36 * kMiB;
  AddVideo("rate", size, 1 * kMiB / kSegments);
  AddDownloadOnly("rate");
  window->btnDownload->click();
  QElapsedTimer clock;
  clock.start();
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return clock.elapsed() >= 2000 && ShownRate(Cell(colSpeed, 0)) > 0; }, 20000));
  EXPECT_NEAR(ShownRate(Cell(colSpeed, 0)), 1.0 * kMiB, 0.15 * kMiB) << Cell(colSpeed, 0);
  EXPECT_TRUE(
      window->StatusPanelText(0).startsWith("1 downloading, 0 queued \u00b7 0 converting \u00b7 "))
      << window->StatusPanelText(0).toStdString();

  sim.SetStreamRate("rate", 0, 3 * kMiB / kSegments);
  clock.restart();
  ASSERT_TRUE(QTest::qWaitFor([&] { return clock.elapsed() >= 5000; }, 6000));
  EXPECT_NEAR(ShownRate(Cell(colSpeed, 0)), 3.0 * kMiB, 0.15 * 3 * kMiB) << Cell(colSpeed, 0);

  ASSERT_TRUE(QTest::qWaitFor([&] { return window->Grid().Progress(0) >= 50; }, 30000));
  const double estimate = ShownSeconds(Cell(colTimeLeft, 0));
  clock.restart();
  ASSERT_TRUE(WaitState(0, "Successfully!"));
  const double actual = clock.elapsed() / 1000.0;
  EXPECT_NEAR(estimate, actual, 0.15 * actual) << Cell(colTimeLeft, 0);

  // Nothing runs any more: the figures and the totals go.
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return Cell(colSpeed, 0).empty() && Cell(colTimeLeft, 0).empty(); }, 20000));
  EXPECT_EQ(window->StatusPanelText(0), "");
}

// Downloads that are not engine items count too: an HLS playlist fetched by
// the encoder shows as downloading with its speed, the one waiting for its
// turn as queued.
TEST_F(JobActivityTest, PlaylistFetchesCountAsDownloadingAndQueuedWithTheirSpeed) {
  if (platform::FindOnPath("ffmpeg").empty()) GTEST_SKIP() << "ffmpeg is not installed";
  std::filesystem::copy_file(testsupport::BinDir() + "cvtcore", dir / "cvtcore");
  const std::string clips = dir / "hls";
  std::filesystem::create_directory(clips);
  ASSERT_EQ(converttest::MakeClip(clips + "/index.m3u8",
                                  {"-f", "lavfi", "-i", "sine=frequency=440:duration=6", "-c:a",
                                   "aac", "-f", "hls", "-hls_time", "2", "-hls_list_size", "0"}),
            0);
  for (const auto& entry : std::filesystem::directory_iterator(clips)) {
    sitesim::TStream s;
    s.File = entry.path().string();
    const bool list = entry.path().extension() == ".m3u8";
    s.ContentType = list ? "application/vnd.apple.mpegurl" : "video/mp2t";
    if (!list) s.Fault.RateBytesPerSec = 6000;  // each segment takes seconds
    sim.AddFile("pages.example.net", "/hls/" + entry.path().filename().string(), s);
  }
  // The extractor's answer for the page: one HLS format.
  {
    std::ofstream script(dir / "yt-dlp");
    script << "#!/bin/sh\necho '{\"id\":\"h\",\"title\":\"Live\",\"duration\":6,"
              "\"webpage_url\":\"http://pages.example.net/live\",\"formats\":[{\"format_id\":"
              "\"hls-1\",\"ext\":\"mp4\",\"protocol\":\"m3u8_native\",\"url\":"
              "\"http://pages.example.net/hls/index.m3u8\",\"vcodec\":\"none\",\"acodec\":"
              "\"mp4a.40.2\",\"abr\":128}]}'\n";
  }
  std::filesystem::permissions(dir / "yt-dlp", std::filesystem::perms::owner_all);
  cvOptions.YtDlpProgram = dir / "yt-dlp";
  for (int i = 0; i < 2; ++i) {
    QGuiApplication::clipboard()->setText("http://pages.example.net/live");
    window->btnPaste->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->IntakeIdle(); }, 90000));
    ASSERT_EQ(window->Jobs().Count(), i + 1);
    window->Grid().SelectRow(i);
    ASSERT_TRUE(window->PreparePopupMenu2());
    window->DownloadOnly1->trigger();
  }
  window->clDownLoader->SetMaxStartedItems(1);
  window->btnDownload->click();
  // Its speed is how fast it gets through the stream ("1.2x"), as a conversion's.
  ASSERT_TRUE(QTest::qWaitFor([&] { return Cell(colSpeed, 0).find('x') != std::string::npos; },
                              60000))
      << Cell(colState, 0);
  EXPECT_TRUE(
      window->StatusPanelText(0).startsWith("1 downloading, 1 queued \u00b7 0 converting \u00b7 "))
      << window->StatusPanelText(0).toStdString();
  EXPECT_EQ(Cell(colSpeed, 1), "");
  EXPECT_GE(ShownSeconds(Cell(colTimeLeft, 0)), 0) << Cell(colTimeLeft, 0);
}

// With a stub xdg-open first in PATH: the menu hands it the file and its folder
// exactly, a double click opens a finished row while another job still runs,
// and both entries are off once the file is gone.
TEST_F(JobActivityTest, OpenAndShowInFolderHandTheExactPathToTheDesktop) {
  const std::string stubs = dir / "stubs", log = dir / "opened.txt";
  std::filesystem::create_directory(stubs);
  {
    std::ofstream stub(stubs + "/xdg-open");
    stub << "#!/bin/sh\nprintf '%s\\n' \"$*\" >> '" << log << "'\n";
  }
  std::filesystem::permissions(stubs + "/xdg-open", std::filesystem::perms::owner_all);
  const std::string path = getenv("PATH") ? getenv("PATH") : "";
  setenv("PATH", (stubs + ":" + path).c_str(), 1);
  struct TRestore {
    std::string path;
    ~TRestore() { setenv("PATH", path.c_str(), 1); }
  } restore{path};

  AddVideo("quick", 64 * 1024, 0);
  AddVideo("slow", 8 * kMiB, 64 * 1024);
  AddDownloadOnly("quick");
  AddDownloadOnly("slow");
  window->btnDownload->click();
  ASSERT_TRUE(WaitState(0, "Successfully!"));
  ASSERT_EQ(Cell(colState, 1), "Downloading...");
  const std::string file = window->Jobs()[0]->MediaFile;

  // During the run the menu stays shut, but a finished row opens on a double click.
  EXPECT_FALSE(window->PreparePopupMenu2());
  window->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  QWidget* cells = window->ngListItems->viewport();
  const QRect cell = window->ngListItems->visualRect(window->ngListItems->model()->index(0, 0));
  // As the window system delivers it: the second press comes before the double click.
  QTest::mouseClick(cells, Qt::LeftButton, {}, cell.center());
  QTest::mousePress(cells, Qt::LeftButton, {}, cell.center());
  QTest::mouseDClick(cells, Qt::LeftButton, {}, cell.center());
  ASSERT_TRUE(QTest::qWaitFor([&] { return ReadAll(log) == file + "\n"; }, 20000)) << ReadAll(log);
  // So does Enter in the table on its current row (a running one opens nothing).
  window->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
  window->ngListItems->setFocus();
  window->ngListItems->setCurrentCell(1, 0);
  QTest::keyClick(window->ngListItems, Qt::Key_Return);
  window->ngListItems->setCurrentCell(0, 0);
  QTest::keyClick(window->ngListItems, Qt::Key_Return);
  ASSERT_TRUE(QTest::qWaitFor([&] { return ReadAll(log) == file + "\n" + file + "\n"; }, 20000))
      << ReadAll(log);

  window->btnStop->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->btnDownload->isEnabled(); }, 20000));
  window->Grid().SelectRow(0);
  ASSERT_TRUE(window->PreparePopupMenu2());
  ASSERT_TRUE(window->Open1->isEnabled());
  ASSERT_TRUE(window->ShowInFolder1->isEnabled());
  window->Open1->trigger();
  window->ShowInFolder1->trigger();
  const std::string expected = file + "\n" + file + "\n" + file + "\n" + out() + "\n";
  EXPECT_TRUE(QTest::qWaitFor([&] { return ReadAll(log).size() >= expected.size(); }, 20000));
  // Two stubs may run at once; each writes one whole line.
  std::string lines = ReadAll(log);
  EXPECT_TRUE(lines == expected || lines == file + "\n" + file + "\n" + out() + "\n" + file + "\n")
      << lines;

  std::filesystem::remove(file);
  ASSERT_TRUE(window->PreparePopupMenu2());
  EXPECT_FALSE(window->Open1->isEnabled());
  EXPECT_FALSE(window->ShowInFolder1->isEnabled());
}
