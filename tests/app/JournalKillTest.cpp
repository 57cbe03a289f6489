// The program, killed with SIGKILL again and again in the middle of its
// downloads and conversions, restarted with --start each time: the job journal
// must bring every job back so that the work goes on where it was, and the run
// must end with every file whole and every job done.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "convert/Presets.h"
#include "jobs/Journal.h"
#include "platform/Ini.h"
#include "platform/Process.h"
#include "resolve/YtDlpResolver.h"
#include "tests/support/TestSupport.h"
#include "tools/sitesim/SiteSim.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kKills = 20;
constexpr int kStreams = 3;
constexpr int kSegments = 5;                       // the download manager's parts per item
constexpr int64_t kRatePerConnection = 700 << 10;  // bytes per second

using testsupport::ReadAll;

// A loopback relay in front of the simulator that counts the bytes the
// program receives: the figure "bytes fetched" comes from here, kills included.
class TCountingRelay {
 public:
  explicit TCountingRelay(uint16_t target) : target_(target) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 64) != 0)
      throw std::runtime_error("relay: cannot listen");
    socklen_t len = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    acceptor_ = std::thread([this] { Accept(); });
  }
  ~TCountingRelay() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    ::close(listener_);
    acceptor_.join();
    std::lock_guard lock(mutex_);
    for (auto& t : pumps_) t.join();
  }
  uint16_t Port() const { return port_; }
  int64_t Received() const { return received_; }

 private:
  void Accept() {
    while (!stop_) {
      const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) return;
      std::lock_guard lock(mutex_);
      pumps_.emplace_back([this, client] { Pump(client); });
    }
  }
  void Pump(int client) {
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(target_);
    if (::connect(server, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      char buf[65536];
      pollfd fds[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      while (!stop_ && ::poll(fds, 2, 200) >= 0) {
        bool closed = false;
        for (int i = 0; i < 2 && !closed; ++i) {
          if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
          const ssize_t n = ::recv(fds[i].fd, buf, sizeof buf, 0);
          if (n <= 0 || ::send(fds[1 - i].fd, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) {
            closed = true;
          } else if (i == 1) {
            received_ += n;
          }
        }
        if (closed) break;
      }
    }
    ::close(server);
    ::close(client);
  }

  uint16_t target_;
  uint16_t port_ = 0;
  int listener_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<int64_t> received_{0};
  std::mutex mutex_;
  std::vector<std::thread> pumps_;
  std::thread acceptor_;
};

// The journal as another process sees it: the jobs' states and how often it
// was committed to.
class TJournalReader {
 public:
  explicit TJournalReader(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
      throw std::runtime_error("cannot read " + path);
    sqlite3_busy_timeout(db_, 1000);
  }
  ~TJournalReader() { sqlite3_close(db_); }
  // Counts commits by other connections (data_version changes between reads).
  void Read() {
    std::vector<int> states;
    int segments = 0;
    Query("SELECT state FROM jobs ORDER BY id",
          [&](sqlite3_stmt* st) { states.push_back(sqlite3_column_int(st, 0)); });
    Query("SELECT count(*) FROM segments GROUP BY job",
          [&](sqlite3_stmt* st) { segments = std::max(segments, sqlite3_column_int(st, 0)); });
    int64_t version = 0;
    Query("PRAGMA data_version", [&](sqlite3_stmt* st) { version = sqlite3_column_int64(st, 0); });
    if (version != version_ && version_ != 0) ++commits;
    version_ = version;
    this->states = states;
    maxSegments = std::max(maxSegments, segments);
  }
  bool Any(int state) const {
    return std::find(states.begin(), states.end(), state) != states.end();
  }
  bool All(int state) const {
    return !states.empty() &&
           std::all_of(states.begin(), states.end(), [state](int s) { return s == state; });
  }
  // Reads every 20 ms until done() holds or the time is up.
  bool WaitFor(const std::function<bool()>& done, int seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      Read();
    }
    return done();
  }
  std::vector<std::string> Column(const char* sql) {
    std::vector<std::string> values;
    Query(sql, [&](sqlite3_stmt* st) {
      values.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    });
    return values;
  }

  std::vector<int> states;
  int maxSegments = 0;
  int commits = 0;

 private:
  template <typename F>
  void Query(const char* sql, F row) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) != SQLITE_OK) return;
    while (sqlite3_step(st) == SQLITE_ROW) row(st);
    sqlite3_finalize(st);
  }
  sqlite3* db_ = nullptr;
  int64_t version_ = 0;
};

