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

TEST(DirectLinks, WhatCountsAsOne) {
  for (const char* text :
       {"https://example.org/talks/keynote.mp4", "http://h/a.MP3?name=x.txt",
        " http://h/a.webm\r\n", "http://user@h:8080/a/b.flac#t=3", "HTTP://h/a.Mkv"})
    EXPECT_TRUE(IsDirectMediaLink(text)) << text;
  for (const char* text :
       {"http://h/a.mp4 and more", "see http://h/a.mp4", "http://h/a b.mp4", "http://h/a.txt",
        "http://h/?f=a.mp4", "http://h/dir.mp4/", "http://h/.mp4", "ftp://h/a.mp4", "file:///a.mp4",
        "http:///a.mp4", "http://h", "http://www.youtube.com/a.mp4",
        "https://www.youtube.com/watch?v=abc", "http://h/a.mp4\nhttp://h/b.mp4"})
    EXPECT_FALSE(IsDirectMediaLink(text)) << text;
}

TEST(DirectLinks, TheJobComesFromTheLinkAlone) {
  TMemoryJobGrid grid;
  TEncItem job;
  AttachJobToRow(job, grid, grid.AppendRow());
  job.Source = " https://h/m/Caf%C3%A9%20Cr%C3%A8me+1.Ogg?dl=1\r\n";
  ASSERT_TRUE(MakeDirectLinkJob(&job));
  EXPECT_EQ(job.Title, "Café Crème+1");
  EXPECT_EQ(job.DurationSec, 0);
  ASSERT_EQ(job.Qualities.size(), 1u);
  EXPECT_EQ(job.Qualities[0].Name, "OGG");
  EXPECT_EQ(job.Qualities[0].Link.Ext, ".Ogg");
  EXPECT_EQ(job.StreamUrl, "https://h/m/Caf%C3%A9%20Cr%C3%A8me+1.Ogg?dl=1");
  EXPECT_EQ(job.Qualities[0].Link.Url, job.StreamUrl);
  EXPECT_EQ(job.QualityIndex, 0);
  EXPECT_EQ(grid.CellText(colQuality, 0), "OGG");
  EXPECT_FALSE(job.IsVideo);
  job.Source = "http://h/clip.MP4";
  ASSERT_TRUE(MakeDirectLinkJob(&job));
  EXPECT_TRUE(job.IsVideo);
  job.Source = "http://www.youtube.com/watch?v=abc";
  EXPECT_FALSE(MakeDirectLinkJob(&job));
  EXPECT_EQ(job.Title, "clip");
}

TEST(DirectLinks, ListsOfLinksSplitOnlyWhenEveryLineIsOne) {
  const std::string site = "http://www.youtube.com/watch?v=abc";
  using Lines = std::vector<std::string>;
  EXPECT_EQ(LinkListLines(site + "\r\n\r\n http://h/a.mp3 \nhttp://h/b.mp4"),
            (Lines{site, " http://h/a.mp3 ", "http://h/b.mp4"}));
  EXPECT_EQ(LinkListLines(site + "\nhello\nhttp://h/a.mp3"), Lines{});
  EXPECT_EQ(LinkListLines(site + "\r\n"), Lines{});  // one link: one text, as ever
  EXPECT_EQ(LinkListLines("http://h/a.mp3 http://h/b.mp3\nhttp://h/c.mp3"), Lines{});
}
