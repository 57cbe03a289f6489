// Download&Convert through the window: the simulator serves a real clip as the
// stream, the sandbox holds the real cvtcore, and ffmpeg does the work.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <QClipboard>
#include <QComboBox>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "app/JobGridWidget.h"
#include "app/MainWindow.h"
#include "app/MessageBox.h"
#include "download/clHttpRange.h"
#include "jobs/Conversion.h"
#include "platform/ExeFolder.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "settings/Settings.h"
#include "tests/app/WindowTest.h"
#include "tests/convert/ConvertTestSupport.h"
#include "tests/support/TestSupport.h"
#include "tools/sitesim/SiteSim.h"

namespace {

using testsupport::ReadAll;

// What one row showed, each time it changed.
struct TSeen {
  std::string state;
  double progress;
  bool operator==(const TSeen&) const = default;
};

class ConversionWindowTest : public TWindowTest {
 protected:
  // One clip for the suite: long enough (in play time, not bytes) for several
  // progress reports, cheap to make: 1 frame per second, a mono 44100 Hz tone.
  static void SetUpTestSuite() {
    if (platform::FindOnPath("ffmpeg").empty()) return;
    clipDir_ = new testsupport::TempDir;
    clip_ = *clipDir_ / "clip.mp4";
    converttest::MakeClip(
        clip_, {"-f", "lavfi", "-i", "testsrc=duration=120:size=160x120:rate=1", "-f", "lavfi",
                "-i", "sine=frequency=440:sample_rate=44100:duration=120", "-shortest", "-c:v",
                "libx264", "-preset", "ultrafast", "-c:a", "aac", "-b:a", "32k"});
  }
  static void TearDownTestSuite() {
    delete clipDir_;
    clipDir_ = nullptr;
  }

  void SetUp() override {
    if (!clipDir_ || platform::FileSize(clip_) <= 0) GTEST_SKIP() << "ffmpeg made no clip";
    OpenWindow({"presets.ini", "cvtcore"});
    sitesim::TVideo v;
    v.Id = "clip";
    v.Title = "Tone clip";
    sitesim::TStream s;
    s.Itag = 18;
    s.File = clip_;
    v.Streams.push_back(s);
    sim.AddVideo(v);
  }

  void TearDown() override {
    TWindowTest::TearDown();
    if (!path_.empty()) setenv("PATH", path_.c_str(), 1);
  }

  // The encoder reads its input no faster than `times` real time, whatever the
  // machine's speed: an ffmpeg first on PATH that runs the real one so.
  void PaceEncoderInput(int times) {
    const std::string stubs = dir / "stubs", ffmpeg = platform::FindOnPath("ffmpeg");
    std::filesystem::create_directory(stubs);
    {
      std::ofstream stub(stubs + "/ffmpeg");
      stub << "#!/bin/sh\nexec '" << ffmpeg << "' -readrate " << times << " \"$@\"\n";
    }
    std::filesystem::permissions(stubs + "/ffmpeg", std::filesystem::perms::owner_all);
    path_ = getenv("PATH") ? getenv("PATH") : "";
    setenv("PATH", (stubs + ":" + path_).c_str(), 1);
  }

  std::string Cell(int col) { return TWindowTest::Cell(col, 0); }
  TEncItem* Job() { return window->Jobs()[0]; }

