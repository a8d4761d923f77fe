#include "http/regexp.h"

#include <algorithm>
#include <cwchar>
#include <unordered_set>
#include <utility>

namespace {

// The parser recurses once per nesting level of "{", "(", "!" and
// abbreviations; this bound keeps its native stack use small whatever the
// pattern.
constexpr int kMaxNesting = 256;

// A match gives up after this many instruction steps plus so many per
// character of text. Sensible patterns need a few steps per character; the
// bound only stops patterns whose backtracking explodes (such as "\w+x" over
// a long word), which would otherwise hang the caller.
constexpr std::size_t kBaseSteps = 20000000;
constexpr std::size_t kStepsPerChar = 1000;

// One row per abbreviation: the letter, then the pattern it stands for.
// Alternation joins single items, so the line end groups "\r?\n" to offer
// a lone CR as the first choice and CR LF or LF as the second.
constexpr const wchar_t* kAbbreviations[] = {
    L"a([a-zA-Z0-9])",          L"b([ \\t])",    L"c([a-zA-Z])", L"d([0-9])", L"h([0-9a-fA-F])", L"n(\r|(\r?\n))",
    L"q(\"[^\"]*\")|('[^']*')", L"w([a-zA-Z]+)", L"z([0-9]+)",
};

const wchar_t* FindAbbreviation(wchar_t letter) noexcept {
  for (const wchar_t* row : kAbbreviations) {
    if (row[0] == letter) return row + 1;
  }
  return nullptr;
}

// Lower-cases ASCII, Latin-1, Greek and Cyrillic capitals one code unit at a
// time, so that a folded copy has the same length as the text and positions
// carry over between the two. Independent of the C runtime's locale.
wchar_t FoldChar(wchar_t c) noexcept {
  const unsigned u = static_cast<unsigned>(c);
  if ((u >= 0x41 && u <= 0x5A) || (u >= 0xC0 && u <= 0xDE && u != 0xD7) || (u >= 0x391 && u <= 0x3A9 && u != 0x3A2) ||
      (u >= 0x410 && u <= 0x42F)) {
    return static_cast<wchar_t>(u + 0x20);
  }
  if (u >= 0x400 && u <= 0x40F) return static_cast<wchar_t>(u + 0x50);
  return c;
}

std::wstring FoldCase(const wchar_t* text, std::size_t length) {
  std::wstring folded(text, length);
  for (wchar_t& c : folded) c = FoldChar(c);
  return folded;
}

bool IsCloser(wchar_t c) noexcept { return c == L')' || c == L']' || c == L'}'; }
bool IsDigit(wchar_t c) noexcept { return c >= L'0' && c <= L'9'; }

// Consumes one character when it matched.
bool Step(const wchar_t*& pos, int& pc, bool matched) noexcept {
  if (matched) {
    ++pos;
    ++pc;
  }
  return matched;
}

}  // namespace

// ---------------------------------------------------------------------------
// MatchContext

const wchar_t* MatchContext::GroupStart(int n) const noexcept {
  return n >= 0 && n < GroupCount() ? groupStarts_[static_cast<std::size_t>(n)] : nullptr;
}

const wchar_t* MatchContext::GroupEnd(int n) const noexcept {
  return n >= 0 && n < GroupCount() ? groupEnds_[static_cast<std::size_t>(n)] : nullptr;
}

void MatchContext::Prepare(int groupCount) {
  const std::size_t count = static_cast<std::size_t>(groupCount);
  groupStarts_.assign(count, nullptr);
  groupEnds_.assign(count, nullptr);
  pendingStarts_.assign(count, nullptr);
  if (stack_.empty()) stack_.resize(std::min(kInitialStackEntries, maxStackEntries_));
  stackTop_ = 0;
  matchStart_ = matchEnd_ = nullptr;
}

void MatchContext::Clear() noexcept {
  std::fill(groupStarts_.begin(), groupStarts_.end(), nullptr);
  std::fill(groupEnds_.begin(), groupEnds_.end(), nullptr);
  stackTop_ = 0;
  matchStart_ = matchEnd_ = nullptr;
}

