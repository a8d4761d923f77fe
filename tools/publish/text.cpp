#include "text.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include "http/regexp.h"

namespace {

// Windows-1252's characters for 0x80 to 0x9F (0 where the code page has none;
// Windows maps those to the same code point).
constexpr uint16_t kCp1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// One UTF-8 sequence at bytes[i]; returns its length, or 0 when it is not a
// well-formed sequence (overlong forms, surrogates and values beyond U+10FFFF
// included), as Windows' decoder judges them.
size_t DecodeSequence(const std::string& bytes, size_t i, char32_t& out) {
  const auto at = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
  const unsigned char lead = at(i);
  size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if (lead < 0x80) {
    out = lead;
    return 1;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1F, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0F, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + length > bytes.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((at(i + k) & 0xC0) != 0x80) return 0;
    value = value << 6 | (at(i + k) & 0x3F);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  out = value;
  return length;
}

}  // namespace

std::wstring WideFromUtf8(const std::string& text, bool* replaced) {
  std::wstring wide;
  for (size_t i = 0; i < text.size();) {
    char32_t c = 0;
    const size_t length = DecodeSequence(text, i, c);
    if (length == 0) {
      wide += L'\xFFFD';
      if (replaced != nullptr) *replaced = true;
      ++i;
    } else {
      wide += static_cast<wchar_t>(c);
      i += length;
    }
  }
  return wide;
}

DecodedBody DecodeLikeStub(const std::wstring& rawHeaders, const std::string& body) {
  DecodedBody decoded;
  // The stub's own header pattern, through the stub's own matcher.
  std::vector<std::wstring> captures;
  if (FindMatches(L"charset={[A-Za-z0-9\\-_]+}", rawHeaders.c_str(), captures) && !captures.empty()) {
    decoded.charset = captures.front();
  }
  decoded.utf8 = StartsWithIgnoringCase(decoded.charset, L"utf-8");
  for (const char byte : body) {
    if (static_cast<unsigned char>(byte) >= 0x80) decoded.nonAscii = true;
  }
  std::wstring text;
  if (decoded.utf8) {
    text = WideFromUtf8(body, &decoded.replaced);
  } else {
    for (const char byte : body) {
      const auto b = static_cast<unsigned char>(byte);
      const wchar_t high = b >= 0x80 && b <= 0x9F ? static_cast<wchar_t>(kCp1252High[b - 0x80]) : 0;
      text += high != 0 ? high : static_cast<wchar_t>(b);
    }
  }
  const size_t zero = text.find(L'\0');
  if (zero != std::wstring::npos) {
    decoded.cutAtZero = true;
    text.resize(zero);
  }
  decoded.text = text;
  return decoded;
}

std::string Printable(const std::wstring& text) {
  std::string out;
  for (const wchar_t c : text) {
    if (c == L'\r') {
      out += "\\r";
    } else if (c == L'\n') {
      out += "\\n";
    } else if (c == L'\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof(hex), "\\x%02X", static_cast<unsigned>(c));
      out += hex;
    } else {
      out += Utf8FromWide(std::wstring(1, c));
    }
  }
  return out;
}
