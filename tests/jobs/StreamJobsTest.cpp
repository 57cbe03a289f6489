// Jobs whose quality is more than one engine stream: a video+audio pair (both
// fetched by the engine within the job, merged by cvtcore without re-encoding)
// and an HLS playlist (fetched by cvtcore). Real simulator through its proxy,
// the stand-in extractor for the pair, the installed yt-dlp for the playlist,
// real cvtcore + ffmpeg.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "download/clMultiDownLoader.h"
#include "jobs/Resolve.h"
#include "jobs/JobRunner.h"
#include "jobs/Journal.h"
#include "jobs/MemoryJobGrid.h"
#include "platform/ExeFolder.h"
#include "platform/Files.h"
#include "platform/Process.h"
#include "resolve/InetEng.h"
#include "resolve/YtDlpResolver.h"
#include "settings/Settings.h"
#include "tests/convert/ConvertTestSupport.h"
#include "tests/support/TestSupport.h"
#include "tools/sitesim/SiteSim.h"

using testsupport::WaitFor;

namespace {

const char* const kPairHost = "dash.example.net";
const char* const kPageHost = "pages.example.net";

double Seconds(const std::string& file) {
  std::string out;
  converttest::Tool({"ffprobe", "-v", "error", "-show_entries", "format=duration", "-of",
                     "default=nw=1:nk=1", "file:" + file},
                    &out);
  return std::atof(out.c_str());
}

// Names of the files in folder.
std::set<std::string> Files(const std::string& folder) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(folder))
    names.insert(e.path().filename().string());
  return names;
}

class StreamJobsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (platform::FindOnPath("ffmpeg").empty()) GTEST_SKIP() << "ffmpeg is not installed";
    sim.Start();
    cvOptions = TcvOptions{};
    cvOptions.IsProxy = true;
    cvOptions.ProxyAdress = sim.ProxyHost();
    cvOptions.ProxyPort = sim.Port();
    const uint16_t port = sim.Port();
    resolve::SetFetchProxySource([port] { return TFetchProxy{true, "127.0.0.1", port, "", ""}; });
    platform::SetExeFolderOverride(testsupport::BinDir());
    OutputFolder = out.path();
    OutName = TOutName{};
    runner = std::make_unique<TJobRunner>([this] { return &list; }, platform::CallQueue::Current());
  }
  void TearDown() override {
    runner.reset();
    for (int i = 0; i < list.Count(); ++i) delete list[i];
    resolve::SetFetchProxySource(nullptr);
    resolve::SetYtDlpChoice({});
    platform::SetExeFolderOverride("");
    cvOptions = TcvOptions{};
    OutputFolder.clear();
  }

  // The pair's two files on their host: 4 s of video only, 4 s of audio only.
  void ServePair(int64_t videoRate = 0, int64_t audioRate = 0) {
    const std::string video = clips / "v.mp4", audio = clips / "a.m4a";
    if (!platform::FileExists(video)) MakePair(video, audio);
    sitesim::TStream v, a;
    v.File = video;
    v.Fault.RateBytesPerSec = videoRate;
    a.File = audio;
    a.Fault.RateBytesPerSec = audioRate;
    a.ContentType = "audio/mp4";
    sim.AddFile(kPairHost, "/media/v.mp4", v);
    sim.AddFile(kPairHost, "/media/a.m4a", a);
  }
  void MakePair(const std::string& video, const std::string& audio) {
    ASSERT_EQ(converttest::MakeClip(video, {"-f", "lavfi", "-i",
                                            "testsrc=duration=4:size=160x120:rate=10", "-c:v",
                                            "mpeg4"}),
              0);
    ASSERT_EQ(converttest::MakeClip(audio, {"-f", "lavfi", "-i", "sine=frequency=440:duration=4",
                                            "-c:a", "aac", "-b:a", "64k"}),
              0);
  }

  // A page of another host whose video is a 6 s HLS playlist of 2 s segments,
  // each segment served at rate bytes per second (0: at once).
  void ServeHls(int64_t rate) {
    ASSERT_EQ(converttest::MakeClip(clips / "index.m3u8",
                                    {"-f", "lavfi", "-i", "sine=frequency=440:duration=6", "-c:a",
                                     "aac", "-f", "hls", "-hls_time", "2", "-hls_list_size", "0"}),
              0);
    for (const auto& entry : std::filesystem::directory_iterator(clips.path())) {
      sitesim::TStream s;
      s.File = entry.path().string();
      const bool list = entry.path().extension() == ".m3u8";
      s.ContentType = list ? "application/vnd.apple.mpegurl" : "video/mp2t";
      if (!list) s.Fault.RateBytesPerSec = rate;
      sim.AddFile(kPageHost, "/hls/" + entry.path().filename().string(), s);
    }
    sitesim::TStream page;
    page.Data = "<html><head><title>Live page</title></head><body>"
                "<video src=\"/hls/index.m3u8\"></video></body></html>";
    page.ContentType = "text/html";
    sim.AddFile(kPageHost, "/live.html", page);
  }

  // A job read by the extractor (program: the stand-in, or empty for the
  // installed yt-dlp), as the resolver service makes it.
  TEncItem& AddJob(const std::string& link, const std::string& program, TJobMode mode) {
    auto* job = new TEncItem;
    list.Add(job);
    AttachJobToRow(*job, grid, grid.AppendRow());
    job->IsLink = true;
    job->Source = link;
    resolve::SetYtDlpChoice({program, ""});
    resolve::TResolveRequest request;
    request.Link = link;
    request.Proxy = resolve::CurrentFetchProxy();
    const resolve::TResolvedJob answer = resolve::MakeYtDlpResolver()->Resolve(request);
    EXPECT_TRUE(ApplyResolution(*job, answer)) << answer.Failure;
    job->Mode = mode;
    job->Settings = converttest::Audio(22050, 64, 1, "libmp3lame");
    job->Settings.OutExt = "mp3";
    return *job;
  }
  std::string StandIn() const { return std::string(YTDLP_STANDIN_DIR) + "/yt-dlp"; }
  std::vector<sitesim::TRequest> RequestsFor(const std::string& path) const {
    std::vector<sitesim::TRequest> found;
    for (const auto& r : sim.Requests())
      if (r.Method == "GET" && r.Target.find(path) != std::string::npos) found.push_back(r);
    return found;
  }
  std::string State(const TEncItem& job) { return grid.CellText(colState, JobRow(job)); }
  bool Idle() { return !runner->AnythingRunning() && !runner->DownloadsBusy(); }

  testsupport::TempDir out, clips;
  sitesim::TSiteSim sim;
  TMemoryJobGrid grid;
  TJobList list;
  std::unique_ptr<TJobRunner> runner;
};

