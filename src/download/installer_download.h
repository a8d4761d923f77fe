// The installer's download: into a fresh name in the run's own folder, behind
// the progress window, each attempt watched for a stall, a trickle, an
// overrun and the user's close, tried again within the budget of
// download_attempts.h, and the file held from the moment it is whole.
#pragma once

#include <windows.h>
#include <urlmon.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/result.h"
#include "common/unique_handle.h"
#include "download/callback_handler.h"
#include "download/download_watchdog.h"
#include "files/signed_in_user.h"
#include "progress/progress_window.h"
#include "trust/run_folder.h"

// The file that the download produced, held from the download's return until
// the installer has started, so that nobody can change or delete it.
struct DownloadedInstaller {
  std::wstring path;
  UniqueFile file;
};

// The address with the cache buster "rn" that makes every run ask the
// servers and proxies on the way for a fresh answer.
std::wstring AppendCacheBuster(const std::wstring& url, int number);

// Downloads the document's "wrapper" address (a cache buster appended) into a
// new name in the run's folder, behind the window, which stays open with a
// line saying the installer is being checked: the caller ends it. size is the
// document's "size", where it has one: no transfer may go past it. An error
// holds kClosedByUser when the user closed the window (the files are gone),
// else kInstallerUnavailable with the last attempt's HRESULT, or
// kInstallerUnreadable where the file could not be held; its ERROR record is
// written. A transfer that does not return from its abort ends the process
// with error 4 (or 0, when the user closed the window).
Result<DownloadedInstaller> DownloadInstaller(const std::wstring& url, std::optional<uint64_t> size,
                                              const RunFolder& folder, const SignedInUser& user,
                                              ProgressWindow& window);

// What the download takes from the system. Passed in, so that a test can
// drive the roads no server shows: a download that ignores its abort, a
// close during the pause between attempts, a scanner holding the file.
struct DownloadSystem {
  // One transfer of url to the file at path, reporting to the callback.
  std::function<HRESULT(const std::wstring& url, const std::wstring& path, IBindStatusCallback* callback)> transfer;
  // Waits up to ms for the event; true when it was set.
  std::function<bool(HANDLE event, DWORD ms)> wait;
  // Milliseconds of a monotonic clock.
  std::function<ULONGLONG()> now;
  // Between 0 and 1, drawn anew for each pause.
  std::function<double()> jitter;
  // Opens the downloaded file and holds it.
  std::function<Result<UniqueFile>(const std::wstring& path)> open;
};

// URL monikers' URLDownloadToFileW, the kernel's wait and clock.
DownloadSystem SystemDownload();

// Called on the watchdog's thread when an aborted transfer does not return
// in its grace time: it must end the process. The path is the download's.
using StuckDownload = std::function<void(DownloadAbort, const std::wstring& path)>;

// DownloadInstaller on the given system, with the callback and the stuck
// handling given, and the address as it is (no cache buster added).
Result<DownloadedInstaller> DownloadInstallerWith(const std::wstring& url, std::optional<uint64_t> size,
                                                  const RunFolder& folder, const SignedInUser& user,
                                                  ProgressWindow& window, CallbackHandler& callback,
                                                  const DownloadSystem& system, const StuckDownload& stuck);
