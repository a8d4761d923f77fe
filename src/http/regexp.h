// Small pattern matcher used to pull values out of HTTP headers and bodies.
//
// A pattern compiles into a flat instruction list that a backtracking machine
// runs over a NUL-terminated wide text. The machine keeps its choice points on
// an explicit, bounded stack (no native recursion over the text), so a long or
// hostile text makes a match fail instead of overflowing or exhausting memory.
//
// Dialect (summary): literal characters, '.', sets "[a-z\t]" and "[^...]",
// match groups "{...}" numbered by their opening brace, grouping "(...)",
// alternation of single items "x|y", negation "!x", back-references "\N",
// abbreviations "\a \b \c \d \h \n \q \w \z", "^" as the first character
// (anchor), "$" as the last character (end of text), greedy "* + ?" and
// non-greedy "*? +? ??".
//
// Nothing here touches global state; objects are used from one thread.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class RegExp;

// Result of one match: where the whole match and each match group lie in the
// caller's text, plus the backtracking stack, kept between matches so that
// repeated matching reuses its memory.
class MatchContext {
 public:
  static constexpr std::size_t kInitialStackEntries = 256;
  // About 100 MB on a 64-bit build; a text that needs more fails to match.
  static constexpr std::size_t kDefaultMaxStackEntries = std::size_t{1} << 22;

  explicit MatchContext(std::size_t maxStackEntries = kDefaultMaxStackEntries) noexcept
      : maxStackEntries_(maxStackEntries) {}

  int GroupCount() const noexcept { return static_cast<int>(groupStarts_.size()); }
  // Null while group n has not matched, and for n outside 0..GroupCount()-1.
  const wchar_t* GroupStart(int n) const noexcept;
  const wchar_t* GroupEnd(int n) const noexcept;
  const wchar_t* MatchStart() const noexcept { return matchStart_; }
  const wchar_t* MatchEnd() const noexcept { return matchEnd_; }

 private:
  friend class RegExp;

  enum class RecordKind : unsigned char {
    kChoice,          // resume at index with position first
    kNegation,        // "!x": x failed, so resume after it at position first
    kRestorePending,  // put back the pending start of group index
    kRestoreCapture,  // put back the capture (first, second) of group index
  };
  struct Record {
    RecordKind kind;
    int index;
    const wchar_t* first;
    const wchar_t* second;
  };

  void Prepare(int groupCount);  // may throw std::bad_alloc
  void Clear() noexcept;
  [[nodiscard]] bool Push(RecordKind kind, int index, const wchar_t* first, const wchar_t* second = nullptr) noexcept;

  std::vector<const wchar_t*> groupStarts_;
  std::vector<const wchar_t*> groupEnds_;
  std::vector<const wchar_t*> pendingStarts_;  // opened, not yet closed
  std::vector<Record> stack_;
  std::size_t stackTop_ = 0;
  std::size_t maxStackEntries_;
  const wchar_t* matchStart_ = nullptr;
  const wchar_t* matchEnd_ = nullptr;
};

class RegExp {
 public:
  enum ParseError {
    kParseOk = 0,
    kOutOfMemory = 1,          // also: nesting deeper than the parser allows
    kUnclosedGroup = 2,        // "{" without "}"
    kUnclosedParenthesis = 3,  // "(" without ")"
    kUnclosedSet = 4,          // "[" without "]", or a range without its end
    kBadAbbreviation = 5,      // an abbreviation's stored pattern does not parse
    kEmptySet = 6,             // "[]" or "[^]"
    kBadBackReference = 7,     // "\N" with N not below the groups opened so far
    kReversedRange = 8,        // "[z-a]"
    kEmptyRepeat = 9,          // "*" or "+" on something that can match nothing
    kNoPattern = 10,           // null or empty pattern
  };

  RegExp() = default;

  // Compiles the pattern and returns 0 or one of ParseError, which also
  // stays available through ErrorCode(). With caseSensitive false the
  // pattern is lower-cased first and matching ignores letter case.
  int Parse(const wchar_t* pattern, bool caseSensitive) noexcept;

  // Matches from the start of text, retrying from each following character
  // unless the pattern is anchored. On success fills context with positions
  // in text and, when end is given, sets *end just after the match.
  bool Match(const wchar_t* text, MatchContext* context, const wchar_t** end = nullptr) const noexcept;

  int ErrorCode() const noexcept { return errorCode_; }
  int GroupCount() const noexcept { return groupCount_; }
  bool CaseSensitive() const noexcept { return caseSensitive_; }

 private:
  friend bool FindMatches(const wchar_t* pattern, const wchar_t* text, std::vector<std::wstring>& captures) noexcept;

  enum class Op : unsigned char {
    kChar,    // a: the character
    kAny,     // any character but the end of the text
    kSet,     // a: index into sets_
    kNotSet,  // a: index into sets_
    kEndOfText,
    kSplit,          // try pc+a first, then pc+b
    kJump,           // continue at pc+a
    kGroupOpen,      // a: group number
    kGroupClose,     // a: group number
    kBackReference,  // a: group number
    kNegationBegin,  // a: offset to the instruction after the negation
    kNegationMatched,
    kMatch,
  };
  struct Instruction {
    Op op;
    int a;
    int b;
  };
  struct CharRange {
    wchar_t first;
    wchar_t last;
  };
  enum class Outcome { kMatched, kNoMatch, kGaveUp };
  enum class Attempt { kMatched, kFailed, kGaveUp };
  class Parser;

  // subject is text itself, or its lower-cased copy of the same length;
  // matching starts at subject + offset and positions are reported in text.
  Outcome MatchFrom(const wchar_t* text, const wchar_t* subject, std::size_t offset, std::size_t length,
                    MatchContext& context, const wchar_t** end) const;
  Attempt Run(const wchar_t* start, MatchContext& context, std::size_t& budget) const;
  bool InSet(int set, wchar_t c) const noexcept;

  std::vector<Instruction> program_;
  std::vector<std::vector<CharRange>> sets_;
  int errorCode_ = kParseOk;
  int groupCount_ = 0;
  bool caseSensitive_ = true;
  bool anchored_ = false;
};

// Collects group 0's capture of each successive match of pattern in text,
// ignoring letter case in matching and when leaving out repeated captures;
// captures keep the text's own letter case. Returns false, with an empty list,
// for an empty pattern or text, a pattern that does not parse, or a scan that
// ran out of memory; true otherwise, also when nothing matched.
bool FindMatches(const wchar_t* pattern, const wchar_t* text, std::vector<std::wstring>& captures) noexcept;