TEST_F(StreamJobsTest, PairIsFetchedWithItsHeadersInOnePlaceMergedAndConvertedOrKept) {
  ServePair();
  TEncItem& converted = AddJob("http://dash.example.net/watch/pair", StandIn(), jmDownloadConvert);
  TEncItem& kept = AddJob("http://dash.example.net/watch/pair", StandIn(), jmDownloadOnly);
  ASSERT_EQ(converted.Qualities[static_cast<size_t>(converted.QualityIndex)].Name,
            "MP4 120p (video + audio)");
  // One place for both jobs: each pair's audio takes its own video's place
  // instead of queueing behind the other job.
  runner->DownLoader().SetMaxStartedItems(1);
  std::vector<std::string> order;  // the file each data phase wrote to
  auto began = runner->DownLoader().OnDataPhaseBegin;
  runner->DownLoader().OnDataPhaseBegin = [&](TclMultiDownLoader* m, TclDownLoadItem* item) {
    order.push_back(platform::ExtractFileName(item->LocalFile()));
    began(m, item);
  };
  runner->StartRun();
  ASSERT_TRUE(WaitFor([&] { return Idle(); }, std::chrono::seconds(120)));
  const std::string a = platform::ExtractFileName(converted.MediaFile);
  const std::string b = platform::ExtractFileName(kept.MediaFile);
  const std::string ids = ".v360+a128";  // the pair's format ids
  EXPECT_EQ(order, (std::vector<std::string>{a + ids + ".video", a + ids + ".audio",
                                             b + ids + ".video", b + ids + ".audio"}));

  EXPECT_EQ(State(converted), "Successfully!") << converted.Notes;
  EXPECT_NEAR(Seconds(converted.OutputFile), 4.0, 0.3);
  EXPECT_EQ(converttest::Probe(converted.OutputFile, "v:0").count("codec_name"), 0u);

  EXPECT_EQ(State(kept), "Successfully!") << kept.Notes;
  EXPECT_EQ(platform::ExtractFileExt(kept.MediaFile), ".mp4");
  EXPECT_EQ(converttest::Probe(kept.MediaFile, "v:0")["codec_name"], "mpeg4");  // copied, not encoded
  EXPECT_EQ(converttest::Probe(kept.MediaFile, "a:0")["codec_name"], "aac");
  EXPECT_NEAR(Seconds(kept.MediaFile), 4.0, 0.3);
  EXPECT_EQ(kept.Progress, 100);

  // Only the results are left: no parts.
  for (const std::string& name : Files(out.path()))
    EXPECT_TRUE(name.size() > 4 && (name.substr(name.size() - 4) == ".mp4" ||
                                    name.substr(name.size() - 4) == ".mp3"))
        << name;

  // Each stream's requests sent the format's headers and kept to its chunk limit.
  for (const char* path : {"/media/v.mp4", "/media/a.m4a"}) {
    int ranged = 0;
    for (const auto& r : RequestsFor(path)) {
      EXPECT_EQ(r.Header("User-Agent"), "standin-agent/1.0") << path;
      EXPECT_EQ(r.Header("Referer"), "http://dash.example.net/watch/pair") << path;
      if (!r.HasHeader("Range")) continue;  // the probe, which reads no more than it needs
      ++ranged;
      const std::string range = r.Header("Range");
      long long from = 0, to = 0;
      ASSERT_EQ(std::sscanf(range.c_str(), "bytes=%lld-%lld", &from, &to), 2) << range;
      EXPECT_LE(to - from + 1, 40000) << path << " " << range;
    }
    EXPECT_GE(ranged, 2) << path;
  }
}

