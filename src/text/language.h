// Which of the stub's languages a person is spoken to in. Needs no Windows
// header: language identifiers are the system's 16-bit LANGIDs (primary
// language in the low 10 bits, sublanguage above).
#pragma once

#include <cstdint>
#include <vector>

using LanguageId = uint16_t;

constexpr LanguageId kEnglishUs = 0x0409;

// The language of `available` to use for a user whose UI language is `user`:
// that language itself, else the same language of another region (German for
// Austrian German, Brazilian Portuguese for Portuguese; Chinese only within
// the same script), else U.S. English.
LanguageId ChooseLanguage(LanguageId user, const std::vector<LanguageId>& available);

// Arabic, Hebrew, Persian, Urdu and the other languages written from right to
// left: their windows are mirrored.
bool IsRightToLeft(LanguageId language);