  // Picks in the panel as the user would, then pastes the link and starts.
  void PasteAndStart() {
    for (auto [list, text] :
         {std::pair{window->cbFrequency, "48000"}, std::pair{window->cbChanels, "2"},
          std::pair{window->cbAbitRate, "192"}}) {
      const int index = list->findText(text);
      ASSERT_GE(index, 0) << text;
      list->setCurrentIndex(index);
      emit list->activated(index);
    }
    QGuiApplication::clipboard()->setText(QString::fromStdString(sim.WatchUrl("clip")));
    window->btnPaste->click();
    // The link is read off the GUI thread.
    ASSERT_TRUE(QTest::qWaitFor([&] { return window->IntakeIdle(); }, 90000));
    ASSERT_EQ(window->Jobs().Count(), 1);
    ASSERT_EQ(Cell(colMode), "Download&Convert");
    window->btnDownload->click();
  }
  // Waits for pred, noting every change of the row on the way.
  // The encoder runs at a lower priority: on a busy machine it gets little time.
  bool Watch(const std::function<bool()>& pred, int ms = 120000) {
    return QTest::qWaitFor(
        [&] {
          TSeen now{Cell(colState), window->Grid().Progress(0)};
          if (seen.empty() || !(seen.back() == now)) seen.push_back(now);
          if (now.state == "Encoding..." && !Cell(colSpeed).empty())
            encoderSpeeds.push_back(Cell(colSpeed));
          return pred();
        },
        ms);
  }

  static testsupport::TempDir* clipDir_;
  static std::string clip_;
  std::vector<TSeen> seen;
  std::vector<std::string> encoderSpeeds;  // Speed cells seen while encoding
  std::string path_;                       // PATH before PaceEncoderInput
};

testsupport::TempDir* ConversionWindowTest::clipDir_ = nullptr;
std::string ConversionWindowTest::clip_;

}  // namespace

TEST_F(ConversionWindowTest, DownloadConvertGivesTheChosenMp3AndOnlyItRemains) {
  cvOptions.DeleteVideo = true;
  // Six seconds of encoding at least: several progress reports and speed samples.
  PaceEncoderInput(20);
  PasteAndStart();
  ASSERT_TRUE(Watch([&] {
    return Cell(colState) != "Downloading..." && Cell(colState) != "Encoding...";
  })) << Cell(colState);
  ASSERT_EQ(Cell(colState), "Successfully!") << Job()->Notes;
  EXPECT_EQ(Cell(colMode), "Skip");
  EXPECT_EQ(window->Grid().Progress(0), 100);

  // "Downloading...", then "Encoding..." from 0 with a percentage that rises, then the end.
  std::vector<double> encoding;
  std::string order, shown;
  for (const TSeen& s : seen) {
    if (order.empty() || order.back() != s.state[0]) order += s.state[0];
    if (s.state != "Encoding...") continue;
    encoding.push_back(s.progress);
    shown += std::to_string(static_cast<int>(s.progress)) + " ";
  }
  RecordProperty("EncodingProgress", shown);
  EXPECT_EQ(order, "DES");
  ASSERT_GE(encoding.size(), 2u) << shown;
  EXPECT_EQ(encoding.front(), 0) << shown;
  EXPECT_TRUE(std::is_sorted(encoding.begin(), encoding.end())) << shown;
  EXPECT_LT(encoding.front(), encoding.back()) << shown;
  // The encoder's speed as a multiple of real time, then nothing once it ended.
  ASSERT_FALSE(encoderSpeeds.empty());
  EXPECT_EQ(encoderSpeeds.back().back(), 'x') << encoderSpeeds.back();
  EXPECT_TRUE(
      QTest::qWaitFor([&] { return Cell(colSpeed).empty() && Cell(colTimeLeft).empty(); }, 20000));
  EXPECT_EQ(seen.back(), (TSeen{"Successfully!", 100}));

  // The MP3 plays with the panel's values, and the downloaded video is gone.
  const std::string mp3 = Job()->OutputFile;
  std::vector<std::string> files;
  for (auto& e : std::filesystem::directory_iterator(out())) files.push_back(e.path().string());
  EXPECT_EQ(files, std::vector<std::string>{mp3});
  EXPECT_EQ(platform::ExtractFileExt(mp3), ".mp3");
  auto p = converttest::Probe(mp3, "a:0");
  EXPECT_EQ(p["codec_name"], "mp3");
  EXPECT_EQ(p["sample_rate"], "48000");
  EXPECT_EQ(p["channels"], "2");
  EXPECT_EQ(p["bit_rate"], "192000");
  std::string decoded;
  EXPECT_EQ(
      converttest::Tool(
          {"ffmpeg", "-v", "error", "-nostdin", "-i", "file:" + mp3, "-f", "null", "-"}, &decoded),
      0)
      << decoded;
  EXPECT_EQ(decoded, "");
}

