// FindMatches with each pattern the HTTP engine uses, over arbitrary text,
// checked against a plain scanner written for each pattern.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_set>
#include <vector>

#include "fuzz_input.h"
#include "http/regexp.h"

namespace {

// Where a match found by the reference lies: the capture [first, last) and
// the end of the whole match.
struct Capture {
  size_t first = 0;
  size_t last = 0;
  size_t end = 0;
};

// What follows the literal start of a pattern, tried at `after`, the position
// just after that literal, which itself starts at `start`.
using Tail = bool (*)(const std::wstring& text, size_t start, size_t after, Capture& capture);

bool IsCharsetChar(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'-' || c == L'_';
}
bool IsDigit(wchar_t c) { return c >= L'0' && c <= L'9'; }
bool IsBlank(wchar_t c) { return c == L' ' || c == L'\t'; }
bool IsLineEnd(wchar_t c) { return c == L'\r' || c == L'\n'; }

// A greedy "+": the longest run, at least one character.
bool LongestRun(bool (*accept)(wchar_t), const std::wstring& text, size_t after, Capture& capture) {
  size_t end = after;
  while (end < text.size() && accept(text[end])) ++end;
  capture = Capture{after, end, end};
  return end > after;
}

bool CharsetTail(const std::wstring& text, size_t, size_t after, Capture& capture) {
  return LongestRun(IsCharsetChar, text, after, capture);
}

bool DigitsTail(const std::wstring& text, size_t, size_t after, Capture& capture) {
  return LongestRun(IsDigit, text, after, capture);
}

bool WholeLiteral(const std::wstring&, size_t start, size_t after, Capture& capture) {
  capture = Capture{start, after, after};
  return true;
}

// "\b*{.+?}\n": the longest run of blanks first, then the shortest capture of
// at least one character that a line end follows; the line end (CR alone
// first) ends the match. Only when no line end follows the capture's first
// character is one blank given back, which helps exactly when a line end
// directly follows the blanks.
bool CookieTail(const std::wstring& text, size_t, size_t after, Capture& capture) {
  size_t blanks = after;
  while (blanks < text.size() && IsBlank(text[blanks])) ++blanks;
  for (size_t e = blanks + 1; e < text.size(); ++e) {
    if (IsLineEnd(text[e])) {
      capture = Capture{blanks, e, e + 1};
      return true;
    }
  }
  if (blanks > after && blanks < text.size() && IsLineEnd(text[blanks])) {
    capture = Capture{blanks - 1, blanks, blanks + 1};
    return true;
  }
  return false;
}

struct FixedPattern {
  const wchar_t* pattern;
  const wchar_t* literal;  // its start, lower case
  Tail tail;
};

const FixedPattern kPatterns[] = {
    {L"charset={[A-Za-z0-9\\-_]+}", L"charset=", CharsetTail},
    {L"Content-Length: {[0-9]+}", L"content-length: ", DigitsTail},
    {L"Set-Cookie:\\b*{.+?}\\n", L"set-cookie:", CookieTail},
    {L"{<html>}", L"<html>", WholeLiteral},
    {L"{</html>}", L"</html>", WholeLiteral},
};

// Successive leftmost matches, each scan going on from the end of the last
// match; captures equal when case is ignored are listed once.
std::vector<std::wstring> ReferenceScan(const FixedPattern& pattern, const std::wstring& text) {
  const std::wstring folded = fuzz::Fold(text);
  const std::wstring literal = pattern.literal;
  std::vector<std::wstring> captures;
  std::unordered_set<std::wstring> seen;
  size_t offset = 0;
  while (offset < text.size()) {
    Capture capture;
    bool found = false;
    for (size_t start = offset; !found && start + literal.size() <= text.size(); ++start) {
      found = folded.compare(start, literal.size(), literal) == 0 &&
              pattern.tail(text, start, start + literal.size(), capture);
    }
    if (!found) break;
    const size_t count = capture.last - capture.first;
    if (seen.insert(folded.substr(capture.first, count)).second) {
      captures.push_back(text.substr(capture.first, count));
    }
    offset = capture.end;
  }
  return captures;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring raw = fuzz::WideFromBytes(data, size);
  const std::wstring text(raw.c_str());  // the engine sees the text up to its first NUL
  for (const FixedPattern& pattern : kPatterns) {
    std::vector<std::wstring> captures{L"stale"};
    const bool ok = FindMatches(pattern.pattern, raw.c_str(), captures);
    if (text.empty()) {
      FUZZ_CHECK(!ok && captures.empty());
      continue;
    }
    if (!ok || captures != ReferenceScan(pattern, text)) {
      std::fprintf(stderr, "pattern %ls: %s, %zu captures, reference %zu\n", pattern.pattern, ok ? "true" : "false",
                   captures.size(), ReferenceScan(pattern, text).size());
      fuzz::Fail("FindMatches differs from the reference scan");
    }
  }
  return 0;
}
