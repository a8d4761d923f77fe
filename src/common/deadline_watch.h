// A timer with a thread of its own, for a deadline that only another thread
// can enforce: the owner's thread is blocked in the call to be ended (a
// WinHTTP request, ended by closing its handle). Two waits keep threads of
// their own: the download's watchdog judges a transfer's progress every
// second rather than one deadline, and a call into the desktop's shell runs
// on a thread that the stub must be able to leave behind, since a COM call
// that never answers can't always be ended (Wine cancels none).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include "common/unique_handle.h"

class DeadlineWatch {
 public:
  // Runs `expire` on the watch's thread once limitMs have passed, unless Stop
  // comes first. Where no thread can be started the watch never fires.
  DeadlineWatch(uint32_t limitMs, std::function<void()> expire) noexcept;
  ~DeadlineWatch() { static_cast<void>(Stop()); }
  DeadlineWatch(const DeadlineWatch&) = delete;
  DeadlineWatch& operator=(const DeadlineWatch&) = delete;

  // Ends the watch at once and joins its thread (after `expire`, if that has
  // begun). True when `expire` ran.
  bool Stop() noexcept;

  // Whether `expire` has begun; the owner reads it between its own calls.
  // It is set before `expire` runs, so a false answer means that nothing the
  // owner holds has been touched yet.
  bool Fired() const noexcept { return fired_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> fired_{false};
  UniqueEvent stop_;
  std::thread thread_;
};