TEST_F(ConversionWindowTest, ContinueDownloadGoesOnInTheStoppedFileAndConverts) {
  const int64_t size = platform::FileSize(clip_);
  sim.SetStreamRate("clip", 0, std::max<int64_t>(size / 10, 1000));
  PasteAndStart();
  ASSERT_TRUE(Watch([&] { return window->Grid().Progress(0) > 20; }));
  window->btnStop->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->btnDownload->isEnabled(); }, 30000));
  ASSERT_EQ(Cell(colState), "Stopped");
  ASSERT_EQ(Cell(colMode), "Skip");
  const std::string media = Job()->MediaFile;
  std::multiset<std::pair<int64_t, int64_t>> missing, asked;
  for (const TSegmentState& s : Job()->Resume.Segments)
    if (s.Done < s.Size) missing.insert({s.Pos + s.Done, s.Pos + s.Size - 1});
  ASSERT_FALSE(missing.empty());

  sim.SetStreamRate("clip", 0, 0);
  sim.ClearRequests();
  window->Grid().SelectRow(0);
  ASSERT_TRUE(window->PreparePopupMenu2());
  ASSERT_TRUE(window->ContinueDownload1->isEnabled());
  window->ContinueDownload1->trigger();
  EXPECT_EQ(Cell(colMode), "Download&Convert");
  ASSERT_TRUE(Watch([&] {
    return Cell(colState) != "Downloading..." && Cell(colState) != "Encoding...";
  })) << Cell(colState);
  ASSERT_EQ(Cell(colState), "Successfully!") << Job()->Notes;
  EXPECT_EQ(Job()->Notes, "");

  // One download file, continued where each segment stopped, and its conversion.
  EXPECT_EQ(Job()->MediaFile, media);
  EXPECT_TRUE(ReadAll(media) == ReadAll(clip_));
  for (const auto& r : sim.Requests()) {
    if (r.Method != "GET" || r.Target != sim.StreamUrl("clip", 0)) continue;
    const auto ask = httprange::ParseRangeHeader(r.Header("Range"));
    asked.insert({ask ? ask->first : 0, ask && ask->last ? *ask->last : -1});
  }
  missing.insert({0, -1});  // the probe's, which only learns whether the server seeks
  EXPECT_EQ(asked, missing);
  std::set<std::string> files;
  for (auto& e : std::filesystem::directory_iterator(out())) files.insert(e.path().string());
  EXPECT_EQ(files, (std::set<std::string>{media, Job()->OutputFile}));
}

TEST_F(ConversionWindowTest, StopDuringTheConversionEndsTheEncoderAndTheJobStaysStopped) {
  PasteAndStart();
  pid_t encoder = -1, ffmpeg = -1;
  ASSERT_TRUE(Watch([&] {
    TConvertThread* w = Job()->State == jsEncoding ? JobConversionWorker(*Job()) : nullptr;
    encoder = w ? w->EncoderPid() : -1;
    return encoder > 0 && converttest::FirstChild(encoder, ffmpeg);
  }));

  window->btnStop->click();
  EXPECT_EQ(Cell(colState), "Stopped");
  const TSeen stopped{Cell(colState), window->Grid().Progress(0)};
  const std::string mode = Cell(colMode), notes = Job()->Notes;
  EXPECT_TRUE(QTest::qWaitFor(
      [&] { return converttest::ProcessGone(encoder) && converttest::ProcessGone(ffmpeg); }, 20000));
  ASSERT_TRUE(QTest::qWaitFor([] { return PendingRetiredConversions() == 0; }, 30000));
  QTest::qWait(100);  // whatever the ended worker could still have queued has run
  EXPECT_EQ((TSeen{Cell(colState), window->Grid().Progress(0)}), stopped);
  EXPECT_EQ(Cell(colMode), mode);
  EXPECT_EQ(Job()->Notes, notes);
  EXPECT_EQ(Job()->State, jsStopped);
  EXPECT_TRUE(QTest::qWaitFor([&] { return window->btnDownload->isEnabled(); }, 20000));
}

