// RegExp::Parse and Match with an arbitrary pattern over arbitrary text.
//
// Input: one byte of options, the pattern (at most kMaxPatternBytes bytes, up
// to the first NUL byte), then the text. Options bit 0 gives the match a small
// backtracking stack, so that running out of it is exercised as well.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "http/regexp.h"

namespace {

constexpr size_t kMaxPatternBytes = 64;

struct Result {
  bool matched = false;
  ptrdiff_t start = -1;
  ptrdiff_t end = -1;
  std::vector<ptrdiff_t> groups;  // start and end offset of each group, -1 for none
};

ptrdiff_t Offset(const wchar_t* text, const wchar_t* p) { return p == nullptr ? -1 : p - text; }

// Positions must lie in the text, in order, groups inside the whole match.
Result Check(const RegExp& regexp, const wchar_t* text, size_t length, MatchContext& context) {
  const wchar_t* end = text;  // must be set on success, left alone otherwise
  Result result;
  result.matched = regexp.Match(text, &context, &end);
  if (!result.matched) {
    FUZZ_CHECK(end == text);
    return result;
  }
  FUZZ_CHECK(end == context.MatchEnd());
  result.start = Offset(text, context.MatchStart());
  result.end = Offset(text, context.MatchEnd());
  FUZZ_CHECK(result.start >= 0 && result.start <= result.end);
  FUZZ_CHECK(static_cast<size_t>(result.end) <= length);
  FUZZ_CHECK(context.GroupCount() == regexp.GroupCount());
  for (int n = 0; n < context.GroupCount(); ++n) {
    const ptrdiff_t first = Offset(text, context.GroupStart(n));
    const ptrdiff_t last = Offset(text, context.GroupEnd(n));
    FUZZ_CHECK((first < 0) == (last < 0));
    FUZZ_CHECK(first < 0 || (result.start <= first && first <= last && last <= result.end));
    result.groups.push_back(first);
    result.groups.push_back(last);
  }
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const bool smallStack = (data[0] & 1) != 0;
  ++data;
  --size;
  const void* nul = std::memchr(data, 0, size < kMaxPatternBytes ? size : kMaxPatternBytes);
  const size_t patternBytes = nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - data)
                                             : (size < kMaxPatternBytes ? size : kMaxPatternBytes);
  const std::wstring pattern(fuzz::WideFromBytes(data, patternBytes).c_str());
  const size_t rest = patternBytes + (nul != nullptr ? 1 : 0);
  const std::wstring raw = fuzz::WideFromBytes(data + rest, size - rest);
  const wchar_t* text = raw.c_str();
  const size_t length = std::wcslen(text);

  MatchContext context(smallStack ? 64 : MatchContext::kDefaultMaxStackEntries);
  RegExp regexp;
  const int sensitiveCode = regexp.Parse(pattern.c_str(), true);
  FUZZ_CHECK(sensitiveCode == regexp.ErrorCode() && sensitiveCode >= 0 && sensitiveCode <= 10);
  FUZZ_CHECK(pattern.empty() == (sensitiveCode == RegExp::kNoPattern));
  const Result sensitive = Check(regexp, text, length, context);
  FUZZ_CHECK(sensitiveCode == 0 || !sensitive.matched);

  // Ignoring case is matching the folded pattern over the folded text, with
  // the positions carried back to the text itself. The same object parses
  // again, so this also checks that a new parse starts afresh.
  const int insensitiveCode = regexp.Parse(pattern.c_str(), false);
  const Result insensitive = Check(regexp, text, length, context);
  FUZZ_CHECK(insensitiveCode == 0 || !insensitive.matched);

  RegExp folded;
  const std::wstring foldedText = fuzz::Fold(raw);
  FUZZ_CHECK(folded.Parse(fuzz::Fold(pattern).c_str(), true) == insensitiveCode);
  FUZZ_CHECK(folded.GroupCount() == regexp.GroupCount());
  const Result expected = Check(folded, foldedText.c_str(), length, context);
  FUZZ_CHECK(insensitive.matched == expected.matched && insensitive.start == expected.start &&
             insensitive.end == expected.end && insensitive.groups == expected.groups);
  return 0;
}
