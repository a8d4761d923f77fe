#include "text/language.h"

#include <algorithm>

namespace {

constexpr unsigned kChinese = 0x04;

unsigned Primary(LanguageId id) { return id & 0x3FFu; }
unsigned Sub(LanguageId id) { return static_cast<unsigned>(id) >> 10; }

// Taiwan, Hong Kong and Macao write Chinese in traditional characters; the
// mainland and Singapore in simplified ones. Neither reads as the other.
bool IsTraditionalChinese(LanguageId id) {
  return Primary(id) == kChinese && (Sub(id) == 0x01 || Sub(id) == 0x03 || Sub(id) == 0x05);
}

bool SameLanguage(LanguageId a, LanguageId b) {
  if (Primary(a) != Primary(b)) return false;
  return Primary(a) != kChinese || IsTraditionalChinese(a) == IsTraditionalChinese(b);
}

}  // namespace

LanguageId ChooseLanguage(LanguageId user, const std::vector<LanguageId>& available) {
  if (std::find(available.begin(), available.end(), user) != available.end()) return user;
  // Of several regions of the language, the one the system calls its default
  // (sublanguage 1) first.
  const LanguageId* best = nullptr;
  for (const LanguageId& candidate : available) {
    if (!SameLanguage(candidate, user)) continue;
    if (best == nullptr || (Sub(candidate) == 1 && Sub(*best) != 1)) best = &candidate;
  }
  return best != nullptr ? *best : kEnglishUs;
}

bool IsRightToLeft(LanguageId language) {
  switch (Primary(language)) {
    case 0x01:  // Arabic
    case 0x0D:  // Hebrew
    case 0x20:  // Urdu
    case 0x29:  // Persian
    case 0x5A:  // Syriac
    case 0x65:  // Divehi
    case 0x80:  // Uyghur
    case 0x8C:  // Dari
      return true;
    default: return false;
  }
}