TEST_F(ConversionWindowTest, DirectLinkConvertsAndShowsTheRunningTimeOfItsFile) {
  sitesim::TStream file;
  file.File = clip_;
  sim.AddFile("talks.example.org", "/2024/Tone%20talk.mp4", file);
  QGuiApplication::clipboard()->setText(
      QString::fromStdString(sim.FileUrl("talks.example.org", "/2024/Tone%20talk.mp4")));
  window->btnPaste->click();
  // The link is read off the GUI thread.
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->IntakeIdle(); }, 90000));
  ASSERT_EQ(window->Jobs().Count(), 1);
  EXPECT_EQ(Cell(colFileName), "Tone talk");
  EXPECT_EQ(Cell(colTime), "00:00:00");
  window->btnDownload->click();
  ASSERT_TRUE(Watch([&] {
    return Cell(colState) != "Downloading..." && Cell(colState) != "Encoding...";
  })) << Cell(colState);
  ASSERT_EQ(Cell(colState), "Successfully!") << Job()->Notes;
  EXPECT_TRUE(Watch([&] { return Cell(colTime) == "00:02:00"; }, 30000)) << Cell(colTime);
  EXPECT_EQ(Job()->DurationSec, 120);
  EXPECT_EQ(converttest::Probe(Job()->OutputFile, "a:0")["codec_name"], "mp3");
}

// A page of another site, read by the real extractor (its generic reader) through
// the simulator as proxy; our engine fetches the clip with the page's headers.
TEST_F(ConversionWindowTest, PageOfAnotherSiteBecomesAnMp3WithThePageTitle) {
  if (platform::FindOnPath("yt-dlp").empty()) GTEST_SKIP() << "yt-dlp is not installed";
  sitesim::TStream page;
  page.Data =
      "<html><head><title>Harbour Tone</title></head><body>"
      "<video src=\"/media/tone.mp4\" controls></video></body></html>";
  page.ContentType = "text/html";
  sim.AddFile("clips.example.net", "/watch/tone", page);
  sitesim::TStream file;
  file.File = clip_;
  sim.AddFile("clips.example.net", "/media/tone.mp4", file);
  const std::string link = sim.FileUrl("clips.example.net", "/watch/tone");
  std::vector<std::string> boxes;
  SetMessageBoxHook([&](const QString& text, const QString&) {
    boxes.push_back(text.toStdString());
    return int(QMessageBox::Ok);
  });
  QGuiApplication::clipboard()->setText(QString::fromStdString(link));
  window->btnPaste->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->IntakeIdle(); }, 90000));
  ASSERT_EQ(window->Jobs().Count(), 1) << (boxes.empty() ? "" : boxes.back());
  EXPECT_EQ(Job()->Resolver, "yt-dlp");
  EXPECT_EQ(Job()->WebpageUrl, link);
  EXPECT_EQ(Cell(colQuality), "MP4");
  window->btnDownload->click();
  ASSERT_TRUE(Watch([&] {
    return Cell(colState) != "Downloading..." && Cell(colState) != "Encoding...";
  })) << Cell(colState);
  ASSERT_EQ(Cell(colState), "Successfully!") << Job()->Notes;
  EXPECT_EQ(converttest::Probe(Job()->OutputFile, "a:0")["codec_name"], "mp3");
  EXPECT_TRUE(Watch([&] { return Job()->DurationSec == 120; }, 30000)) << Job()->DurationSec;
  EXPECT_EQ(converttest::Tags(Job()->OutputFile)["title"].rfind("Harbour Tone", 0), 0u)
      << converttest::Tags(Job()->OutputFile)["title"];
  // The clip's requests carried the extractor's headers (the page as Referer).
  size_t clipRequests = 0;
  for (const auto& r : sim.Requests()) {
    if (r.Target.find("/media/tone.mp4") == std::string::npos) continue;
    ++clipRequests;
    EXPECT_EQ(r.Header("Referer"), link) << r.Method;
  }
  EXPECT_GT(clipRequests, 0u);
}

