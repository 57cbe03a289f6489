#include <gtest/gtest.h>

#include <random>

#include "platform/RegExpr.h"

using platform::TRegExpr;

TEST(RegExpr, DefaultsAreDotAllGreedyCaseSensitive) {
  TRegExpr re;
  re.SetExpression("a.c");
  EXPECT_TRUE(re.Exec("xa\ncx"));
  EXPECT_EQ(re.MatchPos(0), 1u);
  re.SetExpression("ABC");
  EXPECT_FALSE(re.Exec("abc"));
  re.SetModifierI(true);
  EXPECT_TRUE(re.Exec("xabc"));
  re.SetExpression("<.*>");
  ASSERT_TRUE(re.Exec("<a><b>"));
  EXPECT_EQ(re.Match(0), "<a><b>");
  re.SetExpression("<.*?>");
  ASSERT_TRUE(re.Exec("<a><b>"));
  EXPECT_EQ(re.Match(0), "<a>");
}

TEST(RegExpr, GroupsNextSearchAndEmptyMatches) {
  TRegExpr re;
  re.SetExpression("Duration:\\s(\\d{2}):(\\d{2}):(\\d{2})");
  ASSERT_TRUE(re.Exec("  Duration: 00:03:25.43, start"));
  EXPECT_EQ(re.Match(1), "00");
  EXPECT_EQ(re.Match(2), "03");
  EXPECT_EQ(re.Match(3), "25");
  EXPECT_EQ(re.SubExprMatchCount(), 3);

  re.SetExpression("(x)|y");
  ASSERT_TRUE(re.Exec("y"));
  EXPECT_EQ(re.Match(1), "");  // group took no part
  EXPECT_EQ(re.MatchPos(1), std::string::npos);

  re.SetExpression("a*");
  int count = 0;
  for (bool ok = re.Exec("baab"); ok; ok = re.ExecNext()) ++count;
  EXPECT_EQ(count, 4);  // "", "aa", "", "" at positions 0, 1, 3, 4
}

TEST(RegExpr, SubjectEndsAtFirstZeroByte) {
  TRegExpr re;
  re.SetExpression("tail");
  EXPECT_FALSE(re.Exec(std::string("head\0tail", 9)));
}

TEST(RegExpr, BadPatternRaisesAndHostileInputEndsAsNoMatch) {
  TRegExpr bad;
  bad.SetExpression("(unclosed");
  EXPECT_THROW(bad.Exec("x"), platform::ERegExpr);

  // Catastrophic backtracking: must end (as no match) instead of hanging.
  TRegExpr re;
  re.SetExpression("(a+)+$");
  std::string evil(30, 'a');
  evil += '!';
  EXPECT_FALSE(re.Exec(evil));

  std::mt19937 rng(7);
  std::string junk(1 << 20, '\0');
  for (auto& c : junk) c = static_cast<char>(rng() % 255 + 1);
  re.SetExpression("<title>.*?</title>");
  re.SetModifierI(true);
  EXPECT_NO_THROW(re.Exec(junk));
}