TEST_F(StreamJobsTest, StoppedPairKeepsOnlyItsPartsAndTheNextStartFinishesIt) {
  ServePair(1000);  // the video would take a minute
  TEncItem& job = AddJob("http://dash.example.net/watch/pair", StandIn(), jmDownloadOnly);
  runner->StartRun();
  ASSERT_TRUE(WaitFor([&] { return job.Progress > 5; }, std::chrono::seconds(60)));
  runner->StopJob(&job);
  ASSERT_TRUE(WaitFor([&] { return Idle(); }, std::chrono::seconds(60)));
  EXPECT_EQ(State(job), "Stopped");
  EXPECT_FALSE(job.Resume.Empty());
  // The reserved name and the video's part; nothing else.
  const std::set<std::string> parts = Files(out.path());
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_EQ(platform::ExtractFileName(job.MediaFile), *parts.rbegin());
  EXPECT_EQ(parts.rbegin()->substr(parts.rbegin()->size() - 6), ".video");

  ServePair();  // the same files, now at full speed
  job.Mode = jmDownloadOnly;
  runner->StartRun();
  ASSERT_TRUE(WaitFor([&] { return Idle(); }, std::chrono::seconds(120)));
  EXPECT_EQ(State(job), "Successfully!") << job.Notes;
  EXPECT_EQ(job.Notes.find("Cannot continue"), std::string::npos) << job.Notes;  // continued
  EXPECT_EQ(Files(out.path()).size(), 1u);
  EXPECT_EQ(converttest::Probe(job.MediaFile, "a:0")["codec_name"], "aac");
  EXPECT_NEAR(Seconds(job.MediaFile), 4.0, 0.3);
}

