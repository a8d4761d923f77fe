#include "http/regexp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Found {
  bool matched = false;
  std::wstring whole;
  std::size_t at = 0;  // offset of the whole match in the text
};

Found MatchOnce(const wchar_t* pattern, const wchar_t* text, bool caseSensitive = true) {
  RegExp regexp;
  EXPECT_EQ(regexp.Parse(pattern, caseSensitive), 0) << pattern;
  MatchContext context;
  const wchar_t* end = nullptr;
  Found found;
  found.matched = regexp.Match(text, &context, &end);
  if (found.matched) {
    EXPECT_EQ(end, context.MatchEnd());
    found.whole.assign(context.MatchStart(), context.MatchEnd());
    found.at = static_cast<std::size_t>(context.MatchStart() - text);
  }
  return found;
}

std::wstring Group(const MatchContext& context, int n) {
  if (context.GroupStart(n) == nullptr || context.GroupEnd(n) == nullptr) return L"<none>";
  return std::wstring(context.GroupStart(n), context.GroupEnd(n));
}

std::vector<std::wstring> Scan(const wchar_t* pattern, const wchar_t* text, bool* ok = nullptr) {
  std::vector<std::wstring> captures{L"stale"};  // FindMatches must clear it
  const bool result = FindMatches(pattern, text, captures);
  if (ok != nullptr) *ok = result;
  return captures;
}

// --- one row per form of the dialect --------------------------------------

struct DialectCase {
  const wchar_t* pattern;
  const wchar_t* text;
  const wchar_t* whole;  // nullptr: no match
};

class DialectTest : public ::testing::TestWithParam<DialectCase> {};

