#include "main/arguments.h"

#include <gtest/gtest.h>

TEST(SplitArguments, FollowsTheWindowsRules) {
  using V = std::vector<std::wstring>;
  EXPECT_EQ(SplitArguments(L""), V{});
  EXPECT_EQ(SplitArguments(L"  a\tb  "), (V{L"a", L"b"}));
  EXPECT_EQ(SplitArguments(L"\"C:\\Program Files\\x\" /S"), (V{L"C:\\Program Files\\x", L"/S"}));
  EXPECT_EQ(SplitArguments(L"a\\\\b \\\"q\\\" \"\""), (V{L"a\\\\b", L"\"q\"", L""}));
  EXPECT_EQ(SplitArguments(L"\"say \"\"hi\"\"\""), (V{L"say \"hi\""}));
}

TEST(HasNoShortcutSwitch, FindsTheSwitchAsAWholeArgumentInAnyCase) {
  EXPECT_TRUE(HasNoShortcutSwitch(L"-ns"));
  EXPECT_TRUE(HasNoShortcutSwitch(L"-NS /S"));
  EXPECT_TRUE(HasNoShortcutSwitch(L"/S -nS /D=x"));
  EXPECT_TRUE(HasNoShortcutSwitch(L"/S\t-Ns"));
  EXPECT_TRUE(HasNoShortcutSwitch(L"/S \"-ns\""));
}

TEST(HasNoShortcutSwitch, IgnoresTheLettersInsideOtherArguments) {
  EXPECT_FALSE(HasNoShortcutSwitch(L""));
  EXPECT_FALSE(HasNoShortcutSwitch(L"-nsx"));
  EXPECT_FALSE(HasNoShortcutSwitch(L"x-ns"));
  EXPECT_FALSE(HasNoShortcutSwitch(L"/S --ns ns -n s"));
  EXPECT_FALSE(HasNoShortcutSwitch(L"\"a -ns\""));
}