TEST_F(StreamJobsTest, PairEndedDuringItsAudioComesBackFromTheJournalWithoutFetchingTheVideoAgain) {
  const std::string journalFile = clips / "jobs.db";
  ServePair(0, 1000);  // the audio would take a minute
  {
    TJournal journal(journalFile);
    std::vector<TJobSnapshot> none;
    ASSERT_TRUE(journal.Open(none));
    TJobJournal binding(journal, [this] { return &list; }, [](std::function<void()> fn) { fn(); });
    TEncItem& job = AddJob("http://dash.example.net/watch/pair", StandIn(), jmDownloadOnly);
    runner->StartRun();
    ASSERT_TRUE(WaitFor([&] {
      return job.MediaFile.size() > 6 &&
             job.MediaFile.substr(job.MediaFile.size() - 6) == ".audio" &&
             !job.Resume.Empty() && job.Resume.Segments[0].Done > 0;
    }, std::chrono::seconds(60)));
    // What the journal holds when the program is ended at this point.
    binding.SnapshotRunning();
    ASSERT_TRUE(journal.Flush(std::chrono::seconds(10)));
    runner.reset();
  }
  for (int i = 0; i < list.Count(); ++i) delete list[i];
  list.Clear();

  TJournal journal(journalFile);
  std::vector<TJobSnapshot> stored;
  ASSERT_TRUE(journal.Open(stored));
  ASSERT_EQ(stored.size(), 1u);
  TMemoryJobGrid table;
  TJobJournal binding(journal, [this] { return &list; }, [](std::function<void()> fn) { fn(); });
  binding.Restore(stored, list, table);
  TEncItem& job = *list[0];
  EXPECT_EQ(table.CellText(colState, 0), "Stopped");
  ASSERT_FALSE(job.Resume.Empty()) << job.Notes;
  ServePair();
  sim.ClearRequests();
  runner = std::make_unique<TJobRunner>([this] { return &list; }, platform::CallQueue::Current());
  runner->StartRun();
  ASSERT_TRUE(WaitFor([&] { return Idle(); }, std::chrono::seconds(120)));
  EXPECT_EQ(table.CellText(colState, 0), "Successfully!") << job.Notes;
  EXPECT_EQ(job.Notes.find("Cannot continue"), std::string::npos) << job.Notes;
  EXPECT_TRUE(RequestsFor("/media/v.mp4").empty());
  EXPECT_EQ(converttest::Probe(job.MediaFile, "v:0")["codec_name"], "mpeg4");
  EXPECT_EQ(converttest::Probe(job.MediaFile, "a:0")["codec_name"], "aac");
  EXPECT_NEAR(Seconds(job.MediaFile), 4.0, 0.3);
}

// Packet hash of the file's first stream of kind ("a" or "v"), as stored.
std::string StreamHash(const std::string& file, const char* kind) {
  std::string out;
  converttest::Tool({"ffmpeg", "-v", "error", "-i", "file:" + file, "-map", std::string("0:") + kind,
                     "-c", "copy", "-f", "md5", "-"},
                    &out);
  return out;
}