// A Download Only job as a paste leaves it once the extractor has read the link.
TJobSnapshot JobAsRead(TJournal& journal, const std::string& link, const resolve::TResolvedJob& read) {
  TJobSnapshot job;
  job.Key = journal.NewKey();
  job.IsLink = true;
  job.Source = link;
  job.Title = read.Title;
  job.Qualities = read.Qualities;
  job.QualityIndex = read.DefaultQuality;
  job.StreamUrl = job.Qualities[static_cast<size_t>(job.QualityIndex)].Link.Url;
  job.Resolver = read.Resolver;
  job.WebpageUrl = read.PageUrl;
  job.Mode = jmDownloadOnly;
  return job;
}

pid_t Launch(const std::string& folder) {
  const std::string program = folder + "vantorel";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const std::string output = folder + "runs.txt";
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("--start"), nullptr};
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start the program");
  return pid;
}

void Kill(pid_t pid) {
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

TEST(JournalKillTest, WorkSurvivesTwentyKillsDuringDownloadsAndConversions) {
  testsupport::TempDir box;
  const std::string bin = testsupport::BinDir();
  for (const char* name : {"vantorel", "cvtcore", "presets.ini"})
    fs::copy_file(bin + name, box / name);
  fs::create_directory(box / "out");
  fs::create_directory(box / "src");

  // Three sources of a little over 32 MiB each: 200 s of stereo 16-bit sound,
  // so a conversion takes a few seconds rather than minutes.
  std::vector<std::string> sources;
  for (int i = 0; i < kStreams; ++i) {
    const std::string path = box / ("src/s" + std::to_string(i) + ".wav");
    const std::string command =
        "ffmpeg -v error -y -f lavfi -i sine=frequency=" + std::to_string(300 + 200 * i) +
        ":sample_rate=44100:duration=200 -ac 2 '" + path + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    ASSERT_GE(fs::file_size(path), 32u << 20);
    sources.push_back(path);
  }
  sitesim::TSiteSim sim;
  for (int i = 0; i < kStreams; ++i) {
    sitesim::TStream stream;
    stream.File = sources[static_cast<size_t>(i)];
    stream.ContentType = "audio/wav";
    stream.Fault.RateBytesPerSec = kRatePerConnection;
    sim.AddVideo(sitesim::TVideo{
        "kill" + std::to_string(i), "Kill " + std::to_string(i), 200, {stream}, {}, {}});
  }
  sim.Start();
  TCountingRelay relay(sim.Port());

  std::ofstream(box / "settings.ini") << "[General]\r\nFolder=" << box / "out"
                                      << "\r\n[Options]\r\nIsProxy=1\r\nProxyAdress=127.0.0.1"
                                      << "\r\nProxyPort=" << relay.Port() << "\r\n";
  // The jobs as Paste would have made them, put straight into the journal.
  {
    TJournal journal(box / "jobs.db");
    std::vector<TJobSnapshot> none;
    ASSERT_TRUE(journal.Open(none)) << journal.LastError();
    TCnvtSettings mp3;
    FillCnvtSettings(TPanelTexts{"MP3", 0, "Same As Input", "Same As Input", "Same As Input",
                                 "Same As Input", "Same As Input"},
                     platform::IniFile(box / "presets.ini"), mp3);
    for (int i = 0; i < kStreams; ++i) {
      TJobSnapshot job;
      job.Key = journal.NewKey();
      job.IsLink = true;
      job.Source = sim.WatchUrl("kill" + std::to_string(i));
      job.Title = "Kill " + std::to_string(i);
      job.DurationSec = 200;
      job.StreamUrl = sim.StreamUrl("kill" + std::to_string(i), 0);
      job.Qualities = {{"medium", {job.StreamUrl, ".wav"}}};
      job.QualityIndex = 0;
      job.Mode = jmDownloadConvert;
      job.Settings = mp3;
      journal.Put(job);
    }
    ASSERT_TRUE(journal.Flush(std::chrono::seconds(10)));
  }

  TJournalReader reader(box / "jobs.db");
  std::mt19937 random(std::random_device{}());
  const unsigned seed = random();
  random.seed(seed);
  int downloadKills = 0, conversionKills = 0;
  double childSeconds = 0;
  auto poll = [&](Clock::time_point until) {
    while (Clock::now() < until) {
      reader.Read();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  };
  for (int kill = 0; kill < kKills; ++kill) {
    const auto started = Clock::now();
    const pid_t pid = Launch(box.path());
    // The kill moment: a while after this run's Start shows in the journal.
    reader.Read();
    const int commitsBefore = reader.commits;
    auto running = [&] { return reader.Any(jsDownloading) || reader.Any(jsEncoding); };
    while (!(reader.commits > commitsBefore && running()) &&
           Clock::now() - started < std::chrono::seconds(20))
      poll(Clock::now() + std::chrono::milliseconds(20));
    const bool converting = reader.Any(jsEncoding) && !reader.Any(jsDownloading);
    std::uniform_int_distribution<int> ms(converting ? 200 : 1000, converting ? 900 : 3000);
    poll(Clock::now() + std::chrono::milliseconds(ms(random)));
    reader.Read();
    if (!running()) {
      Kill(pid);
      FAIL() << "nothing ran at kill " << kill << ":\n"
             << ReadAll(box / "runs.txt") << ReadAll(box / "Log.txt");
    }
    reader.Any(jsDownloading) ? ++downloadKills : ++conversionKills;
    Kill(pid);
    childSeconds += std::chrono::duration<double>(Clock::now() - started).count();
  }

  // The last run goes to the end.
  const auto started = Clock::now();
  const pid_t pid = Launch(box.path());
  while (!reader.All(jsDone) && Clock::now() - started < std::chrono::seconds(120))
    poll(Clock::now() + std::chrono::milliseconds(100));
  const std::string log = ReadAll(box / "Log.txt");
  Kill(pid);
  childSeconds += std::chrono::duration<double>(Clock::now() - started).count();
  ASSERT_TRUE(reader.All(jsDone)) << log;

  const std::vector<std::string> media = reader.Column("SELECT media_file FROM jobs ORDER BY id");
  const std::vector<std::string> outputs =
      reader.Column("SELECT output_file FROM jobs ORDER BY id");
  ASSERT_EQ(media.size(), static_cast<size_t>(kStreams));
  int64_t total = 0;
  for (int i = 0; i < kStreams; ++i) {
    EXPECT_TRUE(ReadAll(media[static_cast<size_t>(i)]) == ReadAll(sources[static_cast<size_t>(i)]))
        << media[static_cast<size_t>(i)] << " differs from its source";
    EXPECT_GT(fs::file_size(outputs[static_cast<size_t>(i)]), 100000u);
    total += static_cast<int64_t>(fs::file_size(sources[static_cast<size_t>(i)]));
  }
  // One download file and one output per job: nothing was started over in a new file.
  std::string files;
  for (const auto& entry : fs::directory_iterator(box / "out"))
    files += entry.path().filename().string() + " (" + std::to_string(entry.file_size()) + ") ";
  EXPECT_EQ(std::distance(fs::directory_iterator(box / "out"), fs::directory_iterator()),
            2 * kStreams)
      << files;

  const int64_t fetched = relay.Received();
  const int64_t twice = std::max<int64_t>(0, fetched - total);
  const int segments = std::max(reader.maxSegments, kSegments);
  const int64_t allowed = total / 50 + int64_t{kKills} * kStreams * segments * kRatePerConnection;
  std::printf(
      "kill test (seed %u): %d kills (%d during downloads, %d during conversions); "
      "bytes fetched %lld of %lld; fetched twice %lld (%.1f %%; allowed %lld); "
      "journal commits %d in %.1f s of runs = %.1f per second\n",
      seed, kKills, downloadKills, conversionKills, static_cast<long long>(fetched),
      static_cast<long long>(total), static_cast<long long>(twice),
      100.0 * static_cast<double>(twice) / static_cast<double>(total),
      static_cast<long long>(allowed), reader.commits, childSeconds, reader.commits / childSeconds);
  EXPECT_LE(twice, allowed);
  EXPECT_GT(conversionKills, 0) << "no kill hit a conversion";
}

// A job read by the real extractor from a page of another host, killed in the
// middle of its download and restarted: its stream address is refused once, so
// the restarted job is read again by the extractor from its page (same format).
// Both runs send the page's headers (the first its chunk limit too, both from the
// journal), and the file ends byte-identical.
TEST(JournalKillTest, ExtractorJobKilledMidDownloadContinuesAfterARefreshAndEndsWhole) {
  if (platform::FindOnPath("yt-dlp").empty()) GTEST_SKIP() << "yt-dlp is not installed";
  testsupport::TempDir box;
  const std::string bin = testsupport::BinDir();
  for (const char* name : {"vantorel", "cvtcore", "presets.ini"})
    fs::copy_file(bin + name, box / name);
  fs::create_directory(box / "out");
  const std::string source = box / "kill.wav";
  ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i sine=frequency=500:sample_rate=44100:"
                         "duration=100 '" + source + "'").c_str()),
            0);
  constexpr long long kChunk = 1 << 20;

  sitesim::TSiteSim sim;
  sitesim::TStream page;
  page.Data = "<html><head><title>Quay at Noon</title></head><body>"
              "<video src=\"/media/kill.mp4\"></video></body></html>";
  page.ContentType = "text/html";
  sim.AddFile("quay.example.net", "/watch/kill", page);
  sitesim::TStream clip;
  clip.File = source;
  clip.Fault.RateBytesPerSec = kRatePerConnection;
  sim.AddFile("quay.example.net", "/media/kill.mp4", clip);
  sim.Start();
  const std::string link = sim.FileUrl("quay.example.net", "/watch/kill");
  std::ofstream(box / "settings.ini") << "[General]\r\nFolder=" << box / "out"
                                      << "\r\n[Options]\r\nIsProxy=1\r\nProxyAdress=127.0.0.1"
                                      << "\r\nProxyPort=" << sim.Port() << "\r\n";

  // The job as a paste leaves it once the extractor has read the link.
  TFetchProxy proxy;
  proxy.IsProxy = true;
  proxy.ProxyAdress = "127.0.0.1";
  proxy.ProxyPort = sim.Port();
  const resolve::TResolvedJob read =
      resolve::MakeYtDlpResolver()->Resolve(resolve::MakeRequest(link, proxy, 90, nullptr));
  ASSERT_TRUE(read.Ok) << read.Failure;
  {
    TJournal journal(box / "jobs.db");
    std::vector<TJobSnapshot> none;
    ASSERT_TRUE(journal.Open(none)) << journal.LastError();
    TJobSnapshot job = JobAsRead(journal, link, read);
    // What a site that throttles large requests gives.
    job.Qualities[static_cast<size_t>(job.QualityIndex)].Link.ChunkLimit = kChunk;
    journal.Put(job);
    ASSERT_TRUE(journal.Flush(std::chrono::seconds(10)));
  }

  TJournalReader reader(box / "jobs.db");
  auto waitFor = [&](const std::function<bool()>& done, int seconds) {
    return reader.WaitFor(done, seconds);
  };
  pid_t pid = Launch(box.path());
  const bool downloading = waitFor([&] { return reader.Any(jsDownloading) && reader.maxSegments > 0; }, 60);
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  Kill(pid);
  ASSERT_TRUE(downloading) << ReadAll(box / "runs.txt") << ReadAll(box / "Log.txt");

  // The first run had the job from the journal only: its headers and chunk limit.
  size_t ranges = 0;
  for (const auto& r : sim.Requests()) {
    if (r.Target.find("/media/kill.mp4") == std::string::npos) continue;
    EXPECT_EQ(r.Header("Referer"), link) << r.Method;
    if (r.Method != "GET" || !r.HasHeader("Range")) continue;
    long long from = 0, to = -1;
    ++ranges;
    ASSERT_EQ(std::sscanf(r.Header("Range").c_str(), "bytes=%lld-%lld", &from, &to), 2)
        << r.Header("Range");
    EXPECT_LE(to - from + 1, kChunk) << r.Header("Range");
  }
  EXPECT_GT(ranges, 0u);
  const long long kept =
      std::stoll(reader.Column("SELECT coalesce(sum(done), 0) FROM segments").at(0));

  clip.Fault.Times = 1;
  clip.Fault.Status = 403;
  sim.AddFile("quay.example.net", "/media/kill.mp4", clip);
  sim.ClearRequests();
  pid = Launch(box.path());
  const bool done = waitFor([&] { return reader.All(jsDone); }, 120);
  const std::string log = ReadAll(box / "Log.txt");
  Kill(pid);
  ASSERT_TRUE(done) << log;
  const std::vector<std::string> media = reader.Column("SELECT media_file FROM jobs");
  ASSERT_EQ(media.size(), 1u);
  EXPECT_TRUE(ReadAll(media[0]) == ReadAll(source)) << media[0] << " differs from its source";
  EXPECT_NE(log.find("expired"), std::string::npos) << log;

  size_t pageReads = 0;
  long long asked = 0;
  for (const auto& r : sim.Requests()) {
    if (r.Target.find("/watch/kill") != std::string::npos) ++pageReads;
    if (r.Target.find("/media/kill.mp4") == std::string::npos) continue;
    EXPECT_EQ(r.Header("Referer"), link) << r.Method;  // the fresh reading's headers
    long long from = 0, to = -1;
    if (r.Method == "GET" && std::sscanf(r.Header("Range").c_str(), "bytes=%lld-%lld", &from, &to) == 2)
      asked += to - from + 1;
  }
  EXPECT_GE(pageReads, 1u);  // the refresh read the page again
  // It went on from what the first run kept instead of starting over.
  const long long whole = static_cast<long long>(fs::file_size(source));
  EXPECT_LE(asked, whole - kept + whole / 20) << "kept " << kept;
  std::printf("extractor kill test: %lld of %lld bytes kept at the kill, %lld asked after it\n",
              kept, whole, asked);
}

