#include "download/download_watchdog.h"

#include "log/log_setup.h"

bool IsDownloadStalled(ULONGLONG startedAt, std::optional<ULONGLONG> lastNotificationAt, ULONGLONG now) {
  const ULONGLONG quietSince = lastNotificationAt ? *lastNotificationAt : startedAt;
  return now >= quietSince && now - quietSince >= kDownloadStallMs;
}

DownloadAbort DownloadWatchdog::Judge(ULONGLONG now, const CallbackHandler& callback, bool closedByUser) {
  if (closedByUser) return DownloadAbort::kClosedByUser;
  if (callback.Overran()) return DownloadAbort::kTooLong;
  if (callback.WantsAbort()) return DownloadAbort::kRefused;
  if (IsDownloadStalled(startedAt_, callback.LastNotificationAt(), now)) {
    LOG(WARNING) << "No data from the installer's server for " << kDownloadStallMs / 1000
                 << " seconds; the download is given up";
    return DownloadAbort::kStalled;
  }
  // The pace is sampled about once a second, however often the wait wakes.
  if (!sampledAt_ || now - *sampledAt_ >= kWatchIntervalMs) {
    sampledAt_ = now;
    slow_.Sample(now, callback.BytesReceived());
    if (slow_.IsSlow()) {
      LOG(WARNING) << "The installer's server sent less than " << kSlowestBytesPerWindow / 1024 << " KiB in "
                   << kSlowWindowMs / 1000 << " seconds; the transfer is given up";
      return DownloadAbort::kTooSlow;
    }
  }
  return DownloadAbort::kNone;
}
