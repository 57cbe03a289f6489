#include <gtest/gtest.h>

#include <QClipboard>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGuiApplication>
#include <QItemSelectionModel>
#include <QMimeData>
#include <QPushButton>
#include <QTest>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/JobGridWidget.h"
#include "app/MainWindow.h"
#include "resolve/YtDlpRun.h"
#include "app/MessageBox.h"
#include "platform/ExeFolder.h"
#include "resolve/InetEng.h"
#include "settings/Settings.h"
#include "tests/support/TestSupport.h"
#include "tools/sitesim/SiteSim.h"

namespace {

sitesim::TVideo Video(const std::string& id, const std::string& title) {
  sitesim::TVideo v;
  v.Id = id;
  v.Title = title;
  v.LengthSeconds = 212;
  for (int itag : {99, 34, 18}) {
    sitesim::TStream s;
    s.Itag = itag;
    s.Data = "x";
    v.Streams.push_back(s);
  }
  return v;
}

// A created window whose page requests go through the simulator as proxy, and
// whose message boxes are recorded instead of shown.
class IntakeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::SetExeFolderOverride(dir.path());
    std::filesystem::copy_file(testsupport::BinDir() + "/presets.ini", dir / "presets.ini");
    cvOptions = TcvOptions{};
    sim.AddVideo(Video("abc", "First clip"));
    sim.AddVideo(Video("def", "Second clip"));
    sim.Start();
    window = std::make_unique<TfmMain>();
    window->SetEndProcess([] {});
    window->FormCreate();
    cvOptions.IsProxy = true;
    cvOptions.ProxyAdress = sim.ProxyHost();
    cvOptions.ProxyPort = sim.Port();
    SetMessageBoxHook([this](const QString& text, const QString& caption) {
      boxes.push_back(text.toStdString());
      EXPECT_EQ(caption, "Vantorel 1.0");
      if (onBox) onBox();
      return int(QMessageBox::Ok);
    });
  }
  void TearDown() override {
    SetMessageBoxHook(nullptr);
    resolve::SetFetchTimeouts({});
    window.reset();
    cvOptions = TcvOptions{};
    platform::SetExeFolderOverride("");
  }

  IJobGrid& Grid() { return window->Grid(); }
  TJobList& Jobs() { return window->Jobs(); }
  std::string Cell(int col, int row) { return Grid().CellText(col, row); }

  // Links are read off the GUI thread: waits for every answer (and its box).
  void Settle() {
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->IntakeIdle(); }, 90000));
  }
  void Paste(const std::string& text) {
    QGuiApplication::clipboard()->setText(QString::fromStdString(text));
    window->btnPaste->click();
    Settle();
  }

  // Row i and entry i are the same job, titles in order.
  void ExpectTitles(const std::vector<std::string>& titles) {
    ASSERT_EQ(Jobs().Count(), static_cast<int>(titles.size()));
    ASSERT_EQ(Grid().RowCount(), Jobs().Count());
    for (int i = 0; i < Jobs().Count(); ++i) {
      EXPECT_EQ(RowJob(Grid(), i), Jobs()[i]) << "row " << i;
      EXPECT_EQ(Cell(colFileName, i), titles[i]) << "row " << i;
    }
  }

  std::string Log() {
    std::ifstream in(dir / "Log.txt", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  testsupport::TempDir dir;
  sitesim::TSiteSim sim;
  std::unique_ptr<TfmMain> window;
  std::vector<std::string> boxes;
  std::function<void()> onBox;
};

}  // namespace

TEST_F(IntakeTest, PastedWatchLinkBecomesAResolvedRow) {
  Paste(sim.WatchUrl("abc") + "&feature=related");
  EXPECT_TRUE(boxes.empty());
  ExpectTitles({"First clip"});
  EXPECT_EQ(Cell(colTime, 0), "00:03:32");
  EXPECT_EQ(Cell(colState, 0), "Wait...");
  EXPECT_EQ(Grid().Progress(0), 0);
  EXPECT_EQ(Cell(colProgress, 0), "0");
  EXPECT_EQ(Cell(colMode, 0), "Download&Convert");
  EXPECT_EQ(Cell(colQuality, 0), "FLV (360p)");  // 99 is no known format
  ASSERT_GE(window->cbPresets->currentIndex(), 0);
  EXPECT_EQ(Cell(colCodec, 0), window->cbPresets->currentText().toStdString());
  EXPECT_EQ(Jobs()[0]->Settings.PresetIndex, window->cbPresets->currentIndex());
  TEncItem* job = Jobs()[0];
  EXPECT_TRUE(job->IsLink);
  EXPECT_EQ(job->Mode, jmDownloadConvert);
  EXPECT_EQ(job->QualityIndex, 1);
  EXPECT_EQ(job->StreamUrl, sim.StreamUrl("abc", 1));

  // The information page first, then the watch page exactly as pasted.
  auto requests = sim.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Target, sim.InfoUrl("abc"));
  EXPECT_EQ(requests[1].Target, sim.WatchUrl("abc") + "&feature=related");

  // Nothing keeps the same link out twice.
  Paste(sim.WatchUrl("abc") + "&feature=related");
  Paste(sim.WatchUrl("def"));
  ExpectTitles({"First clip", "First clip", "Second clip"});
  EXPECT_NE(Jobs()[0], Jobs()[1]);
}