// A page of two clips: yt-dlp lists them, each becomes a job of its own in page
// order with the listing's title, and both convert.
TEST_F(ConversionWindowTest, PageOfTwoClipsBecomesTwoJobsThatConvert) {
  if (platform::FindOnPath("yt-dlp").empty()) GTEST_SKIP() << "yt-dlp is not installed";
  sitesim::TStream page;
  page.Data =
      "<html><head><title>Harbour Pair</title></head><body>"
      "<video src=\"/media/first.mp4\"></video><video src=\"/media/second.mp4\"></video>"
      "</body></html>";
  page.ContentType = "text/html";
  sim.AddFile("pair.example.net", "/watch/pair", page);
  sitesim::TStream file;
  file.File = clip_;
  sim.AddFile("pair.example.net", "/media/first.mp4", file);
  sim.AddFile("pair.example.net", "/media/second.mp4", file);
  std::vector<std::string> boxes;
  SetMessageBoxHook([&](const QString& text, const QString&) {
    boxes.push_back(text.toStdString());
    return int(QMessageBox::Ok);
  });
  QGuiApplication::clipboard()->setText(
      QString::fromStdString(sim.FileUrl("pair.example.net", "/watch/pair")));
  window->btnPaste->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->IntakeIdle(); }, 90000));
  ASSERT_EQ(window->Jobs().Count(), 2) << (boxes.empty() ? "" : boxes.back());
  const char* const media[] = {"/media/first.mp4", "/media/second.mp4"};
  for (int i = 0; i < 2; ++i) {
    TEncItem* job = window->Jobs()[i];
    EXPECT_EQ(job->Source, sim.FileUrl("pair.example.net", media[i]));
    EXPECT_EQ(job->Title.rfind("Harbour Pair", 0), 0u) << job->Title;
  }
  EXPECT_NE(window->Jobs()[0]->Title, window->Jobs()[1]->Title);
  window->btnDownload->click();
  ASSERT_TRUE(Watch([&] {
    return TWindowTest::Cell(colState, 0) == "Successfully!" &&
           TWindowTest::Cell(colState, 1) == "Successfully!";
  })) << TWindowTest::Cell(colState, 0) << " / " << TWindowTest::Cell(colState, 1);
  for (int i = 0; i < 2; ++i) {
    TEncItem* job = window->Jobs()[i];
    EXPECT_EQ(converttest::Tags(job->OutputFile)["title"], job->Title);
    EXPECT_EQ(converttest::Tags(job->OutputFile)["comment"], job->Source);
  }
  EXPECT_TRUE(boxes.empty()) << boxes.front();
}