TEST_P(DialectTest, MatchesAsDocumented) {
  const DialectCase& c = GetParam();
  const Found found = MatchOnce(c.pattern, c.text);
  if (c.whole == nullptr) {
    EXPECT_FALSE(found.matched) << "matched \"" << found.whole << "\"";
  } else {
    ASSERT_TRUE(found.matched);
    EXPECT_EQ(found.whole, c.whole);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, DialectTest,
    ::testing::Values(
        DialectCase{L"abc", L"xxabcxx", L"abc"}, DialectCase{L"a.c", L"a\tc", L"a\tc"},
        DialectCase{L"a.", L"a", nullptr},  // '.' is not the end of the text
        DialectCase{L"[b-d]+", L"abcde", L"bcd"}, DialectCase{L"[^a-c]+", L"abxyzab", L"xyz"},
        DialectCase{L"[\\t]", L"a\tb", L"\t"}, DialectCase{L"[a\\-]+", L"x-a-y", L"-a-"},
        DialectCase{L"[^a]", L"a", nullptr},    // a negated set needs a character
        DialectCase{L"ab|cd", L"abd", L"abd"},  // "|" joins single items
        DialectCase{L"ab|cd", L"acd", L"acd"}, DialectCase{L"ab|cd", L"ab", nullptr},
        DialectCase{L"(ab)|(cd)", L"xcd", L"cd"}, DialectCase{L"a|b|c", L"xc", L"c"},
        DialectCase{L"a!b.", L"abac", L"ac"}, DialectCase{L"{a+}b\\0", L"aabaa", L"aabaa"},
        DialectCase{L"{[a-z]}\\0", L"abccd", L"cc"}, DialectCase{L"\\a+", L"--x9-", L"x9"},
        DialectCase{L"\\b+", L"a \t b", L" \t "}, DialectCase{L"\\c+", L"12ab3", L"ab"},
        DialectCase{L"\\d+", L"ab123c", L"123"}, DialectCase{L"\\h+", L"xyz0fAg", L"0fA"},
        DialectCase{L"a\\nb", L"a\rb", L"a\rb"},  // CR, CR LF and LF end a line
        DialectCase{L"a\\nb", L"a\r\nb", L"a\r\nb"}, DialectCase{L"a\\nb", L"a\nb", L"a\nb"},
        DialectCase{L"a\\nb", L"a\n\rb", nullptr}, DialectCase{L"\\q", L"say \"hi\" now", L"\"hi\""},
        DialectCase{L"\\q", L"say 'yo' now", L"'yo'"}, DialectCase{L"\\w", L"12abc3", L"abc"},
        DialectCase{L"\\z", L"ab0123c", L"0123"},
        DialectCase{L"\\x\\t", L"axtb", L"xt"},  // unknown letters stand for themselves
        DialectCase{L"\\\\\\.", L"a\\.b", L"\\."}, DialectCase{L"^a", L"ba", nullptr}, DialectCase{L"^b", L"ba", L"b"},
        DialectCase{L"b^", L"ab^", L"b^"},                                     // '^' later is a plain character
        DialectCase{L"b$", L"abab", L"b"}, DialectCase{L"$a", L"x$a", L"$a"},  // '$' earlier is a plain character
        DialectCase{L"a\\$", L"a$", L"a$"}, DialectCase{L"a.*b", L"aXbYb", L"aXbYb"},
        DialectCase{L"a.*?b", L"aXbYb", L"aXb"}, DialectCase{L"a.+", L"aXY", L"aXY"},
        DialectCase{L"a.+?", L"aXY", L"aX"}, DialectCase{L"ab?", L"abb", L"ab"}, DialectCase{L"ab??", L"abb", L"a"},
        DialectCase{L"a)bc", L"abc", L"a"},  // a stray closer ends the pattern
        DialectCase{L"a]", L"xa", L"a"}, DialectCase{L"a}", L"xa", L"a"}));

TEST(RegExpMatchTest, EndOfTextMatchesAfterTheLastCharacter) {
  const Found found = MatchOnce(L"x?$", L"abc");
  ASSERT_TRUE(found.matched);
  EXPECT_EQ(found.at, 3u);
  EXPECT_TRUE(MatchOnce(L"a*", L"").matched);
}

TEST(RegExpMatchTest, GroupsAreNumberedByOpeningBrace) {
  RegExp regexp;
  ASSERT_EQ(regexp.Parse(L"{a{b}}{c}", true), 0);
  EXPECT_EQ(regexp.GroupCount(), 3);
  MatchContext context;
  ASSERT_TRUE(regexp.Match(L"xabc", &context));
  EXPECT_EQ(context.GroupCount(), 3);
  EXPECT_EQ(Group(context, 0), L"ab");
  EXPECT_EQ(Group(context, 1), L"b");
  EXPECT_EQ(Group(context, 2), L"c");
  EXPECT_EQ(context.GroupStart(3), nullptr);
  EXPECT_EQ(context.GroupStart(-1), nullptr);
}

TEST(RegExpMatchTest, CapturesFollowBacktracking) {
  RegExp regexp;
  MatchContext context;
  ASSERT_EQ(regexp.Parse(L"{[a-z]}+", true), 0);
  ASSERT_TRUE(regexp.Match(L"abc1", &context));
  EXPECT_EQ(Group(context, 0), L"c");  // the last repetition's capture

  ASSERT_EQ(regexp.Parse(L"{a*}ab", true), 0);
  ASSERT_TRUE(regexp.Match(L"aaab", &context));
  EXPECT_EQ(Group(context, 0), L"aa");  // one repetition given back

  ASSERT_EQ(regexp.Parse(L"{x}|{y}", true), 0);
  ASSERT_TRUE(regexp.Match(L"y", &context));
  EXPECT_EQ(Group(context, 0), L"<none>");
  EXPECT_EQ(Group(context, 1), L"y");

  ASSERT_EQ(regexp.Parse(L"!{a}.", true), 0);
  ASSERT_TRUE(regexp.Match(L"ab", &context));
  EXPECT_EQ(context.MatchStart()[0], L'b');
  EXPECT_EQ(Group(context, 0), L"<none>");  // a negation leaves no capture

  ASSERT_FALSE(regexp.Match(L"a", &context));
  EXPECT_EQ(context.MatchStart(), nullptr);
  EXPECT_EQ(regexp.Match(nullptr, &context), false);
  EXPECT_EQ(regexp.Match(L"b", nullptr), false);
}

TEST(RegExpMatchTest, IgnoringCaseKeepsTheTextsOwnCase) {
  const std::wstring text = L"xx Content-TYPE: caf\u00c9";
  RegExp regexp;
  ASSERT_EQ(regexp.Parse(L"content-type: {CAF\u00e9}", false), 0);
  MatchContext context;
  ASSERT_TRUE(regexp.Match(text.c_str(), &context));
  // Positions point into the caller's text, not into a folded copy.
  EXPECT_EQ(context.GroupStart(0), text.c_str() + 17);
  EXPECT_EQ(Group(context, 0), L"caf\u00c9");
  EXPECT_FALSE(MatchOnce(L"content", text.c_str(), true).matched);
  // The pattern is folded before parsing: "\D" becomes the digit abbreviation.
  EXPECT_EQ(MatchOnce(L"\\D+", L"x42", false).whole, L"42");
  EXPECT_FALSE(MatchOnce(L"\\D+", L"x42", true).matched);
}

TEST(RegExpMatchTest, BackReferenceIgnoresCaseOnlyWhenAsked) {
  EXPECT_TRUE(MatchOnce(L"{[a-z]+}-\\0", L"Abc-aBC", false).matched);
  EXPECT_FALSE(MatchOnce(L"{[a-z]+}-\\0", L"abc-aBC", true).matched);
  EXPECT_FALSE(MatchOnce(L"{a}?b\\0", L"b", true).matched);  // unset group: no match
}

// --- parse errors ---------------------------------------------------------

struct ErrorCase {
  const wchar_t* pattern;
  int code;
};

class ParseErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ParseErrorTest, ReportsAndKeepsTheCode) {
  RegExp regexp;
  EXPECT_EQ(regexp.Parse(GetParam().pattern, true), GetParam().code);
  EXPECT_EQ(regexp.ErrorCode(), GetParam().code);
  if (GetParam().code != 0) {
    MatchContext context;
    EXPECT_FALSE(regexp.Match(L"abc{}()[]", &context));
  }
}

