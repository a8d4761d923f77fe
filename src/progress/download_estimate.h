// What the line under the progress bar says: how much has arrived of how
// much, and how long the rest will take. Needs no Windows header (times are
// milliseconds of any monotonic clock), so it also builds natively.
#pragma once

#include <cstdint>
#include <optional>

// The time left from a smoothed transfer rate. The rate is an exponentially
// weighted average over half-second steps, with a time constant of several
// seconds: a burst or a pause moves it a little, a lasting change of speed
// moves it all the way, so the estimate does not jump between "3 s" and
// "2 min".
class DownloadEstimate {
 public:
  // The bytes that have arrived by `nowMs`. A count below the last one means
  // the download started over: the estimate does too.
  void Add(uint64_t nowMs, uint64_t bytes);

  // Seconds until `total` bytes have arrived; none while the rate is not yet
  // known well enough (the first seconds), when it is zero, or when the total
  // is unknown (0).
  std::optional<double> SecondsLeft(uint64_t total) const;

 private:
  std::optional<uint64_t> startMs_;
  uint64_t stepMs_ = 0;  // start of the step being measured
  uint64_t stepBytes_ = 0;
  uint64_t lastMs_ = 0;
  uint64_t lastBytes_ = 0;
  std::optional<double> bytesPerSecond_;
};

enum class SizeUnit { kKilobytes, kMegabytes, kGigabytes };

struct SizeToShow {
  double value;  // shown with one decimal
  SizeUnit unit;
};

// A byte count as the line shows it: kilobytes below one megabyte, megabytes
// below one gigabyte, else gigabytes (units of 1024, as Windows shows sizes).
SizeToShow SizeForDisplay(uint64_t bytes);

enum class TimeUnit { kSeconds, kMinutes, kHoursAndMinutes };

struct TimeToShow {
  TimeUnit unit;
  unsigned value;    // seconds, minutes or hours
  unsigned minutes;  // with kHoursAndMinutes
  bool operator==(const TimeToShow& other) const {
    return unit == other.unit && value == other.value && minutes == other.minutes;
  }
};

// An estimate as the line shows it, rounded up so that it is never promised
// too short: whole seconds up to 10 s, steps of 5 s below a minute, whole
// minutes below an hour, then hours and minutes. None beyond 99 hours.
std::optional<TimeToShow> RemainingForDisplay(double seconds);

struct LineContent {
  uint64_t received;
  uint64_t total;  // 0 when the server sent no length
  std::optional<TimeToShow> left;
};

// The line's updates: at most a few a second, and always the last one.
class ProgressLine {
 public:
  static constexpr uint64_t kIntervalMs = 250;

  // The content to show now, or none when the last update is too recent
  // (a final update, at the download's end, is always due).
  std::optional<LineContent> Update(uint64_t nowMs, uint64_t received, uint64_t total, bool final);

 private:
  DownloadEstimate estimate_;
  std::optional<uint64_t> shownAtMs_;
};
