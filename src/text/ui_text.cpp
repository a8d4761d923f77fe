#include "text/ui_text.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "resource.h"

namespace {

// String tables are stored in blocks of 16 strings; a block's resource name is
// its number plus one.
LPCWSTR StringBlock(UINT id) { return MAKEINTRESOURCEW(id / 16 + 1); }

BOOL CALLBACK AddLanguage(HMODULE, LPCWSTR, LPCWSTR, WORD language, LONG_PTR found) {
  reinterpret_cast<std::vector<LanguageId>*>(found)->push_back(language);
  return TRUE;
}

// The languages of the string table: those of the block with the box's title
// (the build checks that each language has every string).
std::vector<LanguageId> TableLanguages() {
  std::vector<LanguageId> found;
  EnumResourceLanguagesW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(6), StringBlock(IDS_BOX_TITLE), AddLanguage,
                         reinterpret_cast<LONG_PTR>(&found));
  return found;
}

std::wstring FindString(UINT id, LanguageId language) {
  const HMODULE module = GetModuleHandleW(nullptr);
  const HRSRC block = FindResourceExW(module, MAKEINTRESOURCEW(6), StringBlock(id), language);
  if (block == nullptr) return std::wstring();
  const HGLOBAL loaded = LoadResource(module, block);
  const auto* entry = static_cast<const WCHAR*>(loaded != nullptr ? LockResource(loaded) : nullptr);
  const DWORD size = SizeofResource(module, block) / sizeof(WCHAR);
  if (entry == nullptr) return std::wstring();
  // Each of the 16 entries is a length, then that many characters.
  DWORD at = 0;
  for (UINT index = 0; index < id % 16; ++index) {
    if (at >= size) return std::wstring();
    at += 1 + entry[at];
  }
  if (at >= size || at + 1 + entry[at] > size) return std::wstring();
  return std::wstring(entry + at + 1, entry[at]);
}

}  // namespace

LanguageId UiLanguage() { return ChooseLanguage(GetUserDefaultUILanguage(), TableLanguages()); }

std::wstring LoadUiText(UINT id, LanguageId language) {
  std::wstring text = FindString(id, language);
  if (text.empty() && language != kEnglishUs) text = FindString(id, kEnglishUs);
  return text;
}

std::wstring UiText(UINT id) { return LoadUiText(id, UiLanguage()); }

bool UiIsRightToLeft() { return IsRightToLeft(UiLanguage()); }

std::wstring ShortcutDescription() { return UiText(IDS_SHORTCUT_DESCRIPTION); }

namespace {

std::wstring UserLocaleInfo(LCTYPE kind, const wchar_t* fallback) {
  wchar_t value[16] = {};
  if (GetLocaleInfoW(LOCALE_USER_DEFAULT, kind, value, 16) == 0) return fallback;
  return value;
}

// "3;0" (groups of three) as NUMBERFMT wants it: 3; "3;2;0" (India): 32.
UINT Grouping(const std::wstring& pattern) {
  UINT grouping = 0;
  for (const wchar_t c : pattern) {
    if (c >= L'1' && c <= L'9') grouping = grouping * 10 + static_cast<UINT>(c - L'0');
  }
  return grouping;
}

}  // namespace

std::wstring FormatUserNumber(double value, int decimals) {
  if (!std::isfinite(value)) value = 0;
  // Formatted as narrow text: the stub links no wide printf.
  char digits[64] = {};
  std::snprintf(digits, sizeof(digits), "%.*f", decimals, value);
  std::wstring plain(digits, digits + std::strlen(digits));
  std::wstring decimal = UserLocaleInfo(LOCALE_SDECIMAL, L".");
  std::wstring thousand = UserLocaleInfo(LOCALE_STHOUSAND, L",");
  NUMBERFMTW format = {};
  format.NumDigits = static_cast<UINT>(decimals);
  format.LeadingZero = 1;
  format.Grouping = Grouping(UserLocaleInfo(LOCALE_SGROUPING, L"3;0"));
  format.lpDecimalSep = &decimal[0];
  format.lpThousandSep = &thousand[0];
  format.NegativeOrder = 1;
  wchar_t formatted[64] = {};
  if (GetNumberFormatW(LOCALE_USER_DEFAULT, 0, plain.c_str(), &format, formatted, 64) == 0) return plain;
  return formatted;
}