bool MatchContext::Push(RecordKind kind, int index, const wchar_t* first, const wchar_t* second) noexcept {
  if (stackTop_ == stack_.size()) {
    if (stack_.size() >= maxStackEntries_) return false;
    const std::size_t grown = std::min(stack_.size() * 2 + 4, maxStackEntries_);
    try {
      stack_.reserve(grown);
      stack_.resize(grown);
    } catch (...) {
      return false;
    }
  }
  stack_[stackTop_++] = Record{kind, index, first, second};
  return true;
}

// ---------------------------------------------------------------------------
// Parser: recursive descent over the pattern, each production returning a
// self-contained piece of code. Jumps are relative, so pieces can be wrapped
// and concatenated without patching.

class RegExp::Parser {
 public:
  Parser(RegExp& target, const wchar_t* pattern, std::size_t length)
      : re_(target), p_(pattern), dollar_(length > 0 && pattern[length - 1] == L'$' ? pattern + length - 1 : nullptr) {}

  int Compile() {
    if (*p_ == L'^') {
      re_.anchored_ = true;
      ++p_;
    }
    // A stray closing character at this level simply ends the pattern.
    Piece body = Sequence();
    if (error_ != kParseOk) return error_;
    re_.program_ = std::move(body.code);
    re_.program_.push_back(Instruction{Op::kMatch, 0, 0});
    return kParseOk;
  }

 private:
  struct Piece {
    std::vector<Instruction> code;
    bool nullable = true;  // can match the empty string
  };

  static Piece Single(Op op, int a = 0, bool nullable = false) {
    Piece piece;
    piece.code.push_back(Instruction{op, a, 0});
    piece.nullable = nullable;
    return piece;
  }

  static void Append(std::vector<Instruction>& code, const std::vector<Instruction>& tail) {
    code.insert(code.end(), tail.begin(), tail.end());
  }

  void Fail(int code) noexcept {
    if (error_ == kParseOk) error_ = code;
  }

  bool Enter() noexcept {
    if (++depth_ > kMaxNesting) {
      // Too deep for the parser's own stack: the same kind of resource
      // exhaustion as running out of memory, so it is reported as such.
      Fail(kOutOfMemory);
      return false;
    }
    return true;
  }
  void Leave() noexcept { --depth_; }

  // Items up to the end of the pattern or a closing character (left unread).
  Piece Sequence() {
    Piece sequence;
    while (error_ == kParseOk && *p_ != 0 && !IsCloser(*p_)) {
      Piece item = Item();
      if (error_ != kParseOk) break;
      Append(sequence.code, item.code);
      sequence.nullable = sequence.nullable && item.nullable;
    }
    return sequence;
  }

  // One quantified argument, optionally followed by "|" and a further item.
  // The chain "x|y|z" is collected in a loop, not by recursion.
  Piece Item() {
    std::vector<Piece> alternatives;
    alternatives.push_back(Quantified());
    while (error_ == kParseOk && *p_ == L'|') {
      ++p_;
      // Nothing after "|" is an empty alternative.
      alternatives.push_back(*p_ == 0 || IsCloser(*p_) ? Piece{} : Quantified());
    }
    if (error_ != kParseOk || alternatives.size() == 1) return std::move(alternatives.front());
    return Alternation(alternatives);
  }

  // split(next, following alternative); alternative; jump(end) ... last alternative
  static Piece Alternation(const std::vector<Piece>& alternatives) {
    std::size_t total = alternatives.back().code.size();
    for (std::size_t i = 0; i + 1 < alternatives.size(); ++i) {
      total += alternatives[i].code.size() + 2;
    }
    Piece result;
    result.nullable = false;
    for (std::size_t i = 0; i < alternatives.size(); ++i) {
      const Piece& alternative = alternatives[i];
      const int size = static_cast<int>(alternative.code.size());
      result.nullable = result.nullable || alternative.nullable;
      if (i + 1 == alternatives.size()) {
        Append(result.code, alternative.code);
        break;
      }
      result.code.push_back(Instruction{Op::kSplit, 1, size + 2});
      Append(result.code, alternative.code);
      const int jumpAt = static_cast<int>(result.code.size());
      result.code.push_back(Instruction{Op::kJump, static_cast<int>(total) - jumpAt, 0});
    }
    return result;
  }

