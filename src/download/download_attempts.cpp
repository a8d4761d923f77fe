#include "download/download_attempts.h"

#include <algorithm>

#include "common/text.h"

namespace {

std::wstring Trimmed(const std::wstring& text) {
  const size_t first = text.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return std::wstring();
  return text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

// Only plain decimal digits, without overflow; anything else is unknown.
std::optional<uint64_t> DecimalValue(const std::wstring& text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  uint64_t value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - L'0');
  }
  return value;
}

// "HTTP/1.1 200 OK" gives 200.
uint32_t StatusOfLine(const std::wstring& line) {
  if (line.compare(0, 5, L"HTTP/") != 0) return 0;
  const size_t blank = line.find(L' ');
  if (blank == std::wstring::npos || line.size() < blank + 4) return 0;
  const auto status = DecimalValue(line.substr(blank + 1, 3));
  return status && *status >= 100 && *status <= 999 ? static_cast<uint32_t>(*status) : 0;
}

// "bytes 100-199/200" (total "*": unknown) gives its first byte and total;
// anything else leaves both unknown.
void ReadContentRange(const std::wstring& value, TransferHeaders& headers) {
  if (value.compare(0, 6, L"bytes ") != 0) return;
  const size_t dash = value.find(L'-', 6);
  const size_t slash = value.find(L'/', 6);
  if (dash == std::wstring::npos || slash == std::wstring::npos || slash < dash) return;
  const auto first = DecimalValue(Trimmed(value.substr(6, dash - 6)));
  const auto last = DecimalValue(value.substr(dash + 1, slash - dash - 1));
  const std::wstring totalText = value.substr(slash + 1);
  const auto total = DecimalValue(totalText);
  if (!first || !last || *last < *first || (totalText != L"*" && (!total || *last >= *total))) return;
  headers.rangeStart = first;
  headers.rangeTotal = total;
}

}  // namespace

TransferHeaders ParseTransferHeaders(const std::wstring& raw) {
  TransferHeaders headers;
  size_t start = 0;
  bool first = true;
  bool lengthSeen = false;
  while (start < raw.size()) {
    size_t end = raw.find(L'\n', start);
    if (end == std::wstring::npos) end = raw.size();
    std::wstring line = raw.substr(start, end - start);
    if (!line.empty() && line.back() == L'\r') line.pop_back();
    start = end + 1;
    if (first) {
      first = false;
      headers.status = StatusOfLine(line);
      if (headers.status != 0) continue;  // else the text starts with the headers themselves
    }
    const size_t colon = line.find(L':');
    if (colon == std::wstring::npos) continue;
    const std::wstring name = Trimmed(line.substr(0, colon));
    const std::wstring value = Trimmed(line.substr(colon + 1));
    if (EqualsIgnoringCase(name, L"content-length")) {
      // Two differing lengths say nothing certain.
      const auto length = DecimalValue(value);
      if (lengthSeen && length != headers.contentLength) {
        headers.contentLength.reset();
      } else if (!lengthSeen) {
        headers.contentLength = length;
      }
      lengthSeen = true;
    } else if (EqualsIgnoringCase(name, L"content-encoding") && !EqualsIgnoringCase(value, L"identity")) {
      headers.encoded = true;
    } else if (EqualsIgnoringCase(name, L"content-range")) {
      ReadContentRange(value, headers);
    } else if (EqualsIgnoringCase(name, L"etag")) {
      // Only a quoted, strong tag may name the bytes of a range.
      const bool strong = value.size() >= 2 && value.front() == L'"' && value.back() == L'"';
      headers.etag = strong ? value : std::wstring();
    } else if (EqualsIgnoringCase(name, L"last-modified")) {
      headers.lastModified = value;
    }
  }
  return headers;
}

std::optional<uint64_t> AnnouncedFileLength(const TransferHeaders& headers) {
  if (headers.encoded) return std::nullopt;
  if (headers.status == 206) {
    if (headers.rangeTotal) return headers.rangeTotal;
    if (headers.rangeStart && headers.contentLength) return *headers.rangeStart + *headers.contentLength;
    return std::nullopt;
  }
  return headers.contentLength;
}

std::optional<std::wstring> RangeValidator(const TransferHeaders& first) {
  if (first.encoded) return std::nullopt;
  if (!first.etag.empty()) return first.etag;
  if (!first.lastModified.empty()) return first.lastModified;
  return std::nullopt;
}

