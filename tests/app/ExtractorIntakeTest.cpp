// Links of other sites through the window: read by the extractor (the stand-in
// program tests/resolve/ytdlp/yt-dlp) on the runner's threads, never on the
// GUI thread; what the user is told when it cannot read them.
#include <gtest/gtest.h>

#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <signal.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "app/JobGridWidget.h"
#include "jobs/JobRunner.h"
#include "jobs/ResolveService.h"
#include "resolve/YtDlpRun.h"
#include "tests/app/WindowTest.h"

namespace {

const std::string kStandIn = std::string(YTDLP_STANDIN_DIR) + "/yt-dlp";

class ExtractorIntakeTest : public TWindowTest {
 protected:
  void SetUp() override {
    TWindowTest::SetUp();
    cvOptions.YtDlpProgram = kStandIn;
    SetMessageBoxHook([this](const QString& text, const QString&) {
      boxes.push_back(text.toStdString());
      return int(QMessageBox::Ok);
    });
  }
  void TearDown() override {
    unsetenv("YTDLP_STANDIN_RUNS");
    unsetenv("YTDLP_STANDIN_PID");
    unsetenv("YTDLP_STANDIN_WHOLE_HANGS");
    TWindowTest::TearDown();
  }
  void Settle() { ASSERT_TRUE(QTest::qWaitFor([&] { return window->IntakeIdle(); }, 90000)); }
  void Paste(const std::string& text) {
    QGuiApplication::clipboard()->setText(QString::fromStdString(text));
    window->btnPaste->click();
    Settle();
  }
  void PickPreset(const char* name) {
    const int index = window->cbPresets->findText(name);
    ASSERT_GE(index, 0) << name;
    window->cbPresets->setCurrentIndex(index);
  }
  TJobList& Jobs() { return window->Jobs(); }
  std::string Quality(int row) { return Cell(colQuality, row); }

  std::vector<std::string> boxes;
};

TEST_F(ExtractorIntakeTest, FailuresTellTheExtractorsReasonAndAMissingProgramOncePerPaste) {
  Paste("http://clips.example.test/v/error");
  EXPECT_EQ(boxes, std::vector<std::string>{"Error Link!\nUnable to download webpage: HTTP Error "
                                            "404: Not Found (caused by <HTTPError 404>)"});
  boxes.clear();
  Paste("http://clips.example.test/v/old");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].rfind("Error Link!\nThe installed yt-dlp is too old", 0), 0u) << boxes[0];
  EXPECT_EQ(Jobs().Count(), 0);

  // Three links that all need the missing program: one box, which says how to get it.
  boxes.clear();
  cvOptions.YtDlpProgram = "/nonexistent/yt-dlp";
  Paste("http://a.example.test/1\nhttp://b.example.test/2\nhttp://c.example.test/3");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_NE(boxes[0].find("3 of 3"), std::string::npos) << boxes[0];
  EXPECT_NE(boxes[0].find(kYtDlpMissingText), std::string::npos) << boxes[0];
  EXPECT_EQ(Jobs().Count(), 0);
}

// Seven links of other sites pasted at once: one job each in list order, at most
// four runs of the extractor at a time.
TEST_F(ExtractorIntakeTest, AListIsReadFourAtATimeInOrderAndThePresetPicksTheStream) {
  const std::string runs = dir / "runs";
  std::filesystem::create_directory(runs);
  setenv("YTDLP_STANDIN_RUNS", runs.c_str(), 1);
  std::string list;
  std::vector<std::string> links;
  for (int i = 1; i <= 7; ++i) {
    links.push_back("http://h" + std::to_string(i) + ".example.test/slow/" + std::to_string(i));
    list += links.back() + "\r\n";
  }
  QGuiApplication::clipboard()->setText(QString::fromStdString(list));
  window->btnPaste->click();
  Settle();
  EXPECT_TRUE(boxes.empty()) << boxes.front();
  ASSERT_EQ(Jobs().Count(), 7);
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(Jobs()[i]->Source, links[static_cast<size_t>(i)]);
    EXPECT_EQ(Cell(colFileName, i), "Harbour at Dawn \u2014 Timelapse");
    EXPECT_EQ(Jobs()[i]->Resolver, "yt-dlp");
    EXPECT_EQ(Jobs()[i]->WebpageUrl, "https://video.example.test/watch/clip-7");
    // The first preset makes audio only: the best audio-only stream, no video bytes.
    EXPECT_EQ(Quality(i), "WebM audio 135k");
    EXPECT_FALSE(Jobs()[i]->IsVideo);
  }
  std::ifstream counts(runs + "/counts");
  int seen = 0, most = 0;
  for (int n; counts >> n; ++seen) most = std::max(most, n);
  EXPECT_EQ(seen, 7);
  EXPECT_GE(most, 1);
  EXPECT_LE(most, 4);

  // A video preset: the best video with sound at or below 1080p, here a pair of a
  // video-only stream and the audio of its family.
  PickPreset("MP4 (H.264 + AAC)");
  Paste("http://h8.example.test/slow/8");
  ASSERT_EQ(Jobs().Count(), 8);
  EXPECT_EQ(Quality(7), "MP4 1080p (video + audio)");
  EXPECT_TRUE(Jobs()[7]->IsVideo);
}