  Piece Quantified() {
    Piece argument = Argument();
    if (error_ != kParseOk) return argument;
    const wchar_t quantifier = *p_;
    if (quantifier != L'*' && quantifier != L'+' && quantifier != L'?') return argument;
    ++p_;
    const bool lazy = *p_ == L'?';
    if (lazy) ++p_;
    // Repeating something that can match nothing could loop without end.
    if (quantifier != L'?' && argument.nullable) {
      Fail(kEmptyRepeat);
      return argument;
    }
    return Repeat(argument, quantifier, lazy);
  }

  // Each repetition passes a split, which leaves a choice point behind: the
  // matcher can give repetitions back one at a time (greedy) or take one
  // more at a time (lazy).
  static Piece Repeat(const Piece& argument, wchar_t quantifier, bool lazy) {
    const int n = static_cast<int>(argument.code.size());
    Piece result;
    result.nullable = quantifier != L'+' || argument.nullable;
    auto split = [lazy](int body, int exit) {
      return lazy ? Instruction{Op::kSplit, exit, body} : Instruction{Op::kSplit, body, exit};
    };
    if (quantifier == L'*') {
      result.code.push_back(split(1, n + 2));
      Append(result.code, argument.code);
      result.code.push_back(Instruction{Op::kJump, -(n + 1), 0});
    } else if (quantifier == L'+') {
      Append(result.code, argument.code);
      result.code.push_back(split(-n, 1));
    } else {
      result.code.push_back(split(1, n + 1));
      Append(result.code, argument.code);
    }
    return result;
  }

  // Precondition: *p_ is neither the end of the pattern nor a closer.
  Piece Argument() {
    const wchar_t c = *p_;
    switch (c) {
      case L'.': ++p_; return Single(Op::kAny);
      case L'[': return Set();
      case L'{': return Group();
      case L'(': return Parenthesised();
      case L'!': return Negation();
      case L'\\': return Escape();
      case L'$':
        if (p_ == dollar_) {
          ++p_;
          return Single(Op::kEndOfText, 0, true);
        }
        break;
      default: break;
    }
    ++p_;
    return Single(Op::kChar, static_cast<int>(c));
  }

  Piece Group() {
    ++p_;
    if (!Enter()) return Piece{};
    const int group = re_.groupCount_++;
    groupClosed_.push_back(false);
    groupNullable_.push_back(true);
    Piece body = Sequence();
    Leave();
    if (error_ != kParseOk) return body;
    if (*p_ != L'}') {
      Fail(kUnclosedGroup);
      return body;
    }
    ++p_;
    groupClosed_[static_cast<std::size_t>(group)] = true;
    groupNullable_[static_cast<std::size_t>(group)] = body.nullable;
    Piece result = Single(Op::kGroupOpen, group, body.nullable);
    Append(result.code, body.code);
    result.code.push_back(Instruction{Op::kGroupClose, group, 0});
    return result;
  }

  Piece Parenthesised() {
    ++p_;
    if (!Enter()) return Piece{};
    Piece body = Sequence();
    Leave();
    if (error_ == kParseOk && *p_ != L')') Fail(kUnclosedParenthesis);
    if (error_ == kParseOk) ++p_;
    return body;
  }

  // negation-begin(after); x; negation-matched; after:
  Piece Negation() {
    ++p_;
    if (*p_ == 0 || IsCloser(*p_)) return Single(Op::kChar, L'!');  // nothing to negate
    if (!Enter()) return Piece{};
    Piece negated = Argument();
    Leave();
    if (error_ != kParseOk) return negated;
    const int n = static_cast<int>(negated.code.size());
    Piece result = Single(Op::kNegationBegin, n + 2, true);
    Append(result.code, negated.code);
    result.code.push_back(Instruction{Op::kNegationMatched, 0, 0});
    return result;
  }

  Piece Escape() {
    ++p_;
    const wchar_t c = *p_;
    if (c == 0) return Single(Op::kChar, L'\\');  // a trailing backslash is itself
    if (IsDigit(c)) return BackReference();
    ++p_;
    if (const wchar_t* stored = FindAbbreviation(c)) return Abbreviation(stored);
    return Single(Op::kChar, static_cast<int>(c));
  }

