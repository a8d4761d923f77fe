// Turning fuzz input bytes into the wide texts the stub's code takes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// Lenient UTF-8: a well-formed sequence of two to four bytes gives its value,
// surrogates and values up to 0x1FFFFF included, so that lone surrogates and,
// where wchar_t has 32 bits, values above 0xFFFF reach the code under test
// (with 16 bits they become a surrogate pair). Any other byte is a code unit of
// its own value, so plain text and dictionary words stay what they are.
inline std::wstring WideFromBytes(const uint8_t* data, size_t size) {
  std::wstring text;
  text.reserve(size);
  size_t i = 0;
  while (i < size) {
    const unsigned lead = data[i];
    size_t extra = lead >= 0xF8 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC0 ? 1 : 0;
    if (i + extra >= size) extra = 0;
    uint32_t value = extra == 0 ? lead : lead & (0x7Fu >> (extra + 1));
    for (size_t k = 1; k <= extra; ++k) {
      if ((data[i + k] & 0xC0) != 0x80) {
        extra = 0;
        value = lead;
        break;
      }
      value = value << 6 | (data[i + k] & 0x3Fu);
    }
    if (sizeof(wchar_t) == 2 && value > 0xFFFF) {
      value -= 0x10000;
      text.push_back(static_cast<wchar_t>(0xD800 + ((value >> 10) & 0x3FF)));
      text.push_back(static_cast<wchar_t>(0xDC00 + (value & 0x3FF)));
    } else {
      text.push_back(static_cast<wchar_t>(value));
    }
    i += extra + 1;
  }
  return text;
}

// The letter case folding the matcher documents: ASCII, Latin-1, Greek and
// Cyrillic capitals, one code unit to one code unit. Kept here as the oracle.
inline wchar_t FoldChar(wchar_t c) {
  const uint32_t u = static_cast<uint32_t>(c);
  if ((u >= 0x41 && u <= 0x5A) || (u >= 0xC0 && u <= 0xDE && u != 0xD7) || (u >= 0x391 && u <= 0x3A9 && u != 0x3A2) ||
      (u >= 0x410 && u <= 0x42F)) {
    return static_cast<wchar_t>(u + 0x20);
  }
  if (u >= 0x400 && u <= 0x40F) return static_cast<wchar_t>(u + 0x50);
  return c;
}

inline std::wstring Fold(std::wstring text) {
  for (wchar_t& c : text) c = FoldChar(c);
  return text;
}

// A broken property: libFuzzer reports the abort, with the input, as a crash.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

#define FUZZ_CHECK(condition)                   \
  do {                                          \
    if (!(condition)) ::fuzz::Fail(#condition); \
  } while (false)

}  // namespace fuzz
