#include "progress/download_estimate.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

struct Sample {
  uint64_t ms;
  uint64_t bytes;
};

constexpr uint64_t kMiB = 1024 * 1024;

// A download's notifications as URL monikers give them: pieces of 64 KiB at
// about 1 MiB/s, bunched unevenly, with a 12-second pause after 20 seconds,
// of a 40 MiB file.
std::vector<Sample> SeriesWithAPause() {
  std::vector<Sample> series;
  uint64_t ms = 0;
  uint64_t bytes = 0;
  for (int piece = 0; bytes < 40 * kMiB; ++piece) {
    bytes += 64 * 1024;
    ms += piece % 4 == 0 ? 130 : 40;  // 16 pieces (1 MiB) in 1,000 ms, in bursts
    if (bytes == 20 * kMiB) ms += 12000;
    series.push_back({ms, bytes});
  }
  return series;
}

}  // namespace

TEST(DownloadEstimate, StaysSteadyThroughAPauseAndThenFollowsTheSpeed) {
  DownloadEstimate estimate;
  std::optional<double> previous;
  const uint64_t total = 40 * kMiB;
  for (const Sample& sample : SeriesWithAPause()) {
    estimate.Add(sample.ms, sample.bytes);
    const auto left = estimate.SecondsLeft(total);
    // None in the first two seconds of data (the first notification is at 130 ms).
    if (sample.ms < 2130) {
      EXPECT_FALSE(left) << sample.ms;
      continue;
    }
    ASSERT_TRUE(left) << sample.ms;
    const double truth = static_cast<double>(total - sample.bytes) / kMiB;  // seconds at 1 MiB/s
    // Before the pause, and from 10 s after it, close to the truth.
    if ((sample.ms >= 4000 && sample.bytes < 20 * kMiB) || sample.ms > 42000) {
      EXPECT_NEAR(*left, truth, 0.2 * truth + 1.0) << sample.ms;
    }
    // No jumps: one notification never moves it by more than half, the pause's neither.
    if (previous && *previous > 5) {
      EXPECT_LT(*left, *previous * 1.5) << sample.ms;
      EXPECT_GT(*left, *previous * 0.5) << sample.ms;
    }
    previous = left;
  }
  EXPECT_EQ(estimate.SecondsLeft(total), 0.0);
}

TEST(DownloadEstimate, KnowsNothingWithoutALengthOrData) {
  DownloadEstimate estimate;
  EXPECT_FALSE(estimate.SecondsLeft(100));
  for (uint64_t ms = 0; ms <= 5000; ms += 100) estimate.Add(ms, 0);
  EXPECT_FALSE(estimate.SecondsLeft(100)) << "nothing has arrived";
  for (uint64_t ms = 5100; ms <= 9000; ms += 100) estimate.Add(ms, (ms - 5000) * 10);
  EXPECT_TRUE(estimate.SecondsLeft(1000000));
  EXPECT_FALSE(estimate.SecondsLeft(0)) << "the server sent no length";
  // A download that starts over starts the estimate over.
  estimate.Add(9100, 10);
  EXPECT_FALSE(estimate.SecondsLeft(1000000));
}

TEST(RemainingForDisplay, RoundsUpInStepsThatSuitTheSize) {
  const struct {
    double seconds;
    TimeToShow shown;
  } cases[] = {
      {0.2, {TimeUnit::kSeconds, 1, 0}},          {9.1, {TimeUnit::kSeconds, 10, 0}},
      {11, {TimeUnit::kSeconds, 15, 0}},          {20, {TimeUnit::kSeconds, 20, 0}},
      {59.5, {TimeUnit::kMinutes, 1, 0}},         {61, {TimeUnit::kMinutes, 2, 0}},
      {3540, {TimeUnit::kMinutes, 59, 0}},        {3599, {TimeUnit::kHoursAndMinutes, 1, 0}},
      {3601, {TimeUnit::kHoursAndMinutes, 1, 1}}, {7200, {TimeUnit::kHoursAndMinutes, 2, 0}},
  };
  for (const auto& c : cases) {
    const auto shown = RemainingForDisplay(c.seconds);
    ASSERT_TRUE(shown) << c.seconds;
    EXPECT_TRUE(*shown == c.shown) << c.seconds << ": " << shown->value << " " << shown->minutes;
  }
  EXPECT_FALSE(RemainingForDisplay(100 * 3600.0));
  EXPECT_FALSE(RemainingForDisplay(-1));
  EXPECT_FALSE(RemainingForDisplay(std::nan("")));
}

TEST(SizeForDisplay, ChangesUnitWhereTheRoundedValueReachesTheNext) {
  EXPECT_EQ(SizeForDisplay(0).unit, SizeUnit::kKilobytes);
  EXPECT_EQ(SizeForDisplay(1023 * 1024).unit, SizeUnit::kKilobytes);
  EXPECT_EQ(SizeForDisplay(kMiB - 10).unit, SizeUnit::kMegabytes);  // 1024.0 KB would read oddly
  EXPECT_DOUBLE_EQ(SizeForDisplay(80 * kMiB).value, 80.0);
  EXPECT_EQ(SizeForDisplay(3 * 1024 * kMiB).unit, SizeUnit::kGigabytes);
}

TEST(ProgressLine, UpdatesAFewTimesASecondAndAlwaysAtTheEnd) {
  ProgressLine line;
  int shown = 0;
  for (uint64_t ms = 0; ms < 1000; ms += 10) {
    if (line.Update(ms, ms * 100, 1000000, false)) ++shown;
  }
  EXPECT_EQ(shown, 4);
  const auto last = line.Update(1005, 1000000, 1000000, true);
  ASSERT_TRUE(last) << "the end is always shown";
  EXPECT_EQ(last->received, 1000000u);
  EXPECT_FALSE(last->left);
}