TEST_F(IntakeTest, TextWithoutTheSiteRootIsRefusedWithoutARequest) {
  for (const std::string& text : {std::string("hello"), std::string("ftp://h/a.mp4"),
                                  std::string("http://h/a page"), std::string()}) {
    boxes.clear();
    Paste(text);
    EXPECT_EQ(boxes, std::vector<std::string>{"Not valid link!"}) << text;
  }
  ExpectTitles({});
  EXPECT_TRUE(sim.Requests().empty());

  // Other web links (the site's https address too) are the extractor's: without it
  // one box says how to get it.
  cvOptions.YtDlpProgram = "/nonexistent/yt-dlp";
  for (const std::string& text : {std::string("https://www.youtube.com/watch?v=abc"),
                                  std::string("HTTP://WWW.YOUTUBE.COM/watch?v=abc")}) {
    boxes.clear();
    Paste(text);
    EXPECT_EQ(boxes, std::vector<std::string>{kYtDlpMissingText}) << text;
  }
  ExpectTitles({});

  // The root anywhere in the text passes the check; the whole text is the link.
  Paste("two links: " + sim.WatchUrl("abc") + "\n" + sim.WatchUrl("def"));
  EXPECT_NE(boxes.back(), "Not valid link!");
}

TEST_F(IntakeTest, UnresolvableLinksLeaveTheTableAsItWas) {
  Paste(sim.WatchUrl("abc"));
  ASSERT_EQ(Jobs().Count(), 1);

  int rowsDuringBox = -1;
  onBox = [&] { rowsDuringBox = Grid().RowCount(); };
  Paste(sim.WatchUrl("missing"));
  EXPECT_EQ(boxes, std::vector<std::string>{"Error Link!"});
  EXPECT_EQ(rowsDuringBox, 2);  // the row is shown until the box is answered
  ExpectTitles({"First clip"});

  sim.Stop();
  Paste(sim.WatchUrl("abc"));
  EXPECT_EQ(boxes, (std::vector<std::string>{"Error Link!", "Error Link!"}));
  ExpectTitles({"First clip"});
  EXPECT_EQ(Cell(colQuality, 0), "FLV (360p)");
}

TEST_F(IntakeTest, ClipboardPickupFollowsAutoPasteAndTheDownloader) {
  QClipboard* clipboard = QGuiApplication::clipboard();
  // The offscreen platform keeps an in-process clipboard that reports changes.
  int changes = 0;
  QObject::connect(clipboard, &QClipboard::dataChanged, window.get(), [&] { ++changes; });

  clipboard->setText(QString::fromStdString(sim.WatchUrl("abc")));
  ASSERT_EQ(changes, 1);
  EXPECT_EQ(Jobs().Count(), 0);  // AutoPaste off

  cvOptions.AutoPaste = true;
  bool busy = true;
  window->downloaderBusy_ = [&] { return busy; };
  clipboard->setText(QString::fromStdString(sim.WatchUrl("abc")));
  EXPECT_EQ(Jobs().Count(), 0);  // a download is running

  busy = false;
  clipboard->setText(QString::fromStdString(sim.WatchUrl("abc")));
  Settle();
  ExpectTitles({"First clip"});

  clipboard->setText("just some words");
  clipboard->setText(QString::fromStdString("https://www.youtube.com/watch?v=abc"));
  Settle();
  ExpectTitles({"First clip"});
  EXPECT_TRUE(boxes.empty());  // pickup never complains
}

TEST_F(IntakeTest, CopiedLinkWithALineEndBecomesAJob) {
  cvOptions.AutoPaste = true;
  const std::string copied = " " + sim.WatchUrl("abc") + "\r\n";
  QGuiApplication::clipboard()->setText(QString::fromStdString(copied));
  Settle();
  ExpectTitles({"First clip"});
  EXPECT_EQ(Jobs()[0]->Source, copied);  // the text as received
  auto requests = sim.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].Target, sim.InfoUrl("abc"));
  EXPECT_EQ(requests[1].Target, sim.WatchUrl("abc"));
}

