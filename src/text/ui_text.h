// The texts a person sees, from the string table in the stub's resources
// (resources/strings.rc), in the user's UI language. The log stays English.
#pragma once

#include <windows.h>

#include <string>

#include "text/language.h"

// The user's UI language (GetUserDefaultUILanguage), or the nearest one the
// string table has (see ChooseLanguage), else U.S. English.
LanguageId UiLanguage();

// The string `id` in `language`; where that language lacks it, U.S. English;
// empty only where the program has no string table at all.
std::wstring LoadUiText(UINT id, LanguageId language);

// The string `id` in UiLanguage().
std::wstring UiText(UINT id);

// True when UiLanguage() is written from right to left: windows and boxes are
// then mirrored.
bool UiIsRightToLeft();

// The description of the "Continue installation" shortcut.
std::wstring ShortcutDescription();

// A number in the user's number format (decimal separator, digit grouping)
// with this many decimals.
std::wstring FormatUserNumber(double value, int decimals);
