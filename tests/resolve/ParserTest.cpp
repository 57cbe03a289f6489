#include <gtest/gtest.h>

#include <random>

#include "resolve/Resolution.h"
#include "resolve/youparse.h"
#include "tools/sitesim/SiteSim.h"

namespace {

// One stream entry as the site writes it inside the script string.
std::string Entry(const std::string& encodedUrl, const std::string& itag,
                  const std::string& quality = "medium") {
  return "url=" + encodedUrl + "\\u0026quality=" + quality +
         "\\u0026type=video%2Fmp4%3B+codecs%3D%22avc1%22\\u0026itag=" + itag;
}

std::string Enc(int n) {  // http://r1.s.invalid/videoplayback?id=v&n=<n>
  return "http%3A%2F%2Fr1.s.invalid%2Fvideoplayback%3Fid%3Dv%26n%3D" + std::to_string(n);
}
std::string Dec(int n) {
  return "http://r1.s.invalid/videoplayback?id=v&n=" + std::to_string(n);
}

std::string Page(const std::string& map, const std::string& title = "Clip",
                 const std::string& length = "\"length_seconds\": 212, ") {
  return "<html><head><title>\n  " + title + " - YouTube\n</title></head><body><script>var c = {" +
         length + "\"url_encoded_fmt_stream_map\": \"" + map +
         "\", \"hl\": \"en\"};</script></html>";
}

TQualityList Read(const std::string& page, std::string* title = nullptr,
                  std::string* length = nullptr) {
  TQualityList list{{"stale", {"x", "y"}}};
  std::string t, l;
  ReadWatchPage(page, list, t, l);
  if (title) *title = t;
  if (length) *length = l;
  return list;
}

}  // namespace

TEST(QualityName, TableAndUndefined) {
  EXPECT_EQ(QualityName("5"), "FLV (320*240)");
  EXPECT_EQ(QualityName("18"), "MP4 (240p)");
  EXPECT_EQ(QualityName("22"), "MP4 HD (720p)");
  EXPECT_EQ(QualityName("34"), "FLV (360p)");
  EXPECT_EQ(QualityName("35"), "FLV HQ (480p)");
  EXPECT_EQ(QualityName("37"), "undefined (37)");
  EXPECT_EQ(QualityName("x1"), "undefined (x1)");
  EXPECT_EQ(QualityName(""), "undefined ()");
  EXPECT_EQ(QualityName("99999999999999999999"), "undefined (99999999999999999999)");
}

TEST(ReadWatchPage, FourKnownStreamsInPageOrder) {
  std::string title, length;
  auto list = Read(Page(Entry(Enc(0), "22", "hd720") + "," + Entry(Enc(1), "34") + "," +
                        Entry(Enc(2), "18") + "," + Entry(Enc(3), "5", "small")),
                   &title, &length);
  ASSERT_EQ(list.size(), 4u);
  const char* names[] = {"MP4 HD (720p)", "FLV (360p)", "MP4 (240p)", "FLV (320*240)"};
  const char* exts[] = {".mp4", ".flv", ".mp4", ".flv"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(list[i].Name, names[i]);
    EXPECT_EQ(list[i].Link.Ext, exts[i]);
    EXPECT_EQ(list[i].Link.Url, Dec(i));
  }
  EXPECT_EQ(title, "Clip");
  EXPECT_EQ(length, "212");
}

TEST(ReadWatchPage, UnknownItagsDuplicatesAndAddressDecoding) {
  auto list =
      Read(Page(Entry(Enc(0), "37") + "," + Entry(Enc(1), "18") + "," + Entry(Enc(2), "18") + "," +
                // lower-case and other escapes stay; %252F ends up as %2F
                Entry("http%3A%2F%2Fh.invalid%2Fa%2fb%2C%252F", "22")));
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].Name, "undefined (37)");
  EXPECT_EQ(list[0].Link.Ext, ".mp4");
  EXPECT_EQ(list[1].Name, list[2].Name);
  EXPECT_EQ(list[1].Link.Url, Dec(1));
  EXPECT_EQ(list[2].Link.Url, Dec(2));
  EXPECT_EQ(list[3].Link.Url, "http://h.invalid/a%2fb%2C%2F");
}

TEST(ReadWatchPage, EntriesWithoutAddressAreDroppedWithoutItagAreUndefined) {
  // "sig=..." first: no address at the start of the list, so no "&quality=" after it.
  std::string noAddress = "sig=1\\u0026url=ftp%3A%2F%2Fx\\u0026itag=22";
  std::string noItag = "url=" + Enc(7) + "\\u0026quality=medium";
  std::string addressOnly = "url=" + Enc(8);
  auto list = Read(Page(noAddress + "," + noItag + "," + addressOnly + "," + Entry(Enc(9), "18")));
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].Link.Url, Dec(7));
  EXPECT_NE(list[0].Name.find("undefined ("), std::string::npos);
  EXPECT_EQ(list[1].Name, "MP4 (240p)");
  EXPECT_EQ(list[1].Link.Url, Dec(9));
}