// What keeps a link's row from waiting for ever is that its requests end.
TEST_F(IntakeTest, TricklingOrEndlessPagesEndInErrorLinkWithinTheLimits) {
  resolve::SetFetchTimeouts({60, 60, 1, 1 << 20});
  sitesim::TFault trickle;
  trickle.RateBytesPerSec = 40;  // the page would take half a minute
  sim.SetPageFault("abc", trickle);
  const auto started = std::chrono::steady_clock::now();
  Paste(sim.WatchUrl("abc"));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20));
  EXPECT_EQ(boxes, std::vector<std::string>{"Error Link!"});
  EXPECT_NE(Log().find(": Warning: The page did not arrive within 1 s\r"), std::string::npos);

  sitesim::TFault endless;
  endless.EndlessBody = true;
  sim.SetPageFault("def", endless);
  Paste(sim.WatchUrl("def"));
  EXPECT_EQ(boxes, (std::vector<std::string>{"Error Link!", "Error Link!"}));
  EXPECT_NE(Log().find(": Warning: The page is larger than 1048576 bytes\r"), std::string::npos);
  ExpectTitles({});
}

TEST_F(IntakeTest, ClipboardChangeDuringTheErrorBoxIsAddedAtOnce) {
  cvOptions.AutoPaste = true;
  int rowsDuringBox = -1;
  onBox = [&] {
    onBox = nullptr;
    // The box's own event loop delivers the change: its row comes beside the failed one.
    QGuiApplication::clipboard()->setText(QString::fromStdString(sim.WatchUrl("def")));
    rowsDuringBox = Grid().RowCount();
  };
  window->AddJob(sim.WatchUrl("missing"), true);
  Settle();
  EXPECT_EQ(rowsDuringBox, 2);
  EXPECT_EQ(boxes, std::vector<std::string>{"Error Link!"});
  ExpectTitles({"Second clip"});
}