// A video+audio pair read by the stand-in extractor, killed once during its
// video and once during its audio, restarted each time: it ends as one merged
// MP4 of the clip's length, the video goes on from what the first run kept
// (counted at the simulator), and no part is left.
TEST(JournalKillTest, PairKilledDuringItsVideoAndItsAudioEndsAsOneWholeFile) {
  testsupport::TempDir box;
  const std::string bin = testsupport::BinDir();
  for (const char* name : {"vantorel", "cvtcore", "presets.ini"})
    fs::copy_file(bin + name, box / name);
  fs::create_directory(box / "out");
  // The stand-in's pair: 20 s of video only, 20 s of audio only.
  const std::string video = box / "v.mp4", audio = box / "a.m4a";
  ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i testsrc=duration=20:size=320x240:rate=25 "
                         "-c:v mpeg4 -b:v 1M '" + video + "'").c_str()),
            0);
  ASSERT_EQ(std::system(("ffmpeg -v error -y -f lavfi -i sine=frequency=440:duration=20 -c:a aac "
                         "-b:a 320k '" + audio + "'").c_str()),
            0);
  sitesim::TSiteSim sim;
  sitesim::TStream v, a;
  v.File = video;
  v.Fault.RateBytesPerSec = 60 << 10;
  a.File = audio;
  a.ContentType = "audio/mp4";
  a.Fault.RateBytesPerSec = 30 << 10;
  sim.AddFile("dash.example.net", "/media/v.mp4", v);
  sim.AddFile("dash.example.net", "/media/a.m4a", a);
  sim.Start();
  const std::string standIn = std::string(YTDLP_STANDIN_DIR) + "/yt-dlp";
  std::ofstream(box / "settings.ini") << "[General]\r\nFolder=" << box / "out"
                                      << "\r\n[Options]\r\nIsProxy=1\r\nProxyAdress=127.0.0.1"
                                      << "\r\nProxyPort=" << sim.Port() << "\r\n[YtDlp]\r\nProgram="
                                      << standIn << "\r\n";
  resolve::SetYtDlpChoice({standIn, ""});
  const std::string link = "http://dash.example.net/watch/pair";
  const resolve::TResolvedJob read =
      resolve::MakeYtDlpResolver()->Resolve(resolve::MakeRequest(link, {}, 90, nullptr));
  resolve::SetYtDlpChoice({});
  ASSERT_TRUE(read.Ok) << read.Failure;
  ASSERT_FALSE(read.Qualities[static_cast<size_t>(read.DefaultQuality)].Audio.Url.empty());
  {
    TJournal journal(box / "jobs.db");
    std::vector<TJobSnapshot> none;
    ASSERT_TRUE(journal.Open(none)) << journal.LastError();
    TJobSnapshot job = JobAsRead(journal, link, read);
    job.DurationSec = 20;
    journal.Put(job);
    ASSERT_TRUE(journal.Flush(std::chrono::seconds(10)));
  }

  TJournalReader reader(box / "jobs.db");
  auto waitFor = [&](const std::function<bool()>& done, int seconds) {
    return reader.WaitFor(done, seconds);
  };
  auto kept = [&] {
    return std::stoll(reader.Column("SELECT coalesce(sum(done), 0) FROM segments").at(0));
  };
  const long long whole = static_cast<long long>(fs::file_size(video));
  // The part under way, as the journal has it, with at least least bytes of it kept.
  auto fetching = [&](const std::string& part, long long least) {
    const std::vector<std::string> media = reader.Column("SELECT media_file FROM jobs");
    return reader.Any(jsDownloading) && media.size() == 1 && media[0].size() > part.size() &&
           media[0].compare(media[0].size() - part.size(), part.size(), part) == 0 &&
           kept() >= least;
  };
  long long videoKept = 0;
  for (const char* part : {".video", ".audio"}) {
    const bool first = std::string(part) == ".video";
    const pid_t pid = Launch(box.path());
    // Past half the video: a download that started over would ask for all of it again.
    const bool under = waitFor([&] { return fetching(part, first ? whole / 2 : 1); }, 90);
    Kill(pid);
    ASSERT_TRUE(under) << part << "\n" << ReadAll(box / "runs.txt") << ReadAll(box / "Log.txt");
    if (first) {
      videoKept = kept();
      sim.ClearRequests();
    }
  }
  const pid_t pid = Launch(box.path());
  const bool done = waitFor([&] { return reader.All(jsDone); }, 120);
  const std::string log = ReadAll(box / "Log.txt");
  Kill(pid);
  ASSERT_TRUE(done) << log;

  const std::vector<std::string> media = reader.Column("SELECT media_file FROM jobs");
  ASSERT_EQ(media.size(), 1u);
  FILE* pipe = ::popen(("ffprobe -v error -show_entries format=duration -of csv=p=0 'file:" +
                        media[0] + "'").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char probe[64] = {};
  const bool got = std::fgets(probe, sizeof probe, pipe) != nullptr;
  ::pclose(pipe);
  ASSERT_TRUE(got) << media[0];
  EXPECT_NEAR(std::atof(probe), 20.0, 0.5) << media[0];
  std::string files;
  for (const auto& entry : fs::directory_iterator(box / "out"))
    files += entry.path().filename().string() + " ";
  EXPECT_EQ(files, fs::path(media[0]).filename().string() + " ");
  // Every range of the video asked for after the first kill.
  long long asked = 0;
  for (const auto& r : sim.Requests()) {
    long long from = 0, to = -1;
    if (r.Method == "GET" && r.Target.find("/media/v.mp4") != std::string::npos &&
        std::sscanf(r.Header("Range").c_str(), "bytes=%lld-%lld", &from, &to) == 2)
      asked += to - from + 1;
  }
  // The ranges under way at the kill (one chunk per part) may come again.
  EXPECT_LE(asked, whole - videoKept + kSegments * 40000 + whole / 20)
      << "video of " << whole << " bytes, " << videoKept << " kept";
  std::printf("pair kill test: video of %lld bytes, %lld kept at the kill, %lld asked after it\n",
              whole, videoKept, asked);
}

