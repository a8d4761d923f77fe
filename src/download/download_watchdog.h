// URL monikers have no time limit of their own: a server that stops sending
// would keep the stub waiting for ever, and one that trickles or sends without
// end nearly so. The watchdog judges a transfer now and then from the main
// thread's wait: it tells when one is silent for a while, brings less than
// 1 KiB/s over a minute, goes past its length, was refused by its callback or
// cancelled by the user's close, and the main thread then aborts the binding.
#pragma once

#include <windows.h>

#include <optional>

#include "common/time_limits.h"
#include "download/callback_handler.h"

// How often the main thread's wait wakes to judge the transfer.
constexpr DWORD kWatchIntervalMs = 1000;

// True when the download has been quiet for the stall limit: since its last
// notification, or, before the first one, since it started. Times are tick
// counts; a notification within the current tick is not "none".
bool IsDownloadStalled(ULONGLONG startedAt, std::optional<ULONGLONG> lastNotificationAt, ULONGLONG now);

enum class DownloadAbort {
  kNone,
  kStalled,  // silent for kDownloadStallMs
  kTooSlow,  // see SlowTransferCheck
  kTooLong,  // past its length (CallbackHandler::Overran)
  kRefused,  // its callback refused it (a redirect, an unusable answer, a failed write)
  kClosedByUser,
};

class DownloadWatchdog {
 public:
  // Watches one transfer that began at startedAt (the callback's clock).
  explicit DownloadWatchdog(ULONGLONG startedAt) : startedAt_(startedAt) {}

  // Why the transfer is to be aborted now, kNone while it goes on. Called
  // from the main thread's wait, as often as it wakes.
  DownloadAbort Judge(ULONGLONG now, const CallbackHandler& callback, bool closedByUser);

 private:
  ULONGLONG startedAt_;
  std::optional<ULONGLONG> sampledAt_;
  SlowTransferCheck slow_;
};