  Piece BackReference() {
    long number = 0;
    while (IsDigit(*p_)) {
      // Saturate: any huge number is out of range anyway.
      number = std::min(number * 10 + (*p_ - L'0'), 1000000L);
      ++p_;
    }
    if (number >= re_.groupCount_) {
      Fail(kBadBackReference);
      return Piece{};
    }
    const std::size_t group = static_cast<std::size_t>(number);
    // A group still open, or one that can capture nothing, may repeat "".
    const bool nullable = !groupClosed_[group] || groupNullable_[group];
    return Single(Op::kBackReference, static_cast<int>(number), nullable);
  }

  // The stored pattern is parsed in place of the abbreviation as one item,
  // alternation included, so "\q" takes double- and single-quoted strings.
  Piece Abbreviation(const wchar_t* stored) {
    if (!Enter()) return Piece{};
    const wchar_t* resume = p_;
    const wchar_t* dollar = dollar_;
    p_ = stored;
    dollar_ = nullptr;
    Piece item = Item();
    const bool complete = *p_ == 0;
    p_ = resume;
    dollar_ = dollar;
    Leave();
    if (error_ != kParseOk && error_ != kOutOfMemory) error_ = kBadAbbreviation;
    if (error_ == kParseOk && !complete) Fail(kBadAbbreviation);
    return item;
  }

  // One set character: c, or "\" and c, where "\t" is a tab.
  bool SetChar(wchar_t& out) noexcept {
    if (*p_ == L'\\') {
      ++p_;
      if (*p_ == 0) return false;
      out = *p_ == L't' ? L'\t' : *p_;
    } else {
      out = *p_;
    }
    ++p_;
    return true;
  }

  Piece Set() {
    ++p_;
    const bool negated = *p_ == L'^';
    if (negated) ++p_;
    std::vector<CharRange> ranges;
    while (*p_ != L']') {
      CharRange range{};
      if (*p_ == 0 || !SetChar(range.first)) {
        Fail(kUnclosedSet);
        return Piece{};
      }
      range.last = range.first;
      if (*p_ == L'-') {
        ++p_;
        // "[a-]" leaves the range without an end.
        if (*p_ == 0 || *p_ == L']' || !SetChar(range.last)) {
          Fail(kUnclosedSet);
          return Piece{};
        }
        if (range.last < range.first) {
          Fail(kReversedRange);
          return Piece{};
        }
      }
      ranges.push_back(range);
    }
    ++p_;
    if (ranges.empty()) {
      Fail(kEmptySet);
      return Piece{};
    }
    re_.sets_.push_back(std::move(ranges));
    return Single(negated ? Op::kNotSet : Op::kSet, static_cast<int>(re_.sets_.size() - 1));
  }

  RegExp& re_;
  const wchar_t* p_;
  const wchar_t* dollar_;  // a final "$" of the whole pattern: the end of the text
  int depth_ = 0;
  int error_ = kParseOk;
  std::vector<bool> groupClosed_;
  std::vector<bool> groupNullable_;
};

// ---------------------------------------------------------------------------
// RegExp

int RegExp::Parse(const wchar_t* pattern, bool caseSensitive) noexcept {
  program_.clear();
  sets_.clear();
  groupCount_ = 0;
  anchored_ = false;
  caseSensitive_ = caseSensitive;
  errorCode_ = kParseOk;
  if (pattern == nullptr || *pattern == 0) {
    errorCode_ = kNoPattern;
    return errorCode_;
  }
  try {
    const std::size_t length = std::wcslen(pattern);
    std::wstring folded;
    if (!caseSensitive) folded = FoldCase(pattern, length);
    Parser parser(*this, caseSensitive ? pattern : folded.c_str(), length);
    errorCode_ = parser.Compile();
  } catch (...) {  // std::bad_alloc, or std::length_error from a vector
    errorCode_ = kOutOfMemory;
  }
  if (errorCode_ != kParseOk) {
    program_.clear();
    sets_.clear();
    groupCount_ = 0;
    anchored_ = false;
  }
  return errorCode_;
}