INSTANTIATE_TEST_SUITE_P(Codes, ParseErrorTest,
                         ::testing::Values(ErrorCase{L"{abc", 2}, ErrorCase{L"{a)b}", 2}, ErrorCase{L"(abc", 3},
                                           ErrorCase{L"(a}b)", 3}, ErrorCase{L"[abc", 4}, ErrorCase{L"[a-", 4},
                                           ErrorCase{L"[a-]", 4}, ErrorCase{L"[^", 4}, ErrorCase{L"[]", 6},
                                           ErrorCase{L"[^]", 6}, ErrorCase{L"\\0", 7}, ErrorCase{L"{a}\\1", 7},
                                           ErrorCase{L"{a\\1}", 7}, ErrorCase{L"[z-a]", 8}, ErrorCase{L"(a?)*", 9},
                                           ErrorCase{L"{}+", 9}, ErrorCase{L"!a*", 9}, ErrorCase{L"(a*)+?", 9},
                                           ErrorCase{L"$*?x", 0}, ErrorCase{L"{a*}\\0+", 9}, ErrorCase{L"{\\d?}+", 9},
                                           ErrorCase{L"\\d?*", 0}, ErrorCase{L"", 10}, ErrorCase{nullptr, 10},
                                           ErrorCase{L"(a?)?", 0}, ErrorCase{L"!a??", 0}, ErrorCase{L"{a}\\0+", 0},
                                           ErrorCase{L"{a\\0}", 0}, ErrorCase{L"[a-]x]", 4}, ErrorCase{L"^", 0}));
// Code 5 needs an abbreviation whose stored pattern is broken; the built-in
// table has none, and every entry is exercised by the dialect cases above.

TEST(ParseTest, NestingIsBounded) {
  auto nested = [](int depth) {
    return std::wstring(static_cast<std::size_t>(depth), L'(') + L"a" +
           std::wstring(static_cast<std::size_t>(depth), L')');
  };
  RegExp regexp;
  EXPECT_EQ(regexp.Parse(nested(256).c_str(), true), 0);
  MatchContext context;
  EXPECT_TRUE(regexp.Match(L"xa", &context));
  EXPECT_EQ(regexp.Parse(nested(100000).c_str(), true), 1);
  EXPECT_EQ(regexp.Parse(std::wstring(100000, L'!').append(L"a").c_str(), true), 1);
}

TEST(ParseTest, NewParseStartsAfresh) {
  RegExp regexp;
  ASSERT_EQ(regexp.Parse(L"{a", true), 2);
  ASSERT_EQ(regexp.Parse(L"{a}{b}", true), 0);
  EXPECT_EQ(regexp.GroupCount(), 2);
  ASSERT_EQ(regexp.Parse(L"^b", true), 0);
  EXPECT_EQ(regexp.GroupCount(), 0);
  MatchContext context;
  EXPECT_TRUE(regexp.Match(L"b", &context));
  ASSERT_EQ(regexp.Parse(L"b", true), 0);
  EXPECT_TRUE(regexp.Match(L"ab", &context));  // no longer anchored
}

// --- FindMatches ----------------------------------------------------------

TEST(FindMatchesTest, HeaderValues) {
  const wchar_t* headers = L"HTTP/1.1 200 OK\r\ncontent-length: 1234\r\n"
                           L"Content-Type: text/html; charset=UTF-8\r\n\r\n";
  EXPECT_EQ(Scan(L"charset={[A-Za-z0-9\\-_]+}", headers), std::vector<std::wstring>{L"UTF-8"});
  EXPECT_EQ(Scan(L"Content-Length: {[0-9]+}", headers), std::vector<std::wstring>{L"1234"});
  EXPECT_EQ(Scan(L"Location: {[0-9]+}", headers), std::vector<std::wstring>{});
}

TEST(FindMatchesTest, CookieLines) {
  const wchar_t* pattern = L"Set-Cookie:\\b*{.+?}\\n";
  EXPECT_EQ(Scan(pattern, L"Set-Cookie: a=1; path=/\r\nSet-Cookie: b=2\r\n"),
            (std::vector<std::wstring>{L"a=1; path=/", L"b=2"}));
  EXPECT_EQ(Scan(pattern, L"Set-Cookie: X=1\r\nset-cookie:\tx=1\r\n"), std::vector<std::wstring>{L"X=1"});
  // CR, CR LF and LF all end a line; an unterminated last line is not taken.
  EXPECT_EQ(Scan(pattern, L"Set-Cookie: a\rSet-Cookie: b\r\nSet-Cookie: c\nSet-Cookie: d"),
            (std::vector<std::wstring>{L"a", L"b", L"c"}));
}

