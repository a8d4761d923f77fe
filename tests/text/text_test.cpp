#include <gtest/gtest.h>

#include "resource.h"
#include "text/language.h"
#include "text/placeholders.h"
#include "text/ui_text.h"

namespace {

// The languages of the string table.
const std::vector<LanguageId> kTable = {0x0409, 0x0407, 0x040C, 0x0C0A, 0x0410, 0x0416, 0x0413,
                                        0x0415, 0x0419, 0x041F, 0x0411, 0x0412, 0x0804, 0x0401};

}  // namespace

TEST(ChooseLanguage, FallsBackAlongTheLanguageThenToEnglish) {
  const struct {
    LanguageId user, chosen;
  } cases[] = {
      {0x0407, 0x0407},  // German
      {0x0C07, 0x0407},  // Austrian German: German
      {0x0816, 0x0416},  // Portuguese (Portugal): the Brazilian texts
      {0x080A, 0x0C0A},  // Mexican Spanish: Spanish
      {0x0C01, 0x0401},  // Egyptian Arabic: Arabic
      {0x1004, 0x0804},  // Singapore writes simplified Chinese
      {0x0404, 0x0409},  // Taiwan writes traditional Chinese: not the simplified texts
      {0x0C04, 0x0409},  // Hong Kong too
      {0x0809, 0x0409},  // British English
      {0x040E, 0x0409},  // Hungarian: no table, English
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ChooseLanguage(c.user, kTable), c.chosen) << std::hex << c.user;
  }
  // Of several regions, the language's default one.
  EXPECT_EQ(ChooseLanguage(0x0807, {0x0409, 0x0C07, 0x0407}), 0x0407);
  EXPECT_EQ(ChooseLanguage(0x0407, {}), kEnglishUs);
}

TEST(IsRightToLeft, MirrorsArabicAndHebrewOnly) {
  for (const LanguageId rtl : {0x0401, 0x0C01, 0x040D, 0x0429}) EXPECT_TRUE(IsRightToLeft(rtl)) << std::hex << rtl;
  for (const LanguageId ltr : {0x0409, 0x0411, 0x0419, 0x0804}) EXPECT_FALSE(IsRightToLeft(ltr)) << std::hex << ltr;
}

TEST(FillPlaceholders, PutsNumberedValuesWhereTheTranslationWantsThem) {
  const struct {
    const wchar_t* pattern;
    const wchar_t* filled;
  } cases[] = {
      {L"%1 of %2, about %3 left", L"1 MB of 9 MB, about 5 s left"},
      {L"%2 中 %1、残り約 %3", L"9 MB 中 1 MB、残り約 5 s"},
      {L"%%%1", L"%1 MB"},                     // Turkish percentages
      {L"%4 and %0 stay", L"%4 and %0 stay"},  // no such value
      {L"100%", L"100%"},
      {L"", L""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FillPlaceholders(c.pattern, {L"1 MB", L"9 MB", L"5 s"}), c.filled) << c.pattern;
  }
}

TEST(LoadUiText, ReadsTheTableInTheLanguageAndFallsBackToEnglish) {
  EXPECT_EQ(LoadUiText(IDS_BOX_TITLE, kEnglishUs), L"We apologize!");
  EXPECT_EQ(LoadUiText(IDS_ERROR_CHECKSUM, 0x0407), L"Die Installationsdatei ist beschädigt. Fehlercode 6");
  EXPECT_EQ(LoadUiText(IDS_SHORTCUT_DESCRIPTION, 0x0411), L"Tessaloom のインストールを続行");
  // A language the table lacks, and a string no language has.
  EXPECT_EQ(LoadUiText(IDS_PROGRESS_CAPTION, 0x040E), L"Downloading QMX Installer...");
  EXPECT_EQ(LoadUiText(IDS_BOX_TITLE + 2, 0x0407), L"");
}