// A site link whose page has no stream map, and the site's https link, go to the
// extractor; Auto paste takes other sites' links only when asked to.
TEST_F(ExtractorIntakeTest, SiteLinksWithoutStreamMapAndAutoPasteOfOtherSites) {
  Paste(sim.WatchUrl("missing"));
  Paste("https://www.youtube.com/watch?v=abc");
  EXPECT_TRUE(boxes.empty()) << boxes.front();
  ASSERT_EQ(Jobs().Count(), 2);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(Jobs()[i]->Resolver, "yt-dlp");
    EXPECT_EQ(Cell(colFileName, i), "Harbour at Dawn \u2014 Timelapse");
  }

  cvOptions.AutoPaste = true;
  QGuiApplication::clipboard()->setText("http://copied.example.test/v/1");
  Settle();
  EXPECT_EQ(Jobs().Count(), 2);
  cvOptions.AutoPasteOtherSites = true;
  QGuiApplication::clipboard()->setText("http://copied.example.test/v/2");
  Settle();
  ASSERT_EQ(Jobs().Count(), 3);
  EXPECT_EQ(Jobs()[2]->Source, "http://copied.example.test/v/2");
  EXPECT_TRUE(boxes.empty()) << boxes.front();
}

// yt-dlp never runs on the GUI thread: a link it hangs on leaves its row reading
// once the paste returns, and Remove ends the program and its thread.
TEST_F(ExtractorIntakeTest, AHangingExtractorLeavesTheRowReadingAndRemoveEndsIt) {
  const std::string pidFile = dir / "standin.pid";
  setenv("YTDLP_STANDIN_PID", pidFile.c_str(), 1);
  QGuiApplication::clipboard()->setText("http://slow.example.test/v/hang");
  window->btnPaste->click();
  ASSERT_EQ(Jobs().Count(), 1);
  EXPECT_EQ(Cell(colState, 0), "Reading link...");
  pid_t pid = 0;
  ASSERT_TRUE(QTest::qWaitFor([&] { return bool(std::ifstream(pidFile) >> pid); }, 30000));
  window->Grid().SelectRow(0);
  window->btnRemove->click();
  EXPECT_EQ(Jobs().Count(), 0);
  // Killed and reaped; no thread left waiting for it.
  EXPECT_TRUE(QTest::qWaitFor([&] { return ::kill(pid, 0) != 0; }, 30000));
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return window->clDownLoader.runner_->Resolver().LiveThreads() == 0; }, 30000));
  Settle();
  EXPECT_TRUE(boxes.empty()) << boxes.front();
}

// Sixty entries: asked once; "First 50" makes fifty rows at once, in the
// playlist's order, each read on its own into a ready job with its own link.
TEST_F(ExtractorIntakeTest, ALongPlaylistAsksFirstAndFirstFiftyBecomeReadyInOrder) {
  std::vector<std::string> asked;
  SetChoiceBoxHook([&](const QString& text, const QStringList& buttons) {
    asked.push_back(text.toStdString() + " " + buttons.join("/").toStdString());
    return 1;
  });
  Paste("http://lists.example.test/playlist/60");
  EXPECT_EQ(asked, std::vector<std::string>{"Add all 60 videos? Yes/First 50/Cancel"});
  EXPECT_TRUE(boxes.empty()) << boxes.front();
  ASSERT_EQ(Jobs().Count(), 50);
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(Jobs()[i]->Source, "http://lists.example.test/entry-" + std::to_string(i + 1));
    EXPECT_EQ(Jobs()[i]->State, jsNew) << i;
    EXPECT_EQ(Jobs()[i]->Resolver, "yt-dlp");
  }
  // Cancel leaves nothing of the playlist; a short one is not asked about.
  asked.clear();
  SetChoiceBoxHook([&](const QString& text, const QStringList&) {
    asked.push_back(text.toStdString());
    return 2;
  });
  Paste("http://lists.example.test/playlist/51");
  EXPECT_EQ(asked, std::vector<std::string>{"Add all 51 videos?"});
  Paste("http://lists.example.test/playlist/2");
  EXPECT_EQ(asked.size(), 1u);
  ASSERT_EQ(Jobs().Count(), 52);
  EXPECT_EQ(Jobs()[51]->Source, "http://lists.example.test/entry-2");
  EXPECT_TRUE(boxes.empty()) << boxes.front();
}