std::wstring RangeRequestHeaders(uint64_t offset, const std::wstring& validator) {
  return L"Range: bytes=" + WideDecimal(offset) + L"-\r\nIf-Range: " + validator + L"\r\n";
}

BodyPlace PlaceOfBody(uint64_t offset, const TransferHeaders& headers) {
  if (headers.status == 206) {
    const bool theRest = offset > 0 && !headers.encoded && headers.rangeStart == offset;
    return theRest ? BodyPlace::kAppend : BodyPlace::kUnusable;
  }
  // A status 0 is an answer without HTTP (a file:// address, a test's transfer).
  const bool whole = headers.status == 0 || (headers.status >= 200 && headers.status <= 299);
  return whole ? BodyPlace::kWhole : BodyPlace::kUnusable;
}

TransferEnd ClassifyTransfer(bool reportedDone, const TransferHeaders& headers, std::optional<uint64_t> received) {
  const uint32_t status = headers.status;
  const bool mayPass = status >= 500 || status == 408 || status == 429;
  if (status >= 400 && !mayPass) return TransferEnd::kRefused;
  if (!reportedDone || mayPass || (status != 0 && (status < 200 || status > 299))) return TransferEnd::kFailed;
  // No installer is empty: a connection closed before the answer can leave
  // an empty file that the download reports done.
  if (!received) return TransferEnd::kComplete;
  if (*received == 0) return TransferEnd::kFailed;
  const auto announced = AnnouncedFileLength(headers);
  if (announced && *announced != *received) return TransferEnd::kWrongLength;
  return TransferEnd::kComplete;
}

bool IsTriedAgain(TransferEnd end) { return end == TransferEnd::kFailed || end == TransferEnd::kWrongLength; }

uint32_t PauseBeforeAttemptMs(int attempt, double jitter) {
  constexpr uint32_t kFirstMs = kFirstRetryPauseMs;
  constexpr uint32_t kLongestMs = kLongestRetryPauseMs;
  uint32_t pause = kFirstMs;
  for (int i = 2; i < attempt && pause < kLongestMs; ++i) pause *= 2;
  pause = std::min(pause, kLongestMs);
  const double share = 0.5 + 0.5 * std::min(std::max(jitter, 0.0), 1.0);
  return static_cast<uint32_t>(pause * share);
}

void DownloadBudget::Progressed(uint64_t lastDataMs) { progressAtMs_ = std::max(progressAtMs_, lastDataMs); }

uint64_t DownloadBudget::RemainingMs(uint64_t nowMs) const {
  const uint64_t quiet = nowMs > progressAtMs_ ? nowMs - progressAtMs_ : 0;
  return quiet >= kNoProgressLimitMs ? 0 : kNoProgressLimitMs - quiet;
}

void SlowTransferCheck::Sample(uint64_t nowMs, uint64_t bytes) {
  if (count_ == kPoints) {  // a sampler faster than promised: forget the oldest
    first_ = (first_ + 1) % kPoints;
    --count_;
  }
  points_[(first_ + count_) % kPoints] = Point{nowMs, bytes};
  ++count_;
  // The oldest point still a whole window back is the window's start; the
  // ones before it are of no more use.
  while (count_ > 1 && nowMs - points_[(first_ + 1) % kPoints].ms >= kSlowWindowMs) {
    first_ = (first_ + 1) % kPoints;
    --count_;
  }
  const Point& start = points_[first_];
  const bool windowCovered = nowMs >= start.ms && nowMs - start.ms >= kSlowWindowMs;
  const uint64_t brought = bytes >= start.bytes ? bytes - start.bytes : bytes;
  slow_ = windowCovered && brought < kSlowestBytesPerWindow;
}

std::optional<uint64_t> TransferLimit(const TransferHeaders& headers, std::optional<uint64_t> documentSize) {
  std::optional<uint64_t> limit = documentSize;
  const auto announced = AnnouncedFileLength(headers);
  if (announced && (!limit || *announced < *limit)) limit = announced;
  return limit;
}

bool IsTransientOpenError(uint32_t systemError) {
  constexpr uint32_t kSharingViolation = 32;
  constexpr uint32_t kLockViolation = 33;
  return systemError == kSharingViolation || systemError == kLockViolation;
}
