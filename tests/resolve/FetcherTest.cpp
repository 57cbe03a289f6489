#include <gtest/gtest.h>
#include <stdlib.h>

#include <sstream>

#include "resolve/InetEng.h"
#include "tools/sitesim/SiteSim.h"

namespace {

// Every case starts from an empty proxy environment and the default limits.
class Fetcher : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"http_proxy", "https_proxy", "all_proxy", "no_proxy", "HTTPS_PROXY",
                             "ALL_PROXY", "NO_PROXY"})
      ::unsetenv(name);
    sitesim::TVideo v;
    v.Id = "abc";
    v.Title = "Clip";
    v.Streams.resize(2);
    v.Streams[0].Itag = 22;
    v.Streams[0].Data = std::string("a\0b\0\0c", 6);
    v.Streams[1].Size = 300000;
    sim.AddVideo(v);
    sim.Start();
  }
  void TearDown() override {
    resolve::SetFetchProxySource(nullptr);
    resolve::SetFetchTimeouts({});
  }
  TFetchProxy Proxy() const { return {true, "127.0.0.1", sim.Port(), "", ""}; }

  sitesim::TSiteSim sim;
};

}  // namespace

TEST_F(Fetcher, DirectRequestCarriesIdentityAndNoCacheHeaders) {
  EXPECT_EQ(InetGetText(sim.DirectUrl(sim.WatchUrl("abc")), {}), sim.WatchPage("abc"));
  auto reqs = sim.Requests();
  ASSERT_EQ(reqs.size(), 1u);
  EXPECT_EQ(reqs[0].Method, "GET");
  EXPECT_EQ(reqs[0].Target, "/watch?v=abc");
  EXPECT_EQ(reqs[0].Header("User-Agent"), resolve::kFetchUserAgent);
  EXPECT_EQ(reqs[0].Header("Cache-Control"), "no-cache");
  EXPECT_EQ(reqs[0].Header("Pragma"), "no-cache");
  EXPECT_FALSE(reqs[0].HasHeader("Accept-Encoding"));
  EXPECT_FALSE(reqs[0].HasHeader("Proxy-Authorization"));
}

TEST_F(Fetcher, ThroughTheProxyOptionWithAndWithoutCredentials) {
  EXPECT_EQ(InetGetText(sim.WatchUrl("abc"), Proxy()), sim.WatchPage("abc"));
  EXPECT_EQ(sim.Requests().at(0).Target, "http://www.youtube.com/watch?v=abc");

  sim.SetProxyAuth(true, "user", "secret");
  TFetchProxy p = Proxy();
  // Without credentials the proxy's 407 page is the body, like any error status.
  EXPECT_NE(InetGetText(sim.WatchUrl("abc"), p).find("Proxy authentication required"),
            std::string::npos);
  p.ProxyUser = "user";
  p.ProxyPassword = "secret";
  EXPECT_EQ(InetGetText(sim.WatchUrl("abc"), p), sim.WatchPage("abc"));
  EXPECT_EQ(sim.Requests().back().Header("Proxy-Authorization"), "Basic dXNlcjpzZWNyZXQ=");
}

TEST_F(Fetcher, ProxyOffFollowsTheProxyEnvironment) {
  ::setenv("http_proxy", ("http://" + sim.ProxyAddress()).c_str(), 1);
  EXPECT_EQ(InetGetText(sim.WatchUrl("abc"), {}), sim.WatchPage("abc"));
  // The one-argument form asks the bound source at every call.
  resolve::SetFetchProxySource([] { return TFetchProxy{}; });
  EXPECT_EQ(InetGetText(sim.WatchUrl("abc")), sim.WatchPage("abc"));
  ::setenv("no_proxy", "www.youtube.com", 1);
  EXPECT_EQ(InetGetText(sim.WatchUrl("abc")), "");  // the real name does not resolve here
}

TEST_F(Fetcher, ErrorPagesBinaryBodiesAndRedirects) {
  std::string page = InetGetText(sim.WatchUrl("nosuch"), Proxy());
  EXPECT_NE(page.find("This video does not exist."), std::string::npos);

  std::string body = InetGetText(sim.StreamUrl("abc", 0), Proxy());
  EXPECT_EQ(body, std::string("a\0b\0\0c", 6));
  EXPECT_EQ(InetGetText(sim.StreamUrl("abc", 1), Proxy()), sim.StreamBody("abc", 1));

  sitesim::TFault moved;
  moved.Status = 302;
  moved.Location = sim.StreamUrl("abc", 0);
  sim.SetPageFault("abc", moved);
  EXPECT_EQ(InetGetText(sim.WatchUrl("abc"), Proxy()), std::string("a\0b\0\0c", 6));
}

