#include "common/text.h"

#include <gtest/gtest.h>

#include <string>

TEST(Text, LettersFoldInAsciiOnly) {
  EXPECT_TRUE(EqualsIgnoringCase(L"/VerySilent", L"/VERYSILENT"));
  EXPECT_TRUE(EqualsIgnoringCase("GeT", "get"));
  EXPECT_FALSE(EqualsIgnoringCase(L"/S", L"/SILENT"));
  // A letter beyond ASCII never passes for one within it, nor folds itself.
  EXPECT_FALSE(EqualsIgnoringCase(L"-\u212As", L"-ks"));  // KELVIN SIGN
  EXPECT_FALSE(EqualsIgnoringCase(L"\u00c9", L"\u00e9"));
  EXPECT_TRUE(StartsWithHttps(L"HTTPS://host/x"));
  EXPECT_TRUE(StartsWithHttps("hTtPs://host"));
  for (const wchar_t* url : {L"http://host", L"https:/host", L"https", L"", L" https://host"}) {
    EXPECT_FALSE(StartsWithHttps(url)) << url;
  }
}

TEST(Text, HexDigitsAndUtf8) {
  EXPECT_EQ(HexDigitValue(L'0'), 0);
  EXPECT_EQ(HexDigitValue(L'a'), 10);
  EXPECT_EQ(HexDigitValue('F'), 15);
  for (const wchar_t c : {L'g', L'G', L'/', L':', L'\uff10', L'\0'}) EXPECT_EQ(HexDigitValue(c), -1) << int(c);

  EXPECT_EQ(Utf8FromWide(L"a\u00e9\u5f20\U0001F600"), "a\xc3\xa9\xe5\xbc\xa0\xf0\x9f\x98\x80");
  EXPECT_EQ(Utf8FromWide(std::wstring(L"a\0b", 3)), std::string("a\0b", 3));
  // A surrogate without its partner is U+FFFD, as Windows' conversion makes it.
  EXPECT_EQ(Utf8FromWide(std::wstring(1, wchar_t(0xD83D)) + L"x"), "\xef\xbf\xbdx");
  EXPECT_EQ(Utf8FromWide(std::wstring(1, wchar_t(0xDE00))), "\xef\xbf\xbd");
}