// A partial answer keeps the entries it could list; one box counts the rest.
// A video link with a list= beside it is one video until the job menu adds the list.
TEST_F(ExtractorIntakeTest, PartialPlaylistKeepsTheGoodEntriesAndTheMenuAddsAWholeList) {
  Paste("http://p.example.test/partial");
  EXPECT_EQ(boxes, std::vector<std::string>{"2 of 4 videos could not be read."});
  ASSERT_EQ(Jobs().Count(), 2);
  EXPECT_EQ(Jobs()[0]->Source, "http://p.example.test/one");
  EXPECT_EQ(Jobs()[1]->Source, "http://p.example.test/three");

  const std::string both = "http://v.example.test/watch?v=1&list=PL7";
  Paste(both);
  ASSERT_EQ(Jobs().Count(), 3);
  EXPECT_EQ(Jobs()[2]->Source, both);
  window->Grid().SelectRow(0);
  ASSERT_TRUE(window->PreparePopupMenu2());
  EXPECT_FALSE(window->AddPlaylist1->isEnabled());
  window->Grid().SelectRow(2);
  ASSERT_TRUE(window->PreparePopupMenu2());
  ASSERT_TRUE(window->AddPlaylist1->isEnabled());
  window->AddPlaylist1->trigger();
  Settle();
  ASSERT_EQ(Jobs().Count(), 6);
  EXPECT_EQ(Jobs()[2]->Source, both);  // the video's own job stays
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Jobs()[3 + i]->Source, "http://lists.example.test/entry-" + std::to_string(i + 1));
    EXPECT_EQ(Jobs()[3 + i]->State, jsNew);
  }
  EXPECT_EQ(boxes.size(), 1u);

  // A listing naming itself does not loop; a playlist in it is read as one.
  boxes.clear();
  Paste("http://p.example.test/loop");
  EXPECT_EQ(boxes, std::vector<std::string>{"1 of 2 videos could not be read."});
  ASSERT_EQ(Jobs().Count(), 8);
  EXPECT_EQ(Jobs()[7]->Source, "http://lists.example.test/entry-2");
}

// Entries being read show the playlist's progress; Remove ends their readings
// (the programs killed, no thread left) and nothing is told.
TEST_F(ExtractorIntakeTest, RemovingEntriesBeingReadCancelsThem) {
  QGuiApplication::clipboard()->setText("http://slow.example.test/hanglist/3");
  window->btnPaste->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Jobs().Count() == 3; }, 30000));
  EXPECT_EQ(Cell(colFileName, 0), "Entry 1");
  EXPECT_EQ(Cell(colState, 2), "Reading link...");
  EXPECT_EQ(Jobs()[1]->Source, "http://slow.example.test/entry-2/hang");
  EXPECT_EQ(window->StatusPanels[0]->text().toStdString().rfind("reading 0 of 3", 0), 0u)
      << window->StatusPanels[0]->text().toStdString();
  window->ngListItems->selectAll();
  window->btnRemove->click();
  EXPECT_EQ(Jobs().Count(), 0);
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return window->clDownLoader.runner_->Resolver().LiveThreads() == 0; }, 30000));
  Settle();
  EXPECT_TRUE(boxes.empty()) << boxes.front();
  EXPECT_TRUE(window->StatusPanels[0]->text().isEmpty())
      << window->StatusPanels[0]->text().toStdString();
}

// Entries not yet read are journalled as reading rows with their own link and
// title, and read again at the next start.
TEST_F(ExtractorIntakeTest, EntriesNotYetReadComeBackReadingAfterARestart) {
  QGuiApplication::clipboard()->setText("http://slow.example.test/hanglist/2");
  window->btnPaste->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return Jobs().Count() == 2; }, 30000));
  window->close();
  window.reset();
  window = std::make_unique<TfmMain>();
  window->SetEndProcess([this] { ++ended; });
  window->FormCreate();
  ASSERT_EQ(Jobs().Count(), 2);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(Jobs()[i]->Source, "http://slow.example.test/entry-" + std::to_string(i + 1) + "/hang");
    EXPECT_EQ(Cell(colFileName, i), "Entry " + std::to_string(i + 1));
    EXPECT_EQ(Cell(colState, i), "Reading link...");
  }
  EXPECT_EQ(window->ReadingLinks(), 2);
  window->ngListItems->selectAll();
  window->btnRemove->click();
  Settle();
  EXPECT_TRUE(boxes.empty()) << boxes.front();

  // A whole playlist asked for and not listed yet is asked for again.
  const std::string both = "http://v.example.test/watch?v=1&list=PL7";
  Paste(both);
  setenv("YTDLP_STANDIN_WHOLE_HANGS", "1", 1);
  window->Grid().SelectRow(0);
  ASSERT_TRUE(window->PreparePopupMenu2());
  window->AddPlaylist1->trigger();
  ASSERT_EQ(Jobs().Count(), 2);
  window->close();
  window.reset();
  unsetenv("YTDLP_STANDIN_WHOLE_HANGS");
  window = std::make_unique<TfmMain>();
  window->SetEndProcess([this] { ++ended; });
  window->FormCreate();
  Settle();
  ASSERT_EQ(Jobs().Count(), 4);
  EXPECT_EQ(Jobs()[0]->Source, both);
  EXPECT_EQ(Jobs()[1]->Source, "http://lists.example.test/entry-1");
  EXPECT_EQ(Jobs()[3]->State, jsNew);
  EXPECT_TRUE(boxes.empty()) << boxes.front();
}

}  // namespace
