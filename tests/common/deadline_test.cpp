#include "common/deadline.h"
#include "common/deadline_watch.h"

#include <gtest/gtest.h>

#include <atomic>

TEST(Deadline, TimeLeftAndTheTimeOutsThatEndWithinIt) {
  EXPECT_EQ(RemainingMs(1000, 500, 1000), 500u);
  EXPECT_EQ(RemainingMs(1000, 500, 1499), 1u);
  EXPECT_EQ(RemainingMs(1000, 500, 1500), 0u);
  EXPECT_EQ(RemainingMs(1000, 500, 900000), 0u);
  EXPECT_EQ(RemainingMs(1000, 500, 999), 500u);  // a clock read before the start
  const struct {
    int configured;
    uint32_t left;
    int expected;
  } timeouts[] = {
      {30000, 5000, 5000},
      {2000, 5000, 2000},
      {0, 5000, 5000},
      {-1, 5000, 5000},  // WinHTTP's "no limit" gets one
      {30000, 0, 1},
      {0, 0, 1},  // never 0, which would mean no limit
      {30000, 0xFFFFFFFFu, 30000},
      {0, 0xFFFFFFFFu, 0x7FFFFFFF},
  };
  for (const auto& t : timeouts) {
    EXPECT_EQ(TimeoutWithin(t.configured, t.left), t.expected) << t.configured << " within " << t.left;
  }
}

TEST(DeadlineWatch, FiresOnlyOnceItsTimeHasPassed) {
  std::atomic<int> fired{0};
  {
    DeadlineWatch early(60000, [&] { ++fired; });
    EXPECT_FALSE(early.Fired());
    const ULONGLONG started = GetTickCount64();
    EXPECT_FALSE(early.Stop());
    EXPECT_LT(GetTickCount64() - started, 5000u);  // stopping waits for nothing
  }
  EXPECT_EQ(fired.load(), 0);

  DeadlineWatch late(100, [&] { ++fired; });
  for (int i = 0; i < 200 && !late.Fired(); ++i) Sleep(25);
  EXPECT_TRUE(late.Stop());
  EXPECT_EQ(fired.load(), 1);
}