TEST_F(Fetcher, UnreachableTargetsGiveFalseAndEmpty) {
  std::ostringstream sink;
  EXPECT_FALSE(InetGetStream("http://nohost.invalid/watch?v=abc", sink, {}));
  EXPECT_EQ(InetGetText("http://nohost.invalid/", {}), "");
  TFetchProxy noHost = Proxy();
  noHost.ProxyAdress.clear();
  EXPECT_EQ(InetGetText(sim.WatchUrl("abc"), noHost), "");
  // Only web addresses are fetched, whatever the link text holds.
  EXPECT_EQ(InetGetText("file:///etc/hostname?http://www.youtube.com/", {}), "");
  EXPECT_EQ(resolve::ProxyText({true, "proxy.lan", 0, "", ""}), "proxy.lan:0");

  sitesim::TFault away;
  away.Status = 301;
  away.Location = "http://nohost.invalid/";
  sim.SetPageFault("abc", away);
  EXPECT_FALSE(InetGetStream(sim.DirectUrl(sim.WatchUrl("abc")), sink, {}));

  TFetchProxy p = Proxy();
  sim.Stop();
  EXPECT_EQ(InetGetText(sim.WatchUrl("abc"), p), "");
}

TEST_F(Fetcher, SilentServerEndsTheCall) {
  resolve::SetFetchTimeouts({5, 1});
  sitesim::TFault f;
  f.StallAfterBytes = 1;  // more would keep libcurl's 5 s speed average above the limit
  sim.SetPageFault("abc", f);
  // A transfer that breaks off keeps what arrived.
  std::ostringstream sink;
  EXPECT_TRUE(InetGetStream(sim.WatchUrl("abc"), sink, Proxy()));
  EXPECT_EQ(sink.str(), sim.WatchPage("abc").substr(0, 1));

  f = {};
  f.DelayMs = 30000;  // no response at all
  sim.SetPageFault("abc", f);
  EXPECT_EQ(InetGetText(sim.WatchUrl("abc"), Proxy()), "");
}

TEST_F(Fetcher, LinkTextIsSentWithoutSurroundingBlanksAndWithInnerBlanksEncoded) {
  EXPECT_EQ(InetGetText(" \t" + sim.WatchUrl("abc") + "\r\n", Proxy()), sim.WatchPage("abc"));
  EXPECT_EQ(sim.Requests().back().Target, sim.WatchUrl("abc"));
  InetGetText(sim.WatchUrl("abc") + "&x=a b\n", Proxy());
  EXPECT_EQ(sim.Requests().back().Target, sim.WatchUrl("abc") + "&x=a%20b");
}

TEST_F(Fetcher, OverallLimitAndBodyCapFailTheFetchAndSayWhy) {
  resolve::SetFetchTimeouts({60, 60, 1, 1 << 20});
  sitesim::TFault trickle;
  trickle.RateBytesPerSec = 40;  // fast enough never to look stalled
  sim.SetPageFault("abc", trickle);
  std::string why;
  EXPECT_EQ(InetGetText(sim.WatchUrl("abc"), Proxy(), &why), "");
  EXPECT_EQ(why, "The page did not arrive within 1 s");

  sitesim::TFault endless;
  endless.EndlessBody = true;
  sim.SetPageFault("abc", endless);
  EXPECT_EQ(InetGetText(sim.WatchUrl("abc"), Proxy(), &why), "");
  EXPECT_EQ(why, "The page is larger than 1048576 bytes");

  sim.SetPageFault("abc", {});
  EXPECT_EQ(InetGetText(sim.WatchUrl("abc"), Proxy(), &why), sim.WatchPage("abc"));
  EXPECT_EQ(why, "");
  // A declared length above the cap fails before the body is read.
  resolve::SetFetchTimeouts({60, 60, 60, 1000});
  EXPECT_EQ(InetGetText(sim.StreamUrl("abc", 1), Proxy(), &why), "");
  EXPECT_EQ(why, "The page is larger than 1000 bytes");
}
