#include <gtest/gtest.h>

#include "download/clHttpRange.h"
#include "download/clInetProxy.h"

using namespace httprange;

TEST(HttpRange, ContentRangeTakesOnlyWellFormedValues) {
  auto cr = ParseContentRange("  Bytes  100-199/1000 ");
  ASSERT_TRUE(cr);
  EXPECT_EQ(cr->first, 100);
  EXPECT_EQ(cr->last, 199);
  EXPECT_EQ(cr->total, 1000);
  auto unknown = ParseContentRange("bytes 0-9/*");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->total, -1);
  EXPECT_EQ(ParseContentRange("bytes 5368706120-5368709119/5368709120")->last, 5368709119);
  for (const char* bad :
       {"bytes 0-9", "bytes 9-0/100", "bytes 0-100/100", "bytes -1-9/100", "bytes +0-9/100",
        "bytes 0- 9/100", "bytes 0-9/100x", "bytes 0-9/*x", "bytes */100", "bytes0-9/100",
        "items 0-9/100", "bytes 0-9/1000000000000000000000"})
    EXPECT_FALSE(ParseContentRange(bad)) << bad;
}

TEST(HttpRange, RangeHeaderAndTheAnswerThatFitsIt) {
  auto open = ParseRangeHeader(" bytes=100-");
  ASSERT_TRUE(open);
  EXPECT_FALSE(open->last);
  auto span = ParseRangeHeader("bytes=100-199");
  ASSERT_TRUE(span);
  EXPECT_EQ(*span->last, 199);
  for (const char* other : {"bytes=-500", "bytes=0-9,20-29", "bytes=9-0", "lines=0-9"})
    EXPECT_FALSE(ParseRangeHeader(other)) << other;

  EXPECT_TRUE(AnswerFits(*span, {100, 199, 1000}));
  EXPECT_TRUE(AnswerFits(*span, {100, 149, 150}));  // cut at the resource's end
  EXPECT_FALSE(AnswerFits(*span, {100, 149, 1000}));
  EXPECT_FALSE(AnswerFits(*span, {100, 149, -1}));
  EXPECT_FALSE(AnswerFits(*span, {0, 99, 1000}));
  EXPECT_TRUE(AnswerFits(*open, {100, 999, -1}));
}

TEST(InetProxy, ListEntriesBecomeCurlProxiesAndNoProxyLists) {
  using wininet::detail::NoProxyList;
  using wininet::detail::SelectProxy;
  EXPECT_EQ(SelectProxy("proxy:8080", "https"), "http://proxy:8080");
  EXPECT_EQ(SelectProxy("http=a:1;https=b:2 c:3", "https"), "http://b:2");
  EXPECT_EQ(SelectProxy("ftp=a:1 http://c:3/", "http"), "http://c:3");
  EXPECT_EQ(SelectProxy("ftp=a:1", "http"), "");
  EXPECT_EQ(NoProxyList("host1;*.example.org <local>, 10.0.0.1"), "host1,.example.org,10.0.0.1");
}
