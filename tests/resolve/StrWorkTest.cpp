#include <gtest/gtest.h>

#include "platform/RegExpr.h"
#include "resolve/InetEng.h"
#include "resolve/StrWork.h"

TEST(MatchAll, AppendsEveryMatchInOrderWithoutClearing) {
  std::vector<std::string> list{"kept"};
  EXPECT_TRUE(MatchAll("a1 b22 c333", "[0-9]+", list));
  EXPECT_EQ(list, (std::vector<std::string>{"kept", "1", "22", "333"}));

  EXPECT_FALSE(MatchAll("none here", "[0-9]+", list));
  EXPECT_EQ(list.size(), 4u);
  EXPECT_THROW(MatchAll("x", "(unclosed", list), platform::ERegExpr);
}

TEST(MatchAll, CaseInsensitiveLazyDotAllAndEndsAtZeroByte) {
  std::vector<std::string> list;
  EXPECT_TRUE(MatchAll("<TITLE>A\r\nB</TITLE><title>C</title>", "<title>.*?</title>", list));
  EXPECT_EQ(list, (std::vector<std::string>{"<TITLE>A\r\nB</TITLE>", "<title>C</title>"}));

  list.clear();
  EXPECT_TRUE(MatchAll(std::string("abc\0abc", 7), "abc", list));
  EXPECT_EQ(list.size(), 1u);
}

TEST(MatchAllText, JoinsWithCrLfAndSwallowsFailures) {
  EXPECT_EQ(MatchAllText("x=1, y=2", "[a-z]=[0-9]"), "x=1\r\ny=2\r\n");
  EXPECT_EQ(MatchAllText("nothing", "[0-9]"), "");
  EXPECT_EQ(MatchAllText("x", "(unclosed"), "");
}

TEST(TextBetween, KeepsTheOneBasedQuirks) {
  EXPECT_EQ(TextBetween("<title>Name - YouTube</title>", "<title>", "- YouTube"), "Name ");
  // Stop marker missing: everything after the start marker but its last character.
  EXPECT_EQ(TextBetween("&itag=22,", "&itag=", "&"), "22");
  // Start marker missing: the first L-1 characters go, then up to the stop marker.
  EXPECT_EQ(TextBetween("abcdefghSTOPxyz", "<title>", "STOP"), "gh");
  // Neither: the rest loses its first L-1 and last characters, then one more.
  EXPECT_EQ(TextBetween("abcdefghij", "<title>", "STOP"), "gh");
  EXPECT_EQ(TextBetween("", "<title>", "x"), "");
  EXPECT_EQ(TextBetween("abc", "<title>", "x"), "");
  // An empty marker is never found; the text is then taken whole.
  EXPECT_EQ(TextBetween("abc,def", "", ","), "abc");
  EXPECT_EQ(TextBetween("abc", "a", ""), "b");
  // Zero bytes are ordinary characters here.
  EXPECT_EQ(TextBetween(std::string("[a\0b]", 5), "[", "]"), std::string("a\0b", 3));
}

TEST(UrlDecode, PlusEscapesAndShortTails) {
  EXPECT_EQ(UrlDecode("a+b"), "a b");
  EXPECT_EQ(UrlDecode("%41%4a%4A%6a"), "AJJj");
  EXPECT_EQ(UrlDecode("%C3%A9"), "\xC3\xA9");
  EXPECT_EQ(UrlDecode("100%"), "100%");
  EXPECT_EQ(UrlDecode("ab%4"), "ab%");
  EXPECT_EQ(UrlDecode("%"), "%");
  // Other characters follow the old code arithmetic: 'z' counts 35, 'G' 16.
  EXPECT_EQ(UrlDecode("%zz"), "S");  // (35*16+35) mod 256 = 83
  EXPECT_EQ(UrlDecode("%G0x"), std::string("\0x", 2));
  EXPECT_EQ(UrlDecode("%%41"), "T1");  // '%' counts 245: 245*16+4 = 84 mod 256
}
