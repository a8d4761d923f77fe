#include "progress/download_estimate.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr uint64_t kStepMs = 500;
// Seconds over which the average follows a change of speed.
constexpr double kTimeConstantSeconds = 10.0;
// The most one step can move the average: a long pause is one step, and
// must not drag the average to nothing at once.
constexpr double kLargestWeight = 0.3;
// No estimate before this much of the transfer has been seen.
constexpr uint64_t kWarmUpMs = 2000;

}  // namespace

void DownloadEstimate::Add(uint64_t nowMs, uint64_t bytes) {
  if (!startMs_ || bytes < lastBytes_ || nowMs < lastMs_) {
    *this = DownloadEstimate();
    startMs_ = nowMs;
    stepMs_ = nowMs;
    stepBytes_ = bytes;
    lastMs_ = nowMs;
    lastBytes_ = bytes;
    return;
  }
  lastMs_ = nowMs;
  lastBytes_ = bytes;
  const uint64_t elapsed = nowMs - stepMs_;
  if (elapsed < kStepMs) return;
  const double seconds = static_cast<double>(elapsed) / 1000.0;
  const double rate = static_cast<double>(bytes - stepBytes_) / seconds;
  if (!bytesPerSecond_) {
    bytesPerSecond_ = rate;
  } else {
    const double weight = std::min(1.0 - std::exp(-seconds / kTimeConstantSeconds), kLargestWeight);
    *bytesPerSecond_ += weight * (rate - *bytesPerSecond_);
  }
  stepMs_ = nowMs;
  stepBytes_ = bytes;
}

std::optional<double> DownloadEstimate::SecondsLeft(uint64_t total) const {
  if (!startMs_ || !bytesPerSecond_ || total == 0 || lastMs_ - *startMs_ < kWarmUpMs) return std::nullopt;
  if (lastBytes_ >= total) return 0.0;
  if (*bytesPerSecond_ < 1.0) return std::nullopt;
  return static_cast<double>(total - lastBytes_) / *bytesPerSecond_;
}

SizeToShow SizeForDisplay(uint64_t bytes) {
  const double value = static_cast<double>(bytes);
  constexpr double kKilo = 1024.0;
  // Decided on the rounded value, so that 1023.99 KB shows as 1.0 MB, not 1024.0 KB.
  const auto rounded = [](double v) { return std::round(v * 10.0) / 10.0; };
  if (rounded(value / kKilo) < kKilo) return {value / kKilo, SizeUnit::kKilobytes};
  if (rounded(value / (kKilo * kKilo)) < kKilo) return {value / (kKilo * kKilo), SizeUnit::kMegabytes};
  return {value / (kKilo * kKilo * kKilo), SizeUnit::kGigabytes};
}

std::optional<TimeToShow> RemainingForDisplay(double seconds) {
  if (!(seconds >= 0) || seconds > 99.0 * 3600.0) return std::nullopt;
  const auto whole = static_cast<unsigned>(std::ceil(seconds));
  if (whole <= 10) return TimeToShow{TimeUnit::kSeconds, std::max(whole, 1u), 0};
  if (whole < 60) return TimeToShow{TimeUnit::kSeconds, std::min((whole + 4) / 5 * 5, 55u), 0};
  const unsigned minutes = (whole + 59) / 60;
  if (minutes < 60) return TimeToShow{TimeUnit::kMinutes, minutes, 0};
  return TimeToShow{TimeUnit::kHoursAndMinutes, minutes / 60, minutes % 60};
}

std::optional<LineContent> ProgressLine::Update(uint64_t nowMs, uint64_t received, uint64_t total, bool final) {
  estimate_.Add(nowMs, received);
  if (!final && shownAtMs_ && nowMs >= *shownAtMs_ && nowMs - *shownAtMs_ < kIntervalMs) return std::nullopt;
  shownAtMs_ = nowMs;
  LineContent content{received, total, std::nullopt};
  if (!final && total != 0 && received < total) {
    if (const auto seconds = estimate_.SecondsLeft(total)) content.left = RemainingForDisplay(*seconds);
  }
  return content;
}
