// When the installer's download is tried again. Needs no Windows header, so
// it also builds natively.
//
// A transfer that fails, stalls or ends with fewer (or more) bytes than the
// server announced is tried again, twice, after a pause that grows: hotel
// Wi-Fi and mobile links drop connections that the next attempt gets through.
// What the server refuses for good (a missing file), what the user ends and
// what the stub's own rules refuse (a redirect away from HTTPS) is not.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

constexpr int kDownloadAttempts = 3;

// What one transfer's answer said about itself: its HTTP status and
// Content-Length, and whether the body was encoded (compressed), in which
// case the length counts other bytes than the file's.
struct TransferHeaders {
  uint32_t status = 0;  // 0 where no HTTP answer came
  std::optional<uint64_t> contentLength;
  bool encoded = false;
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

// received is the size of the file the download produced, none where the
// file can't be read (its own error then tells).
TransferEnd ClassifyTransfer(bool reportedDone, const TransferHeaders& headers, std::optional<uint64_t> received);

// True when attempt (1-based) ended in a way worth another attempt and it was
// not the last.
bool IsTriedAgain(TransferEnd end, int attempt);

// The pause before the given attempt (2 or 3), in milliseconds: it grows, so
// that a link that is coming back gets the time to.
uint32_t PauseBeforeAttemptMs(int attempt);