TEST_F(StreamJobsTest, PairWhoseAudioAddressExpiresMidwayGetsANewOneAndEndsWhole) {
  ServePair(0, 4000);  // the audio takes seconds, in many small ranges
  // An extractor whose first answer gives the audio at a.m4a and every later
  // one at a2.m4a, both with a small chunk limit.
  testsupport::TempDir tools;
  {
    std::ofstream script(tools / "yt-dlp");
    script << "#!/bin/sh\n"
              "runs=" << (tools / "runs") << "\n"
              "n=$(cat \"$runs\" 2>/dev/null || echo 0); n=$((n+1)); echo $n > \"$runs\"\n"
              "edit='s#\"http_chunk_size\": 40000#\"http_chunk_size\": 8000#'\n"
              "[ $n -gt 1 ] && edit=\"$edit;s#/media/a.m4a#/media/a2.m4a#\"\n"
              "sed \"$edit\" '" << YTDLP_STANDIN_DIR << "/pair.json'\n";
  }
  ::chmod((tools / "yt-dlp").c_str(), 0755);
  cvOptions.YtDlpProgram = tools / "yt-dlp";  // the refresh runs the program of the options
  // Which address each written byte came from, per part.
  std::map<std::string, std::set<std::string>> sources;
  auto proceed = runner->DownLoader().OnDataItemProceed;
  runner->DownLoader().OnDataItemProceed = [&](TclMultiDownLoader* m, TclDownLoadItem* item,
                                               TclResourceInfo* info, TclResourceStateItem* state,
                                               const char* data, int size) {
    const std::string file = item->LocalFile();
    sources[file.substr(file.rfind('.'))].insert(item->URL().substr(item->URL().rfind('/')));
    proceed(m, item, info, state, data, size);
  };
  TEncItem& job = AddJob("http://dash.example.net/watch/pair", tools / "yt-dlp", jmDownloadOnly);
  runner->StartRun();
  ASSERT_TRUE(WaitFor([&] {
    return job.MediaFile.size() > 6 && job.MediaFile.substr(job.MediaFile.size() - 6) == ".audio" &&
           platform::FileExists(job.MediaFile) && !job.Resume.Empty() &&
           job.Resume.Segments[0].Done >= 8000;
  }, std::chrono::seconds(90)));
  // The old audio address is refused from now on; the new one serves the same file.
  sitesim::TStream expired, fresh;
  expired.Data = "gone";
  expired.Fault.Status = 403;
  fresh.File = clips / "a.m4a";
  fresh.ContentType = "audio/mp4";
  sim.AddFile(kPairHost, "/media/a2.m4a", fresh);
  sim.AddFile(kPairHost, "/media/a.m4a", expired);
  ASSERT_TRUE(WaitFor([&] { return Idle(); }, std::chrono::seconds(120)));

  EXPECT_EQ(State(job), "Successfully!") << job.Notes;
  EXPECT_NE(job.Notes.find("The stream address expired"), std::string::npos) << job.Notes;
  EXPECT_FALSE(RequestsFor("/media/a2.m4a").empty());
  EXPECT_EQ(sources[".video"], (std::set<std::string>{"/v.mp4"}));
  EXPECT_EQ(sources[".audio"], (std::set<std::string>{"/a.m4a", "/a2.m4a"}));
  // Both streams arrived as served, byte for byte, and no part is left.
  EXPECT_EQ(StreamHash(job.MediaFile, "a"), StreamHash(clips / "a.m4a", "a"));
  EXPECT_EQ(StreamHash(job.MediaFile, "v"), StreamHash(clips / "v.mp4", "v"));
  EXPECT_FALSE(StreamHash(job.MediaFile, "a").empty());
  EXPECT_EQ(Files(out.path()).size(), 1u);
}

// Processes whose command line names text.
int ProcessesNaming(const std::string& text) {
  int n = 0;
  for (const auto& proc : std::filesystem::directory_iterator("/proc"))
    n += testsupport::ReadAll(proc.path().string() + "/cmdline").find(text) != std::string::npos;
  return n;
}

TEST_F(StreamJobsTest, StopDuringTheMergeKeepsThePartsForTheNextStartAndNothingElse) {
  ServePair();
  // An encoder whose merge writes a little and then hangs; anything else is the real one.
  testsupport::TempDir tools;
  const std::string mark = tools / "merging";
  {
    std::ofstream script(tools / "cvtcore");
    script << "#!/bin/sh\n"
              "if [ \"$1\" = -merge ]; then\n"
              "  for a; do out=$a; done\n"
              "  printf partial > \"$out\"; : > '" << mark << "'\n"
              "  while :; do sleep 1; done\n"
              "fi\n"
              "exec '" << testsupport::BinDir() << "cvtcore' \"$@\"\n";
  }
  ::chmod((tools / "cvtcore").c_str(), 0755);
  platform::SetExeFolderOverride(tools.path());
  TEncItem& job = AddJob("http://dash.example.net/watch/pair", StandIn(), jmDownloadOnly);
  runner->StartRun();
  ASSERT_TRUE(WaitFor([&] { return platform::FileExists(mark); }, std::chrono::seconds(60)));
  EXPECT_EQ(State(job), "Downloading...");
  runner->StopJob(&job);
  EXPECT_EQ(State(job), "Stopped");
  EXPECT_TRUE(Idle());
  // The encoder's whole group is gone; the merged file is empty again (still
  // reserved) and the two parts wait for the next Start.
  EXPECT_TRUE(WaitFor([&] { return ProcessesNaming(tools.path()) == 0; }, std::chrono::seconds(30)));
  EXPECT_EQ(platform::FileSize(job.MediaFile), 0);
  EXPECT_EQ(Files(out.path()).size(), 3u);

  platform::SetExeFolderOverride(testsupport::BinDir());
  sim.ClearRequests();
  job.Mode = jmDownloadOnly;
  runner->StartRun();
  ASSERT_TRUE(WaitFor([&] { return Idle(); }, std::chrono::seconds(120)));
  EXPECT_EQ(State(job), "Successfully!") << job.Notes;
  EXPECT_TRUE(sim.Requests().empty());  // merged from the parts, nothing fetched again
  EXPECT_EQ(Files(out.path()).size(), 1u);
  EXPECT_EQ(converttest::Probe(job.MediaFile, "a:0")["codec_name"], "aac");
}

