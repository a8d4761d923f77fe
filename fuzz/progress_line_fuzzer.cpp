// The progress line's estimate over arbitrary notifications, and translated
// patterns filled with values: whatever the byte counts and clock do, the
// estimate is a finite, non-negative number of seconds or none, the shown time
// rounds it up, and filling a pattern never reads beyond its values.
//
// Input: four bytes of the total (little-endian; 0 means no length), then
// records of six bytes: two of milliseconds since the last notification, four
// of bytes that arrived (a record whose top bit is set starts over from that
// many bytes); the rest of an input shorter than a record is a pattern.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "progress/download_estimate.h"
#include "text/placeholders.h"

namespace {

uint32_t Read32(const uint8_t* data) {
  return static_cast<uint32_t>(data[0]) | static_cast<uint32_t>(data[1]) << 8 | static_cast<uint32_t>(data[2]) << 16 |
         static_cast<uint32_t>(data[3]) << 24;
}

void CheckShownTime(double seconds) {
  const auto shown = RemainingForDisplay(seconds);
  if (!shown) return;
  const double shownSeconds = shown->unit == TimeUnit::kSeconds   ? shown->value
                              : shown->unit == TimeUnit::kMinutes ? shown->value * 60.0
                                                                  : shown->value * 3600.0 + shown->minutes * 60.0;
  // Rounded up, except that below a minute it never reads "60 s".
  if (shownSeconds + 1e-9 < std::ceil(seconds) && !(seconds > 55 && seconds < 60)) std::abort();
  if (shown->minutes >= 60) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size < 4) return 0;
  const uint64_t total = Read32(input);
  size_t at = 4;
  uint64_t ms = 0, bytes = 0;
  ProgressLine line;
  DownloadEstimate estimate;
  for (; at + 6 <= size; at += 6) {
    ms += static_cast<uint64_t>(input[at]) | static_cast<uint64_t>(input[at + 1]) << 8;
    const uint32_t arrived = Read32(input + at + 2);
    bytes = (arrived & 0x80000000u) != 0 ? arrived & 0x7FFFFFFFu : bytes + arrived;
    estimate.Add(ms, bytes);
    if (const auto left = estimate.SecondsLeft(total)) {
      if (!std::isfinite(*left) || *left < 0) std::abort();
      CheckShownTime(*left);
    }
    const auto content = line.Update(ms, bytes, total, false);
    if (content && (content->received != bytes || content->total != total)) std::abort();
    if (!std::isfinite(SizeForDisplay(bytes).value)) std::abort();
  }
  const std::wstring pattern = fuzz::WideFromBytes(input + at, size - at);
  const std::wstring filled = FillPlaceholders(pattern, {L"\x1", L"\x2", L"\x3"});
  // Each value is one character and replaces two; "%%" becomes one: nothing
  // is read beyond the values, nothing grows.
  if (filled.size() > pattern.size()) std::abort();
  return 0;
}