bool RegExp::Match(const wchar_t* text, MatchContext* context, const wchar_t** end) const noexcept {
  if (text == nullptr || context == nullptr) return false;
  try {
    const std::size_t length = std::wcslen(text);
    if (caseSensitive_) {
      return MatchFrom(text, text, 0, length, *context, end) == Outcome::kMatched;
    }
    const std::wstring folded = FoldCase(text, length);
    return MatchFrom(text, folded.c_str(), 0, length, *context, end) == Outcome::kMatched;
  } catch (...) {
    context->Clear();
    return false;
  }
}

RegExp::Outcome RegExp::MatchFrom(const wchar_t* text, const wchar_t* subject, std::size_t offset, std::size_t length,
                                  MatchContext& context, const wchar_t** end) const {
  context.Prepare(groupCount_);
  if (errorCode_ != kParseOk || program_.empty()) return Outcome::kNoMatch;
  std::size_t budget = kBaseSteps + kStepsPerChar * (length - offset);
  const wchar_t* const last = subject + length;
  // Attempts run up to and including the end of the text, where only a
  // pattern that can match nothing succeeds.
  for (const wchar_t* start = subject + offset;; ++start) {
    const Attempt attempt = Run(start, context, budget);
    if (attempt == Attempt::kGaveUp) {
      context.Clear();
      return Outcome::kGaveUp;
    }
    if (attempt == Attempt::kMatched) break;
    if (anchored_ || start == last) {
      context.Clear();
      return Outcome::kNoMatch;
    }
  }
  // Report positions in the caller's text, not in the folded copy.
  auto translate = [text, subject](const wchar_t*& p) {
    if (p != nullptr) p = text + (p - subject);
  };
  for (auto& p : context.groupStarts_) translate(p);
  for (auto& p : context.groupEnds_) translate(p);
  translate(context.matchStart_);
  translate(context.matchEnd_);
  if (end != nullptr) *end = context.matchEnd_;
  return Outcome::kMatched;
}

bool RegExp::InSet(int set, wchar_t c) const noexcept {
  for (const CharRange& range : sets_[static_cast<std::size_t>(set)]) {
    if (c >= range.first && c <= range.last) return true;
  }
  return false;
}