TEST_F(IntakeTest, DroppedTextIsTakenUpToItsFirstZero) {
  QMimeData mime;
  mime.setText(QString::fromStdString(sim.WatchUrl("abc")) + QChar(0) + "tail");
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton,
                        Qt::NoModifier);
  QCoreApplication::sendEvent(window.get(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  EXPECT_EQ(enter.dropAction(), Qt::CopyAction);

  QDropEvent drop(QPointF(10, 10), Qt::CopyAction | Qt::MoveAction, &mime, Qt::LeftButton,
                  Qt::NoModifier);
  QCoreApplication::sendEvent(window.get(), &drop);
  Settle();
  ExpectTitles({"First clip"});
  EXPECT_EQ(Jobs()[0]->Source, sim.WatchUrl("abc"));

  QMimeData noText;
  noText.setData("application/octet-stream", "http://www.youtube.com/watch?v=abc");
  QDragEnterEvent enterBare(QPoint(10, 10), Qt::CopyAction, &noText, Qt::LeftButton,
                            Qt::NoModifier);
  QCoreApplication::sendEvent(window.get(), &enterBare);
  EXPECT_TRUE(enterBare.isAccepted());  // whatever the data offers
  QDropEvent bare(QPointF(10, 10), Qt::CopyAction, &noText, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(window.get(), &bare);
  ExpectTitles({"First clip"});
  EXPECT_NE(Log().find(": Error: The dropped data holds no text\r\n"), std::string::npos);
  EXPECT_TRUE(window->acceptDrops());
}

TEST_F(IntakeTest, AddFilesMakesConvertJobsInPickerOrder) {
  QString seenFilter, seenSelected;
  QStringList picked = {"/media/clip.mp4", "/media/CLIP.MP4", "/media/song.mp3", "/media/clip.m4v"};
  window->SetOpenFilesPicker([&](QWidget*, const QString& filter, QString* selected) {
    seenFilter = filter;
    seenSelected = *selected;
    return picked;
  });
  window->btnAddFiles->click();
  EXPECT_EQ(seenFilter,
            "All audio supported files (*.mp3 *.ogg *.wav *.wma *.m4a *.ac3 *.avi *.mp4 *.mov "
            "*.wmv *.flv *.mpg *.mpeg *.3gp *.3g2 *.m4v);;All video supported files (*.avi *.mp4 "
            "*.mov *.wmv *.flv *.mpg *.mpeg *.3gp *.3g2 *.m4v)");
  EXPECT_EQ(seenSelected, seenFilter.section(";;", 0, 0));

  ExpectTitles({"/media/clip.mp4", "/media/CLIP.MP4", "/media/song.mp3", "/media/clip.m4v"});
  const bool videos[] = {true, false, false, true};
  for (int i = 0; i < 4; ++i) {
    TEncItem* job = Jobs()[i];
    EXPECT_EQ(job->IsVideo, videos[i]) << job->Source;
    EXPECT_FALSE(job->IsLink);
    EXPECT_EQ(job->MediaFile, job->Source);
    EXPECT_EQ(Cell(colTime, i), "00:00:00");
    EXPECT_EQ(Cell(colState, i), "Wait...");
    EXPECT_EQ(Cell(colMode, i), "Convert Only");
    EXPECT_EQ(Cell(colQuality, i), "");
  }
  EXPECT_TRUE(sim.Requests().empty());

  picked.clear();  // cancelled
  window->btnAddFiles->click();
  EXPECT_EQ(Jobs().Count(), 4);
}

TEST_F(IntakeTest, RemoveTakesSelectedRowsAndStopsTheirDownloads) {
  QStringList files = {"/m/a.mp3", "/m/b.mp3", "/m/c.mp3", "/m/d.mp3", "/m/e.mp3"};
  window->SetOpenFilesPicker([&](QWidget*, const QString&, QString*) { return files; });
  window->btnAddFiles->click();
  ASSERT_EQ(Jobs().Count(), 5);

  auto* fakeItem = reinterpret_cast<TclDownLoadItem*>(0x1000);
  Jobs()[3]->DownloadItem = fakeItem;
  std::vector<TclDownLoadItem*> stopped;
  window->stopDownload_ = [&](TclDownLoadItem* item) { stopped.push_back(item); };

  TJobGridWidget* grid = window->ngListItems;
  grid->clearSelection();
  for (int row : {1, 3})
    grid->selectionModel()->select(grid->model()->index(row, 0),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
  window->btnRemove->click();

  ExpectTitles({"/m/a.mp3", "/m/c.mp3", "/m/e.mp3"});
  EXPECT_EQ(stopped, std::vector<TclDownLoadItem*>{fakeItem});
  EXPECT_EQ(Grid().SelectedRows(), std::vector<int>{2});

  grid->clearSelection();
  window->btnRemove->click();  // nothing selected: nothing happens
  EXPECT_EQ(Jobs().Count(), 3);
}

TEST_F(IntakeTest, DirectMediaLinksBecomeJobsWithoutARequest) {
  Paste("https://example.org/talks/Key%20note.MP4?session=7\r\n");
  EXPECT_TRUE(boxes.empty());
  ExpectTitles({"Key note"});
  EXPECT_EQ(Cell(colTime, 0), "00:00:00");
  EXPECT_EQ(Cell(colMode, 0), "Download&Convert");
  EXPECT_EQ(Cell(colQuality, 0), "MP4");
  EXPECT_EQ(Cell(colCodec, 0), window->cbPresets->currentText().toStdString());
  EXPECT_TRUE(Jobs()[0]->IsLink);
  EXPECT_EQ(Jobs()[0]->StreamUrl, "https://example.org/talks/Key%20note.MP4?session=7");
  EXPECT_TRUE(sim.Requests().empty());

  // Picked up from the clipboard like a site link; other addresses are still refused.
  cvOptions.AutoPaste = true;
  QGuiApplication::clipboard()->setText("http://files.lan/a/song.flac");
  Settle();
  ExpectTitles({"Key note", "song"});
  QGuiApplication::clipboard()->setText("http://files.lan/a/page.html");
  Paste("read http://files.lan/a/song.flac");
  EXPECT_EQ(boxes, std::vector<std::string>{"Not valid link!"});
  ExpectTitles({"Key note", "song"});
}

TEST_F(IntakeTest, ListsOfLinksMakeOneJobPerLineInOrder) {
  auto settle = [&](int count) {
    return testsupport::WaitFor([&] {
      QCoreApplication::processEvents();
      return Jobs().Count() == count;
    });
  };
  Paste(sim.WatchUrl("abc") + "\r\n" + sim.WatchUrl("def") + "\r\n\r\n" + sim.WatchUrl("abc"));
  ASSERT_TRUE(settle(3));
  ExpectTitles({"First clip", "Second clip", "First clip"});

  QMimeData mime;
  mime.setText("http://h/one.mp3\n" + QString::fromStdString(sim.WatchUrl("def")) +
               "\nhttp://h/two.mkv\n");
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(window.get(), &enter);
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QCoreApplication::sendEvent(window.get(), &drop);
  Settle();  // rows come at once; their titles once the links are read
  ASSERT_TRUE(settle(6));
  ExpectTitles({"First clip", "Second clip", "First clip", "one", "Second clip", "two"});
  EXPECT_TRUE(boxes.empty());

  // One line that is no link: the whole text is one link, as ever.
  sim.ClearRequests();
  Paste("http://h/one.mp3\nnot a link\n" + sim.WatchUrl("abc"));
  EXPECT_EQ(boxes, std::vector<std::string>{"Error Link!"});
  EXPECT_EQ(sim.Requests().size(), 2u);
  Paste("http://h/one.mp3\nnot a link\nhttp://h/two.mp3");
  EXPECT_EQ(boxes, (std::vector<std::string>{"Error Link!", "Not valid link!"}));
  QCoreApplication::processEvents();
  EXPECT_EQ(Jobs().Count(), 6);
}
