#include "download/download_watchdog.h"

#include "log/log_setup.h"

namespace {

constexpr DWORD kCheckIntervalMs = 1000;

}  // namespace

bool IsDownloadStalled(ULONGLONG startedAt, std::optional<ULONGLONG> lastNotificationAt, ULONGLONG now) {
  const ULONGLONG quietSince = lastNotificationAt ? *lastNotificationAt : startedAt;
  return now >= quietSince && now - quietSince >= kDownloadStallMs;
}

DownloadWatchdog::DownloadWatchdog(CallbackHandler& callback, HANDLE closedByUser,
                                   std::function<void(DownloadAbort)> stuck)
    : callback_(callback),
      closedByUser_(closedByUser),
      stuck_(std::move(stuck)),
      done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (done_) thread_ = std::thread([this] { Watch(); });
}

DownloadWatchdog::~DownloadWatchdog() { static_cast<void>(Stop()); }

DownloadAbort DownloadWatchdog::Stop() {
  if (done_) SetEvent(done_.get());
  if (thread_.joinable()) thread_.join();
  return aborted_;
}

void DownloadWatchdog::Watch() {
  const ULONGLONG started = callback_.Now();
  ULONGLONG abortedAt = 0;
  bool abortDelivered = false;
  SlowTransferCheck slow;
  const HANDLE waits[] = {done_.get(), closedByUser_};
  DWORD count = closedByUser_ != nullptr ? 2 : 1;
  for (;;) {
    const DWORD woken = WaitForMultipleObjects(count, waits, FALSE, kCheckIntervalMs);
    if (woken == WAIT_OBJECT_0) return;
    if (woken == WAIT_FAILED) Sleep(kCheckIntervalMs);
    const ULONGLONG now = callback_.Now();
    if (aborted_ == DownloadAbort::kNone) {
      slow.Sample(now, callback_.BytesReceived());
      if (woken == WAIT_OBJECT_0 + 1) {
        aborted_ = DownloadAbort::kClosedByUser;
      } else if (callback_.Overran()) {
        aborted_ = DownloadAbort::kTooLong;
      } else if (IsDownloadStalled(started, callback_.LastNotificationAt(), now)) {
        LOG(WARNING) << "No data from the installer's server for " << kDownloadStallMs / 1000
                     << " seconds; the download is given up";
        aborted_ = DownloadAbort::kStalled;
      } else if (slow.IsSlow()) {
        LOG(WARNING) << "The installer's server sent less than " << kSlowestBytesPerWindow / 1024 << " KiB in "
                     << kSlowWindowMs / 1000 << " seconds; the transfer is given up";
        aborted_ = DownloadAbort::kTooSlow;
      } else {
        continue;
      }
      abortedAt = now;
      count = 1;  // the close is handled; wait for the download alone
      abortDelivered = callback_.Abort();
      continue;
    }
    // The download may not have bound yet when the abort came.
    if (!abortDelivered) abortDelivered = callback_.Abort();
    // The main thread is still inside URL monikers' download and can't be
    // reached: only ending the process from here ends the run.
    if (now - abortedAt >= kAbortGraceMs) stuck_(aborted_);
  }
}
