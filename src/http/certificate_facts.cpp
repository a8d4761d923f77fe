#include "http/certificate_facts.h"

#include <cstdio>

namespace {

constexpr uint64_t kTicksPerSecond = 10000000;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600;

// Days since 1970-01-01 to a civil date (proleptic Gregorian calendar).
void CivilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
  day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
  month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
  year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
}

}  // namespace

bool IsTlsRefusal(uint32_t error) {
  switch (error) {
    case 12037:  // ERROR_WINHTTP_SECURE_CERT_DATE_INVALID
    case 12038:  // ERROR_WINHTTP_SECURE_CERT_CN_INVALID
    case 12045:  // ERROR_WINHTTP_SECURE_INVALID_CA
    case 12157:  // ERROR_WINHTTP_SECURE_CHANNEL_ERROR
    case 12175:  // ERROR_WINHTTP_SECURE_FAILURE
    case 12179:  // ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE
      return true;
    default: return false;
  }
}

std::string FormatFileTimeUtc(uint64_t ticks) {
  const int64_t seconds = static_cast<int64_t>(ticks / kTicksPerSecond) - kSecondsFrom1601To1970;
  const int64_t days = (seconds >= 0 ? seconds : seconds - 86399) / 86400;
  const int64_t ofDay = seconds - days * 86400;
  int64_t year = 0;
  unsigned month = 0;
  unsigned day = 0;
  CivilFromDays(days, year, month, day);
  char text[48] = {};
  std::snprintf(text, sizeof(text), "%04lld-%02u-%02u %02lld:%02lld:%02lld UTC", static_cast<long long>(year), month,
                day, static_cast<long long>(ofDay / 3600), static_cast<long long>(ofDay / 60 % 60),
                static_cast<long long>(ofDay % 60));
  return text;
}