TEST(FindMatchesTest, HtmlCompleteness) {
  bool ok = false;
  EXPECT_EQ(Scan(L"{<html>}", L"<HTML><body>cut", &ok), std::vector<std::wstring>{L"<HTML>"});
  EXPECT_TRUE(ok);
  EXPECT_EQ(Scan(L"{</html>}", L"<HTML><body>cut", &ok), std::vector<std::wstring>{});
  EXPECT_TRUE(ok);
  EXPECT_EQ(Scan(L"abc", L"abc", &ok), std::vector<std::wstring>{});  // no group to take
  EXPECT_TRUE(ok);
}

TEST(FindMatchesTest, RefusesEmptyInputAndBrokenPatterns) {
  bool ok = true;
  const std::vector<std::wstring> none;
  EXPECT_EQ(Scan(L"", L"text", &ok), none);
  EXPECT_FALSE(ok);
  EXPECT_EQ(Scan(L"{a}", L"", &ok), none);
  EXPECT_FALSE(ok);
  EXPECT_EQ(Scan(nullptr, L"text", &ok), none);
  EXPECT_FALSE(ok);
  EXPECT_EQ(Scan(L"{a}", nullptr, &ok), none);
  EXPECT_FALSE(ok);
  EXPECT_EQ(Scan(L"charset={[a-z]+", L"charset=utf-8", &ok), none);
  EXPECT_FALSE(ok);
}

TEST(FindMatchesTest, EmptyMatchesStillMoveOn) {
  bool ok = false;
  EXPECT_EQ(Scan(L"{a*}", L"baab", &ok), (std::vector<std::wstring>{L"", L"aa"}));
  EXPECT_TRUE(ok);
  EXPECT_EQ(Scan(L"^{[a-z]}", L"abC1d", &ok), (std::vector<std::wstring>{L"a", L"b", L"C"}));
}

TEST(FindMatchesTest, ManyMatchesInALargeText) {
  std::wstring text;
  for (int i = 0; i < 200000; ++i) {
    text += L"Set-Cookie: id" + std::to_wstring(i) + L"=v\r\n";
  }
  text += L"<html></html>";
  std::vector<std::wstring> captures;
  ASSERT_TRUE(FindMatches(L"Set-Cookie:\\b*{.+?}\\n", text.c_str(), captures));
  ASSERT_EQ(captures.size(), 200000u);
  EXPECT_EQ(captures.front(), L"id0=v");
  EXPECT_EQ(captures.back(), L"id199999=v");
  ASSERT_TRUE(FindMatches(L"{</html>}", text.c_str(), captures));
  EXPECT_EQ(captures, std::vector<std::wstring>{L"</html>"});
}

// --- resource bounds --------------------------------------------------------

TEST(RegExpLimitsTest, LongTextNeedsNoNativeRecursion) {
  const std::wstring text(1000000, L'a');
  RegExp regexp;
  ASSERT_EQ(regexp.Parse(L"^{a*}$", true), 0);
  MatchContext context;
  ASSERT_TRUE(regexp.Match(text.c_str(), &context));
  EXPECT_EQ(context.GroupEnd(0) - context.GroupStart(0), 1000000);
}

TEST(RegExpLimitsTest, FullBacktrackingStackFailsTheMatch) {
  const std::wstring text(5000, L'x');
  RegExp regexp;
  ASSERT_EQ(regexp.Parse(L"^{.*}$", true), 0);
  MatchContext small(1000);
  EXPECT_FALSE(regexp.Match(text.c_str(), &small));
  EXPECT_EQ(small.GroupStart(0), nullptr);
  MatchContext none(0);
  EXPECT_FALSE(regexp.Match(text.c_str(), &none));
  MatchContext enough;
  EXPECT_TRUE(regexp.Match(text.c_str(), &enough));
}

TEST(RegExpLimitsTest, ExplosiveBacktrackingEnds) {
  // Nested repetition over a long word would try 2^60 splits.
  const std::wstring word(60, L'a');
  EXPECT_FALSE(MatchOnce(L"\\w+x", word.c_str()).matched);
  EXPECT_EQ(MatchOnce(L"\\w+a", word.c_str()).whole, word);
  std::vector<std::wstring> captures;
  FindMatches(L"{\\w+x}", word.c_str(), captures);
  EXPECT_TRUE(captures.empty());
}

}  // namespace
