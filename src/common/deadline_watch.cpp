#include "common/deadline_watch.h"

#include <exception>

DeadlineWatch::DeadlineWatch(uint32_t limitMs, std::function<void()> expire) noexcept
    : stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (!stop_) return;
  try {
    thread_ = std::thread([this, limitMs, expire = std::move(expire)] {
      if (WaitForSingleObject(stop_.get(), limitMs) != WAIT_TIMEOUT) return;
      fired_.store(true, std::memory_order_release);
      expire();
    });
  } catch (const std::exception&) {
    // No thread (the system is out of resources): no watch.
  }
}

bool DeadlineWatch::Stop() noexcept {
  if (stop_) SetEvent(stop_.get());
  if (thread_.joinable()) thread_.join();
  return Fired();
}
