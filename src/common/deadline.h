// Total time limits for steps that the system bounds only call by call: a
// server that trickles a byte now and then keeps every single call alive.
// The limits themselves are in common/time_limits.h. Needs no Windows header.
#pragma once

#include <algorithm>
#include <climits>
#include <cstdint>

// Milliseconds left of a limit of limitMs that began at tick startedAt, at
// tick now; 0 once it has passed.
inline uint32_t RemainingMs(uint64_t startedAt, uint32_t limitMs, uint64_t now) {
  const uint64_t elapsed = now > startedAt ? now - startedAt : 0;
  return elapsed >= limitMs ? 0 : static_cast<uint32_t>(limitMs - elapsed);
}

// A per-call time-out of WinHTTP's (milliseconds; 0 or less means none) that
// ends no later than the time left. Never 0, which WinHTTP reads as "none".
inline int TimeoutWithin(int configured, uint32_t remainingMs) {
  const int remaining = static_cast<int>(std::min<uint32_t>(std::max<uint32_t>(remainingMs, 1), INT_MAX));
  return configured <= 0 ? remaining : std::min(configured, remaining);
}