// A page whose video is an HLS playlist: read by yt-dlp, fetched by the encoder with
// the page's headers, converted like any download.
TEST_F(ConversionWindowTest, HlsPageOfAnotherSiteBecomesAnMp3OfItsLength) {
  if (platform::FindOnPath("yt-dlp").empty()) GTEST_SKIP() << "yt-dlp is not installed";
  testsupport::TempDir hls;
  ASSERT_EQ(converttest::MakeClip(hls / "index.m3u8",
                                  {"-f", "lavfi", "-i", "sine=frequency=330:duration=6", "-c:a",
                                   "aac", "-f", "hls", "-hls_time", "2", "-hls_list_size", "0"}),
            0);
  for (const auto& entry : std::filesystem::directory_iterator(hls.path())) {
    sitesim::TStream s;
    s.File = entry.path().string();
    s.ContentType = entry.path().extension() == ".m3u8" ? "application/vnd.apple.mpegurl"
                                                         : "video/mp2t";
    sim.AddFile("live.example.net", "/hls/" + entry.path().filename().string(), s);
  }
  sitesim::TStream page;
  page.Data = "<html><head><title>Harbour Live</title></head><body>"
              "<video src=\"/hls/index.m3u8\"></video></body></html>";
  page.ContentType = "text/html";
  sim.AddFile("live.example.net", "/watch/live", page);
  QGuiApplication::clipboard()->setText(
      QString::fromStdString(sim.FileUrl("live.example.net", "/watch/live")));
  window->btnPaste->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->IntakeIdle(); }, 90000));
  ASSERT_EQ(window->Jobs().Count(), 1);
  ASSERT_TRUE(Job()->Qualities[static_cast<size_t>(Job()->QualityIndex)].Link.Hls);
  sim.ClearRequests();  // yt-dlp's own reading of the playlist
  window->btnDownload->click();
  ASSERT_TRUE(Watch([&] {
    return Cell(colState) != "Downloading..." && Cell(colState) != "Encoding...";
  })) << Cell(colState);
  ASSERT_EQ(Cell(colState), "Successfully!") << Job()->Notes;
  EXPECT_EQ(converttest::Probe(Job()->OutputFile, "a:0")["codec_name"], "mp3");
  EXPECT_TRUE(Watch([&] { return Job()->DurationSec == 6; }, 30000)) << Job()->DurationSec;
  EXPECT_EQ(converttest::Tags(Job()->OutputFile)["title"].rfind("Harbour Live", 0), 0u);
  // The playlist and each segment came with the format's headers, and only those
  // (not the encoder's own User-Agent beside them).
  const TQuality& q = Job()->Qualities[static_cast<size_t>(Job()->QualityIndex)];
  size_t requests = 0;
  for (const auto& r : sim.Requests()) {
    if (r.Target.find("/hls/") == std::string::npos) continue;
    ++requests;
    for (const auto& [name, value] : q.Link.Headers) EXPECT_EQ(r.Header(name), value) << name;
    EXPECT_EQ(std::count_if(r.Headers.begin(), r.Headers.end(),
                            [](const auto& h) { return h.first == "User-Agent"; }),
              1);
  }
  EXPECT_GE(requests, 4u);  // the playlist and three segments
}

// A clip address refused with 403 once the job was read: yt-dlp reads the page again
// and the same format goes on; the file is whole.
TEST_F(ConversionWindowTest, RefusedAddressOfAnotherSiteIsReadAgainByTheExtractor) {
  if (platform::FindOnPath("yt-dlp").empty()) GTEST_SKIP() << "yt-dlp is not installed";
  sitesim::TStream page;
  page.Data = "<html><head><title>Quay</title></head><body><video src=\"/m/q.mp4\"></video>";
  page.ContentType = "text/html";
  sim.AddFile("quay.example.net", "/p", page);
  sitesim::TStream file;
  file.File = clip_;
  sim.AddFile("quay.example.net", "/m/q.mp4", file);
  QGuiApplication::clipboard()->setText(
      QString::fromStdString(sim.FileUrl("quay.example.net", "/p")));
  window->btnPaste->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return window->IntakeIdle(); }, 90000));
  ASSERT_EQ(window->Jobs().Count(), 1);
  window->Grid().SelectRow(0);
  ASSERT_TRUE(window->PreparePopupMenu2());
  window->DownloadOnly1->trigger();
  file.Fault.Times = 1;
  file.Fault.Status = 403;
  sim.AddFile("quay.example.net", "/m/q.mp4", file);
  sim.ClearRequests();
  window->btnDownload->click();
  ASSERT_TRUE(Watch([&] { return Cell(colState) != "Downloading..."; })) << Cell(colState);
  ASSERT_EQ(Cell(colState), "Successfully!") << Job()->Notes;
  EXPECT_NE(Job()->Notes.find("expired"), std::string::npos) << Job()->Notes;
  EXPECT_TRUE(ReadAll(Job()->MediaFile) == ReadAll(clip_));
  size_t pageReads = 0;
  for (const auto& r : sim.Requests()) pageReads += r.Target.find("/p") != std::string::npos &&
                                                    r.Target.find("/m/") == std::string::npos;
  EXPECT_GE(pageReads, 1u);  // the refresh read the page
}