// One attempt from start. Choice points and the state that backtracking must
// put back live on the context's stack, so the native stack stays flat.
RegExp::Attempt RegExp::Run(const wchar_t* start, MatchContext& context, std::size_t& budget) const {
  using Kind = MatchContext::RecordKind;
  auto& starts = context.groupStarts_;
  auto& ends = context.groupEnds_;
  auto& pending = context.pendingStarts_;
  auto& stack = context.stack_;
  std::size_t& top = context.stackTop_;
  top = 0;
  context.matchStart_ = start;

  int pc = 0;
  const wchar_t* pos = start;
  for (;;) {
    if (budget == 0) return Attempt::kGaveUp;
    --budget;
    const Instruction& in = program_[static_cast<std::size_t>(pc)];
    bool ok = true;
    switch (in.op) {
      case Op::kChar: ok = Step(pos, pc, *pos == static_cast<wchar_t>(in.a)); break;
      case Op::kAny: ok = Step(pos, pc, *pos != 0); break;
      case Op::kSet:
      case Op::kNotSet: ok = Step(pos, pc, *pos != 0 && InSet(in.a, *pos) == (in.op == Op::kSet)); break;
      case Op::kEndOfText:
        ok = *pos == 0;
        if (ok) ++pc;
        break;
      case Op::kSplit:
        if (!context.Push(Kind::kChoice, pc + in.b, pos)) return Attempt::kGaveUp;
        pc += in.a;
        break;
      case Op::kJump: pc += in.a; break;
      case Op::kGroupOpen: {
        const std::size_t g = static_cast<std::size_t>(in.a);
        if (!context.Push(Kind::kRestorePending, in.a, pending[g])) return Attempt::kGaveUp;
        pending[g] = pos;
        ++pc;
        break;
      }
      case Op::kGroupClose: {
        // The capture changes only when the group completes, so a group
        // always shows a whole capture (its last one) or none.
        const std::size_t g = static_cast<std::size_t>(in.a);
        if (!context.Push(Kind::kRestoreCapture, in.a, starts[g], ends[g])) {
          return Attempt::kGaveUp;
        }
        starts[g] = pending[g];
        ends[g] = pos;
        ++pc;
        break;
      }
      case Op::kBackReference: {
        const std::size_t g = static_cast<std::size_t>(in.a);
        const wchar_t* p = pos;
        ok = starts[g] != nullptr && ends[g] != nullptr;
        for (const wchar_t* q = starts[g]; ok && q != ends[g]; ++q, ++p) ok = *p == *q;
        if (ok) {
          pos = p;
          ++pc;
        }
        break;
      }
      case Op::kNegationBegin:
        if (!context.Push(Kind::kNegation, pc + in.a, pos)) return Attempt::kGaveUp;
        ++pc;
        break;
      case Op::kNegationMatched:
        // The negated argument matched, so the negation fails: drop its
        // choice points, undo its captures, then backtrack further.
        for (;;) {
          if (top == 0) return Attempt::kGaveUp;  // unreachable: begin pushed one
          const MatchContext::Record record = stack[--top];
          if (record.kind == Kind::kNegation) break;
          if (record.kind == Kind::kRestorePending) {
            pending[static_cast<std::size_t>(record.index)] = record.first;
          } else if (record.kind == Kind::kRestoreCapture) {
            starts[static_cast<std::size_t>(record.index)] = record.first;
            ends[static_cast<std::size_t>(record.index)] = record.second;
          }
        }
        ok = false;
        break;
      case Op::kMatch: context.matchEnd_ = pos; return Attempt::kMatched;
    }
    if (ok) continue;

    // Backtrack to the most recent choice point; a negation's record is
    // one too: reaching it means its argument failed, so it succeeds.
    for (;;) {
      if (top == 0) return Attempt::kFailed;
      const MatchContext::Record record = stack[--top];
      if (record.kind == Kind::kChoice || record.kind == Kind::kNegation) {
        pc = record.index;
        pos = record.first;
        break;
      }
      if (record.kind == Kind::kRestorePending) {
        pending[static_cast<std::size_t>(record.index)] = record.first;
      } else {
        starts[static_cast<std::size_t>(record.index)] = record.first;
        ends[static_cast<std::size_t>(record.index)] = record.second;
      }
    }
  }
}

// ---------------------------------------------------------------------------

bool FindMatches(const wchar_t* pattern, const wchar_t* text, std::vector<std::wstring>& captures) noexcept {
  captures.clear();
  if (pattern == nullptr || *pattern == 0 || text == nullptr || *text == 0) return false;
  try {
    RegExp regexp;
    if (regexp.Parse(pattern, false) != RegExp::kParseOk) return false;
    const std::size_t length = std::wcslen(text);
    // One folded copy serves every match of the scan.
    const std::wstring folded = FoldCase(text, length);
    MatchContext context;
    std::unordered_set<std::wstring> seen;  // folded captures already listed
    std::size_t offset = 0;
    for (;;) {
      const wchar_t* end = nullptr;
      const RegExp::Outcome outcome = regexp.MatchFrom(text, folded.c_str(), offset, length, context, &end);
      if (outcome == RegExp::Outcome::kGaveUp) {
        captures.clear();
        return false;
      }
      if (outcome == RegExp::Outcome::kNoMatch) break;
      const wchar_t* first = context.GroupStart(0);
      const wchar_t* last = context.GroupEnd(0);
      if (first != nullptr && last != nullptr) {
        const std::size_t from = static_cast<std::size_t>(first - text);
        const std::size_t count = static_cast<std::size_t>(last - first);
        if (seen.insert(folded.substr(from, count)).second) {
          captures.emplace_back(first, last);
        }
      }
      std::size_t next = static_cast<std::size_t>(end - text);
      if (next >= length) break;
      // A match that consumed nothing would be found again at the same
      // place for ever: step one character on so the scan always ends.
      if (next == offset) ++next;
      offset = next;
    }
    return true;
  } catch (...) {
    captures.clear();
    return false;
  }
}
