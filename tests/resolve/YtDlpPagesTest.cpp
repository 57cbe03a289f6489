// What the installed yt-dlp (its generic reader) makes of ordinary pages of another
// host, fetched through the simulator as proxy.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Process.h"
#include "resolve/YtDlp.h"
#include "tests/support/TestSupport.h"
#include "tools/sitesim/SiteSim.h"

namespace {

const char* const kHost = "pages.example.net";

class YtDlpPages : public ::testing::Test {
 protected:
  void SetUp() override {
    if (platform::FindOnPath("yt-dlp").empty()) GTEST_SKIP() << "yt-dlp is not installed";
    sim.Start();
    options.Proxy.IsProxy = true;
    options.Proxy.ProxyAdress = sim.ProxyHost();
    options.Proxy.ProxyPort = sim.Port();
    sitesim::TStream clip;
    clip.Data = std::string(50000, 'c');
    sim.AddFile(kHost, "/media/clip.mp4", clip);
  }
  void Page(const std::string& path, const std::string& html) {
    sitesim::TStream page;
    page.Data = html;
    page.ContentType = "text/html";
    sim.AddFile(kHost, path, page);
  }
  std::string Url(const std::string& path) const { return sim.FileUrl(kHost, path); }

  sitesim::TSiteSim sim;
  TYtDlpOptions options;
};

TEST_F(YtDlpPages, VideoTagAndMetaTagPagesGiveOneEngineStream) {
  Page("/v.html",
       "<html><head><title>Tag page</title></head><body>"
       "<video src=\"/media/clip.mp4\" controls></video></body></html>");
  Page("/og.html", "<html><head><title>x</title><meta property=\"og:title\" content=\"Meta page\">"
                   "<meta property=\"og:video\" content=\"" + Url("/media/clip.mp4") +
                   "\"><meta property=\"og:video:type\" content=\"video/mp4\"></head></html>");
  for (const std::string& path : {std::string("/v.html"), std::string("/og.html")}) {
    const TYtResolution r = ResolveWithYtDlp(Url(path), options, false);
    ASSERT_TRUE(r.Ok) << path << ": " << r.Reason;
    EXPECT_EQ(r.WebpageUrl, Url(path));
    ASSERT_EQ(r.Qualities.size(), 1u) << path;
    const TQuality& q = r.Qualities[0];
    EXPECT_EQ(q.Name, "MP4");
    EXPECT_EQ(q.Link.Url, Url("/media/clip.mp4"));
    EXPECT_FALSE(q.Link.Hls);
    EXPECT_EQ(r.QualityIndex, 0);
    bool agent = false;
    for (const auto& [name, value] : q.Link.Headers) agent = agent || name == "User-Agent";
    EXPECT_TRUE(agent) << path;
  }
  EXPECT_EQ(ResolveWithYtDlp(Url("/v.html"), options, false).Title.rfind("Tag page", 0), 0u);
  EXPECT_EQ(ResolveWithYtDlp(Url("/og.html"), options, false).Title, "Meta page");
  // The page requests came through the proxy.
  bool seen = false;
  for (const auto& r : sim.Requests()) seen = seen || r.Target.find("/og.html") != std::string::npos;
  EXPECT_TRUE(seen);
}

// A page of several clips is a playlist whose entries are the clips, in page order.
TEST_F(YtDlpPages, PageOfTwoClipsIsAListingOfTwo) {
  sitesim::TStream other;
  other.Data = std::string(40000, 'd');
  sim.AddFile(kHost, "/media/other.mp4", other);
  Page("/two.html",
       "<html><head><title>Two clips</title></head><body><video src=\"/media/clip.mp4\"></video>"
       "<video src=\"/media/other.mp4\"></video></body></html>");
  const TYtResolution r = ResolveWithYtDlp(Url("/two.html"), options, false);
  ASSERT_TRUE(r.Playlist) << r.Reason;
  ASSERT_EQ(r.Listing.Entries.size(), 2u);
  EXPECT_EQ(r.Listing.Entries[0].Link, Url("/media/clip.mp4"));
  EXPECT_EQ(r.Listing.Entries[1].Link, Url("/media/other.mp4"));
  EXPECT_EQ(r.Listing.Entries[0].Title.rfind("Two clips", 0), 0u) << r.Listing.Entries[0].Title;
  EXPECT_EQ(r.Listing.Missing, 0);
}

TEST_F(YtDlpPages, HlsPageGivesAPlaylistLine) {
  if (platform::FindOnPath("ffmpeg").empty()) GTEST_SKIP() << "ffmpeg is not installed";
  testsupport::TempDir dir;
  platform::TProcess ff;
  platform::ProcessOptions onPath;
  onPath.searchPath = true;
  ASSERT_TRUE(ff.Start({"ffmpeg", "-v", "error", "-nostdin", "-f", "lavfi", "-i",
                        "sine=frequency=440:duration=4", "-c:a", "aac", "-f", "hls",
                        "-hls_time", "2", "-hls_list_size", "0", dir / "index.m3u8"},
                       onPath));
  char buffer[4096];
  while (ff.Read(buffer, sizeof buffer) > 0) {
  }
  ASSERT_EQ(ff.Wait(), 0);
  for (const auto& entry : std::filesystem::directory_iterator(dir.path())) {
    sitesim::TStream s;
    s.File = entry.path().string();
    s.ContentType = entry.path().extension() == ".m3u8" ? "application/vnd.apple.mpegurl"
                                                         : "video/mp2t";
    sim.AddFile(kHost, "/hls/" + entry.path().filename().string(), s);
  }
  Page("/live.html",
       "<html><head><title>Live page</title></head><body>"
       "<video src=\"/hls/index.m3u8\"></video></body></html>");
  const TYtResolution r = ResolveWithYtDlp(Url("/live.html"), options, false);
  ASSERT_TRUE(r.Ok) << r.Reason;
  ASSERT_FALSE(r.Qualities.empty());
  EXPECT_TRUE(r.Qualities[0].Link.Hls);
  EXPECT_EQ(r.Qualities[0].Link.Url, Url("/hls/index.m3u8"));
}

}  // namespace
