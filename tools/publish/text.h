// Text as the stub sees it: the UTF-8 of the command line and of files turned
// into the wide strings the stub's document reader takes, and a response body
// decoded by the stub's charset rule.
#pragma once

#include <string>

#include "common/text.h"  // Utf8FromWide

// Each byte that is not part of a well-formed sequence becomes U+FFFD, as in
// Windows' own decoder; replaced, when given, is set when that happened.
std::wstring WideFromUtf8(const std::string& text, bool* replaced = nullptr);

// How the stub turns a configuration response into text.
struct DecodedBody {
  std::wstring text;       // up to the first zero character, as the stub keeps it
  bool utf8 = false;       // the headers declare a charset that begins with "utf-8"
  std::wstring charset;    // the declared charset, empty when none
  bool nonAscii = false;   // the body holds bytes above 0x7F
  bool replaced = false;   // some bytes were not UTF-8 and became U+FFFD
  bool cutAtZero = false;  // a zero byte ended the text early
};

// The stub scans the raw response headers for "charset=" (the first one, in any
// header) and decodes the body as UTF-8 when it begins with "utf-8", in the
// user's ANSI code page otherwise; here that code page is taken as
// Windows-1252, the most common one.
DecodedBody DecodeLikeStub(const std::wstring& rawHeaders, const std::string& body);

// A value for a message: control characters written as \r, \n, \t or \xNN.
std::string Printable(const std::wstring& text);
