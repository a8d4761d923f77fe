// When the installer's download is tried again, and when a transfer is given
// up. Needs no Windows header, so it also builds natively.
//
// The download has a budget in time, not in count: a transfer that fails,
// stalls or ends with fewer (or more) bytes than announced is tried again,
// after a pause that grows and is drawn at random (so that stubs cut off
// together by an outage of the server don't come back together), until a
// minute has passed in which no attempt made progress. A Wi-Fi handover, a VPN
// reconnecting or a laptop waking is ridden out. What the server refuses for
// good (a missing file), what the user ends and what the stub's own rules
// refuse (a redirect away from HTTPS) ends the download at once.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/time_limits.h"

// A transfer that brings fewer bytes than this over the last kSlowWindowMs is
// stalled, however steadily it trickles: 1 KiB/s.
constexpr uint64_t kSlowestBytesPerWindow = 60ULL * 1024;

// What one transfer's answer said about itself: its HTTP status and
// Content-Length, whether the body was encoded (compressed), in which case
// the length counts other bytes than the file's, where a part (206) starts
// and how long its whole file is, and what names this version of the file.
struct TransferHeaders {
  uint32_t status = 0;  // 0 where no HTTP answer came
  std::optional<uint64_t> contentLength;
  bool encoded = false;
  std::optional<uint64_t> rangeStart;  // Content-Range: bytes first-last/total
  std::optional<uint64_t> rangeTotal;  // none where the total is "*"
  std::wstring etag;                   // a strong ETag only; a weak one names no bytes
  std::wstring lastModified;
};

// Reads the raw response headers URL monikers hand over ("HTTP/1.1 200 OK",
// CR LF, then "Name: value" lines). Anything unreadable is left unknown.
TransferHeaders ParseTransferHeaders(const std::wstring& raw);

enum class TransferEnd {
  kComplete,     // a 2xx answer, reported done, and as long as announced (or nothing announced)
  kFailed,       // reported failed or aborted for a stall, or a server error that may pass
  kWrongLength,  // reported done, but the file is not as long as the server announced
  kRefused,      // an answer that another attempt won't change (a 4xx status)
};

// The whole file's length as the answer announces it: a part's total (or
// its start and length), else the Content-Length. None where it is unknown
// or the body is encoded.
std::optional<uint64_t> AnnouncedFileLength(const TransferHeaders& headers);

// A broken transfer asks for the rest of the file, from the byte it got to,
// on the condition that the file is still the one it began: If-Range names
// the first answer's ETag, else its Last-Modified. None where the first
// answer named neither or was encoded (the rest is then asked for whole).
std::optional<std::wstring> RangeValidator(const TransferHeaders& first);
// The request's headers for the rest from offset, each line ending in CR LF.
std::wstring RangeRequestHeaders(uint64_t offset, const std::wstring& validator);

// Where the answer's body goes in the file, for a transfer that asked for
// the rest from offset (0: the whole file).
enum class BodyPlace {
  kWhole,     // a whole file: what the file holds is thrown away first
  kAppend,    // the asked-for rest (a 206 from offset): added to what the file holds
  kUnusable,  // a part of something else, or no file at all: nothing is written
};
BodyPlace PlaceOfBody(uint64_t offset, const TransferHeaders& headers);

// received is the size of the file the download produced, none where the
// file can't be read (its own error then tells).
TransferEnd ClassifyTransfer(bool reportedDone, const TransferHeaders& headers, std::optional<uint64_t> received);

// True when a transfer that ended so is worth another attempt (within the
// budget below).
bool IsTriedAgain(TransferEnd end);

// The pause before the given attempt (2 and on), in milliseconds: from about
// one second it doubles up to a quarter of a minute, so that a link that is
// coming back gets the time to. jitter (0 to 1, drawn at random) picks it
// between half and all of that.
uint32_t PauseBeforeAttemptMs(int attempt, double jitter);

// The attempts' budget: it runs out once kNoProgressLimitMs have passed since
// the download began or since the last attempt that made progress brought
// its last bytes. Times are milliseconds of any monotonic clock.
class DownloadBudget {
 public:
  explicit DownloadBudget(uint64_t startMs) : progressAtMs_(startMs) {}
  // An attempt brought bytes until lastDataMs and was not given up as too slow.
  void Progressed(uint64_t lastDataMs);
  // What is left of the budget at nowMs; 0 once it is spent.
  uint64_t RemainingMs(uint64_t nowMs) const;

 private:
  uint64_t progressAtMs_;
};

// Tells a transfer that trickles from one that moves: fed the bytes received
// so far now and then (about once a second), it says when the last
// kSlowWindowMs brought fewer than kSlowestBytesPerWindow. A transfer younger
// than the window is never slow: the silence limit watches its start.
class SlowTransferCheck {
 public:
  void Sample(uint64_t nowMs, uint64_t bytes);
  bool IsSlow() const { return slow_; }

 private:
  struct Point {
    uint64_t ms;
    uint64_t bytes;
  };
  static constexpr size_t kPoints = 128;  // more than a window of samples a second apart
  Point points_[kPoints] = {};
  size_t first_ = 0;
  size_t count_ = 0;
  bool slow_ = false;
};

// The smallest of the lengths the file may not grow past: the whole file's
// length the answer announces (AnnouncedFileLength) and the size the document
// names. None when neither is known.
std::optional<uint64_t> TransferLimit(const TransferHeaders& headers, std::optional<uint64_t> documentSize);

// True for an open of the downloaded file that failed only because another
// program (a virus scanner looking at the new file) still has it open: worth
// trying again for a while. The numbers are the system's error codes.
bool IsTransientOpenError(uint32_t systemError);