// Links still being read when the program is killed come back as rows to
// read, and the next start reads them.
TEST(JournalKillTest, LinksBeingReadAtAKillAreReadAgainAfterTheRestart) {
  testsupport::TempDir box;
  const std::string bin = testsupport::BinDir();
  for (const char* name : {"vantorel", "cvtcore", "presets.ini"})
    fs::copy_file(bin + name, box / name);
  fs::create_directory(box / "out");
  sitesim::TSiteSim sim;
  sitesim::TFault hang;
  hang.DelayMs = 600000;
  for (const char* id : {"read0", "read1"}) {
    sitesim::TStream stream;
    stream.Size = 1000;
    sim.AddVideo(sitesim::TVideo{id, std::string("Clip ") + id, 200, {stream}, {}, hang});
  }
  sim.Start();
  std::ofstream(box / "settings.ini") << "[General]\r\nFolder=" << box / "out"
                                      << "\r\n[Options]\r\nIsProxy=1\r\nProxyAdress=127.0.0.1"
                                      << "\r\nProxyPort=" << sim.Port() << "\r\n";
  // The rows as a paste leaves them while their pages are read.
  {
    TJournal journal(box / "jobs.db");
    std::vector<TJobSnapshot> none;
    ASSERT_TRUE(journal.Open(none)) << journal.LastError();
    for (const char* id : {"read0", "read1"}) {
      TJobSnapshot job;
      job.Key = journal.NewKey();
      job.State = jsReading;
      job.IsLink = true;
      job.Source = sim.WatchUrl(id);
      job.Title = job.Source;
      job.Mode = jmDownloadConvert;
      journal.Put(job);
    }
    ASSERT_TRUE(journal.Flush(std::chrono::seconds(10)));
  }
  TJournalReader reader(box / "jobs.db");
  auto waitFor = [](const std::function<bool()>& done) {
    const auto until = Clock::now() + std::chrono::seconds(60);
    while (!done() && Clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return done();
  };

  pid_t pid = Launch(box.path());
  const bool reading = waitFor([&] { return sim.PagesInFlight() == 2; });
  Kill(pid);
  ASSERT_TRUE(reading) << ReadAll(box / "runs.txt") << ReadAll(box / "Log.txt");
  reader.Read();
  EXPECT_EQ(reader.states, (std::vector<int>{jsReading, jsReading}));

  for (const char* id : {"read0", "read1"}) sim.SetPageFault(id, sitesim::TFault{});
  pid = Launch(box.path());
  const bool read = waitFor([&] {
    reader.Read();
    return reader.All(jsNew);
  });
  Kill(pid);
  ASSERT_TRUE(read) << ReadAll(box / "Log.txt");
  EXPECT_EQ(reader.Column("SELECT title FROM jobs ORDER BY id"),
            (std::vector<std::string>{"Clip read0", "Clip read1"}));
}

}  // namespace
