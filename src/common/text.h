// Small text helpers shared by the stub and the publisher's command: letter
// case, the https scheme, hexadecimal digits, error codes and UTF-8.
// Letters are folded in ASCII only, as the C runtime folds them in the "C"
// locale the stub runs in: every word compared (switches, schemes, verbs,
// header values) is ASCII, and no other letter may pass for one of them.
// Needs no Windows header, so the portable pieces and their fuzzers use it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

template <typename Char>
constexpr Char AsciiLower(Char c) {
  return c >= Char('A') && c <= Char('Z') ? static_cast<Char>(c - Char('A') + Char('a')) : c;
}

template <typename Char>
constexpr bool EqualsIgnoringCase(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

template <typename Char>
constexpr bool StartsWithIgnoringCase(std::basic_string_view<Char> text, std::basic_string_view<Char> prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

// Wide and narrow overloads, so that strings and literals convert without
// naming the character type.
inline bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b) { return EqualsIgnoringCase<wchar_t>(a, b); }
inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) { return EqualsIgnoringCase<char>(a, b); }
inline bool StartsWithIgnoringCase(std::wstring_view text, std::wstring_view prefix) {
  return StartsWithIgnoringCase<wchar_t>(text, prefix);
}
inline bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return StartsWithIgnoringCase<char>(text, prefix);
}

// The address begins with "https://" in any letter case.
inline bool StartsWithHttps(std::wstring_view url) { return StartsWithIgnoringCase(url, L"https://"); }
inline bool StartsWithHttps(std::string_view url) { return StartsWithIgnoringCase(url, "https://"); }

// A hexadecimal digit's value, either case; -1 for any other character.
template <typename Char>
constexpr int HexDigitValue(Char c) {
  if (c >= Char('0') && c <= Char('9')) return static_cast<int>(c - Char('0'));
  if (c >= Char('a') && c <= Char('f')) return static_cast<int>(c - Char('a')) + 10;
  if (c >= Char('A') && c <= Char('F')) return static_cast<int>(c - Char('A')) + 10;
  return -1;
}

// A system error code as the log shows it: "0x" and eight upper-case digits.
inline std::string Hex(uint32_t value) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) text += kDigits[(value >> shift) & 0xF];
  return text;
}

// A number's decimal digits as wide text. std::to_string formats integers
// without printf, where std::to_wstring goes through the wide printf family,
// which would otherwise be linked into the stub for this alone.
template <typename Integer>
std::wstring WideDecimal(Integer value) {
  const std::string digits = std::to_string(value);
  return std::wstring(digits.begin(), digits.end());
}

// The UTF-8 form of wide text: UTF-16 where wchar_t has 16 bits (Windows),
// code points where it has 32 (the native builds). A surrogate without its
// partner, or a value beyond Unicode, becomes U+FFFD, as Windows' own
// conversion makes it; a NUL is a character like any other.
inline std::string Utf8FromWide(std::wstring_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<uint32_t>(text[i]);
    const bool high = c >= 0xD800 && c <= 0xDBFF;
    const uint32_t next = i + 1 < text.size() ? static_cast<uint32_t>(text[i + 1]) : 0;
    if (high && next >= 0xDC00 && next <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
      ++i;
    } else if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
      c = 0xFFFD;
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}
