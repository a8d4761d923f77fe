// URL monikers have no time limit of their own: a server that stops sending
// would keep the stub waiting for ever, and one that trickles or sends without
// end nearly so. The watchdog aborts a download that gets no notification for
// a while, that brings less than 1 KiB/s over a minute, that goes past its
// length, or that the user cancelled by closing the progress window.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <thread>

#include "common/time_limits.h"
#include "common/unique_handle.h"
#include "download/callback_handler.h"

// True when the download has been quiet for the stall limit: since its last
// notification, or, before the first one, since it started. Times are tick
// counts; a notification within the current tick is not "none".
bool IsDownloadStalled(ULONGLONG startedAt, std::optional<ULONGLONG> lastNotificationAt, ULONGLONG now);

enum class DownloadAbort {
  kNone,
  kStalled,  // silent for kDownloadStallMs
  kTooSlow,  // see SlowTransferCheck
  kTooLong,  // past its length (CallbackHandler::Overran)
  kClosedByUser,
};

class DownloadWatchdog {
 public:
  // Watches the download that the callback reports on, from a thread of its
  // own, until the watchdog goes out of scope; its times are the callback's
  // clock's. `closedByUser` is an event that
  // cancels the download when signalled. If an aborted download does not
  // return within the grace time, `stuck` is called on the watchdog's thread
  // and must end the process.
  DownloadWatchdog(CallbackHandler& callback, HANDLE closedByUser, std::function<void(DownloadAbort)> stuck);
  ~DownloadWatchdog();
  DownloadWatchdog(const DownloadWatchdog&) = delete;
  DownloadWatchdog& operator=(const DownloadWatchdog&) = delete;

  // Ends the watch once the download has returned and says why it was
  // aborted. The flag is read only after the watchdog's thread has been
  // joined, so there is no other way to read it.
  DownloadAbort Stop();

 private:
  void Watch();

  CallbackHandler& callback_;
  HANDLE closedByUser_;
  std::function<void(DownloadAbort)> stuck_;
  DownloadAbort aborted_ = DownloadAbort::kNone;  // the watchdog's thread's until Stop has joined it
  UniqueEvent done_;
  std::thread thread_;
};