TEST_F(StreamJobsTest, MergeThatFailsFailsTheJobWithTheEncodersReason) {
  ServePair();
  sitesim::TStream junk;
  junk.Data = std::string(30000, 'j');  // no audio file at all
  sim.AddFile(kPairHost, "/media/a.m4a", junk);
  TEncItem& job = AddJob("http://dash.example.net/watch/pair", StandIn(), jmDownloadConvert);
  runner->StartRun();
  ASSERT_TRUE(WaitFor([&] { return Idle(); }, std::chrono::seconds(120)));
  EXPECT_EQ(State(job), "Download failed");
  EXPECT_NE(job.Notes.find("Error: Merging the video and audio failed: "), std::string::npos)
      << job.Notes;
  EXPECT_NE(job.Notes.find("Invalid data"), std::string::npos) << job.Notes;
  EXPECT_TRUE(job.OutputFile.empty());
}

TEST_F(StreamJobsTest, PlaylistFetchesTakeTurnsAndAStoppedOneEndsItsEncoderAndLeavesNoFile) {
  if (platform::FindOnPath("yt-dlp").empty()) GTEST_SKIP() << "yt-dlp is not installed";
  ServeHls(8000);  // each segment takes seconds
  // A proxy that wants a password, which must reach the encoder but no command line.
  const std::string password = "pa:ss@w%rd";
  sim.SetProxyAuth(true, "fetcher", password);
  const uint16_t port = sim.Port();
  resolve::SetFetchProxySource(
      [port, password] { return TFetchProxy{true, "127.0.0.1", port, "fetcher", password}; });
  const std::string page = sim.FileUrl(kPageHost, "/live.html");
  TEncItem& first = AddJob(page, "", jmDownloadConvert);
  TEncItem& second = AddJob(page, "", jmDownloadConvert);
  runner->DownLoader().SetMaxStartedItems(1);
  runner->StartRun();
  EXPECT_EQ(State(first), "Downloading...");
  EXPECT_EQ(State(second), "Downloading...");
  // The first runs and shows how far it got (its time against the running time);
  // the second waits for its turn.
  ASSERT_TRUE(WaitFor([&] { return first.Progress > 0; }, std::chrono::seconds(60)));
  EXPECT_LT(first.Progress, 100);
  EXPECT_EQ(second.Progress, 0);
  int fetchers = 0;
  for (const auto& proc : std::filesystem::directory_iterator("/proc")) {
    const std::string cmdline = testsupport::ReadAll(proc.path().string() + "/cmdline");
    if (cmdline.find("index.m3u8") == std::string::npos) continue;
    ++fetchers;
    EXPECT_EQ(cmdline.find("pa:ss"), std::string::npos);
    EXPECT_EQ(cmdline.find("pa%3A"), std::string::npos);
  }
  EXPECT_GE(fetchers, 2);  // cvtcore and its ffmpeg
  EXPECT_EQ(platform::FileSize(second.MediaFile), 0);
  runner->StopJob(&first);
  EXPECT_EQ(State(first), "Stopped");
  EXPECT_EQ(ModeCaption(first.Mode), "Skip");
  EXPECT_FALSE(platform::FileExists(first.MediaFile));
  // Its place goes to the second.
  ASSERT_TRUE(WaitFor([&] { return second.Progress > 0; }, std::chrono::seconds(60)));
  runner->StopJob(&second);
  EXPECT_TRUE(Idle());
  // The encoders are gone: their connections to the proxy close.
  EXPECT_TRUE(WaitFor([&] { return sim.OpenConnections() == 0; }, std::chrono::seconds(30)));
  EXPECT_TRUE(Files(out.path()).empty());
}

}  // namespace