TEST(ReadWatchPage, TitleForms) {
  std::string title;
  Read(Page(Entry(Enc(0), "18"), "Rock+%26+Roll %C3%A9t%C3%A9"), &title);
  EXPECT_EQ(title, "Rock & Roll \xC3\xA9t\xC3\xA9");

  Read("<title>\r\n Just a name \r\n</title>", &title);
  EXPECT_EQ(title, "Just a name \r\n</title>");

  // Invalid UTF-8: a lone lead byte, a cut-off sequence, an overlong form.
  for (const char* bad : {"bad \xC3 byte", "cut %E2%82", "%C0%AF", "%ED%A0%80"}) {
    Read(Page(Entry(Enc(0), "18"), bad), &title);
    EXPECT_EQ(title, "") << bad;
  }
  Read(Page(Entry(Enc(0), "18"), "&amp; stays"), &title);
  EXPECT_EQ(title, "&amp; stays");
  Read("no title element", &title);
  EXPECT_EQ(title, "");
}

TEST(ReadWatchPage, RunningTimeFirstOccurrenceOrEmpty) {
  std::string length;
  Read(Page(Entry(Enc(0), "18"), "t", "\"length_seconds\": 61, \"length_seconds\": 99, "), nullptr,
       &length);
  EXPECT_EQ(length, "61");
  Read(Page(Entry(Enc(0), "18"), "t", ""), nullptr, &length);
  EXPECT_EQ(length, "");
}

TEST(ReadWatchPage, ReadsTheSimulatorsPage) {
  sitesim::TSiteSim sim;
  sitesim::TVideo v;
  v.Id = "x-Y_z.9";
  v.Title = "Sim+title";
  v.LengthSeconds = 7;
  v.Streams.resize(3);
  v.Streams[0].Itag = 37;
  v.Streams[1].Itag = 35;
  v.Streams[2].Itag = 5;
  v.Streams[2].Host = "www.youtube.com";
  sim.AddVideo(v);
  std::string title, length;
  auto list = Read(sim.WatchPage(v.Id), &title, &length);
  ASSERT_EQ(list.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(list[i].Link.Url, sim.StreamUrl(v.Id, i));
  EXPECT_EQ(list[1].Name, "FLV HQ (480p)");
  EXPECT_EQ(title, "Sim title");
  EXPECT_EQ(length, "7");
}

TEST(ResolveWatchPage, DefaultQualityDurationAndNotes) {
  auto r = ResolveWatchPage(
      Page(Entry(Enc(0), "35") + "," + Entry(Enc(1), "22") + "," + Entry(Enc(2), "18")));
  EXPECT_TRUE(r.Ok);
  EXPECT_EQ(r.QualityIndex, 0);
  EXPECT_EQ(r.Qualities[0].Name, "FLV HQ (480p)");
  EXPECT_EQ(r.StreamUrl, Dec(0));
  EXPECT_TRUE(r.HasDuration);
  EXPECT_EQ(r.DurationSec, 212);

  r = ResolveWatchPage(
      Page(Entry(Enc(0), "37") + "," + Entry(Enc(1), "43") + "," + Entry(Enc(2), "18"), "t", ""));
  EXPECT_TRUE(r.Ok);
  EXPECT_EQ(r.QualityIndex, 2);
  EXPECT_EQ(r.StreamUrl, Dec(2));
  EXPECT_FALSE(r.HasDuration);

  r = ResolveWatchPage(Page(Entry(Enc(0), "37")));
  EXPECT_FALSE(r.Ok);
  EXPECT_FALSE(r.ParseError);
  EXPECT_EQ(r.Warning, "List index out of bounds (-1)");
  EXPECT_EQ(r.QualityIndex, -1);

  r = ResolveWatchPage("");
  EXPECT_FALSE(r.Ok);
  EXPECT_TRUE(r.ParseError);
  EXPECT_EQ(r.Title, "");
}

// Hostile input: every outcome is acceptable as long as it ends and does not crash.
TEST(ReadWatchPage, SurvivesHostilePages) {
  std::mt19937 rng(42);
  const std::string good = Page(Entry(Enc(0), "22") + "," + Entry(Enc(1), "18"), "T");
  for (size_t cut = 0; cut < good.size(); cut += 7) ResolveWatchPage(good.substr(0, cut));

  std::string random(3 << 20, '\0');
  for (auto& c : random) c = static_cast<char>(rng());
  ResolveWatchPage(random);
  ResolveWatchPage("<title>" + random);

  std::string nested;
  while (nested.size() < (3u << 20))
    nested += "<title><div \"url_encoded_fmt_stream_map\": \"=http";
  auto r = ResolveWatchPage(nested);
  EXPECT_FALSE(r.Ok);

  // A stream map of a few megabytes of entries without itags or addresses.
  std::string map;
  while (map.size() < (2u << 20)) map += "=httpxxxx\\u0026quality=,url=\\u0026itag=,";
  ResolveWatchPage(Page(map));
}
