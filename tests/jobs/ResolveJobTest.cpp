#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "jobs/MemoryJobGrid.h"
#include "jobs/Resolve.h"
#include "log/LogWriter.h"
#include "resolve/InetEng.h"
#include "tests/support/TestSupport.h"
#include "tools/sitesim/SiteSim.h"

namespace {

sitesim::TVideo Video(const std::string& id, std::vector<int> itags, int length = 212) {
  sitesim::TVideo v;
  v.Id = id;
  v.Title = "Clip " + id;
  v.LengthSeconds = length;
  for (int itag : itags) {
    sitesim::TStream s;
    s.Itag = itag;
    s.Data = "stream " + std::to_string(itag);
    v.Streams.push_back(s);
  }
  return v;
}

// The simulator as the fetcher's proxy, a job in a row and a log to read back.
class ResolveJobTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim.Start();
    const uint16_t port = sim.Port();
    resolve::SetFetchProxySource([port] { return TFetchProxy{true, "127.0.0.1", port, "", ""}; });
    writer.SetEnabled(true);
    writer.SetLogFile(dir / "Log.txt");
    SetMainLogWriter(&writer);
    AttachJobToRow(job, grid, grid.AppendRow());
  }
  void TearDown() override {
    SetMainLogWriter(nullptr);
    resolve::SetFetchProxySource(nullptr);
    resolve::SetFetchTimeouts({});
  }
  std::string Log() const {
    std::ifstream in(dir / "Log.txt", std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  sitesim::TSiteSim sim;
  testsupport::TempDir dir;
  TLogWriter writer;
  TMemoryJobGrid grid;
  TEncItem job;
};

}  // namespace

TEST_F(ResolveJobTest, FirstKnownQualityIsChosenAndShown) {
  sim.AddVideo(Video("abc", {35, 22, 18}));
  job.Source = sim.WatchUrl("abc") + "&feature=related";
  ASSERT_TRUE(ResolveJob(&job));
  EXPECT_EQ(job.QualityIndex, 0);
  ASSERT_EQ(job.Qualities.size(), 3u);
  EXPECT_EQ(job.Qualities[0].Name, "FLV HQ (480p)");
  EXPECT_EQ(job.StreamUrl, sim.StreamUrl("abc", 0));
  EXPECT_EQ(grid.CellText(colQuality, 0), "FLV HQ (480p)");
  EXPECT_EQ(job.Title, "Clip abc");
  EXPECT_EQ(job.DurationSec, 212);
  EXPECT_EQ(job.Notes, "");
  EXPECT_EQ(Log(), "");
}

TEST_F(ResolveJobTest, UnknownFormatsAreSkippedAndMissingLengthKeepsZero) {
  sim.AddVideo(Video("abc", {7, 99, 18}, -1));
  job.Source = sim.WatchUrl("abc");
  ASSERT_TRUE(ResolveJob(&job));
  EXPECT_EQ(job.QualityIndex, 2);
  EXPECT_EQ(job.StreamUrl, sim.StreamUrl("abc", 2));
  EXPECT_EQ(job.DurationSec, 0);
}

TEST_F(ResolveJobTest, OnlyUnknownFormatsFailWithAWarning) {
  sim.AddVideo(Video("abc", {7, 99}));
  job.Source = sim.WatchUrl("abc");
  EXPECT_FALSE(ResolveJob(&job));
  EXPECT_EQ(job.QualityIndex, -1);
  EXPECT_EQ(job.StreamUrl, "");
  EXPECT_EQ(job.Notes, "Warning: List index out of bounds (-1)\r");
  EXPECT_NE(Log().find(": Warning: List index out of bounds (-1)\r\r\n"), std::string::npos);
}

TEST_F(ResolveJobTest, UnreachablePageFailsWithTheLinkAsTitle) {
  job.Source = sim.WatchUrl("abc");
  job.Qualities.push_back({"stale", {"u", ".mp4"}});
  sim.Stop();
  EXPECT_FALSE(ResolveJob(&job));
  EXPECT_TRUE(job.Qualities.empty());
  EXPECT_EQ(job.Notes, "parse youtube error\r");
  EXPECT_EQ(job.Title, job.Source);
  EXPECT_EQ(job.QualityIndex, -1);
  // One entry: time stamp, ": ", the notes (ending in CR), CR LF.
  const std::string log = Log();
  EXPECT_EQ(log.size(), std::string("dd.mm.yyyy hh:mm:ss: parse youtube error\r\r\n").size());
  EXPECT_EQ(log.substr(19), ": parse youtube error\r\r\n");
}

TEST_F(ResolveJobTest, PageCutOffByTheFetchLimitsSaysWhy) {
  sim.AddVideo(Video("abc", {18}));
  sitesim::TFault endless;
  endless.EndlessBody = true;
  sim.SetPageFault("abc", endless);
  resolve::SetFetchTimeouts({60, 60, 60, 1 << 16});
  job.Source = sim.WatchUrl("abc");
  EXPECT_FALSE(ResolveJob(&job));
  EXPECT_EQ(job.Notes, "Warning: The page is larger than 65536 bytes\rparse youtube error\r");
  EXPECT_EQ(Log().substr(19), ": " + job.Notes + "\r\n");
}

TEST(IntakeText, VideoIdInfoAddressAndVideoExtensions) {
  EXPECT_EQ(LinkVideoId("http://www.youtube.com/watch?v=abc&feature=x&y=z"), "abc");
  EXPECT_EQ(LinkVideoId("http://www.youtube.com/watch?v=abc"), "abc");
  EXPECT_EQ(LinkVideoId("see http://www.youtube.com/watch?v=q1 now"), "q1 now");
  EXPECT_EQ(LinkVideoId("http://www.youtube.com/"), "");
  EXPECT_EQ(VideoInfoUrl("abc"), "http://www.youtube.com/get_video_info?video_id=abc");

  EXPECT_TRUE(IsVideoFile("/m/clip.mp4"));
  EXPECT_TRUE(IsVideoFile("/m/clip.m4v"));
  EXPECT_TRUE(IsVideoFile("/m/a.b.3g2"));
  EXPECT_FALSE(IsVideoFile("/m/song.mp3"));
  EXPECT_FALSE(IsVideoFile("/m/CLIP.MP4"));
  EXPECT_FALSE(IsVideoFile("/m.mp4/clip"));
  EXPECT_FALSE(IsVideoFile("/m/mp4"));
}
