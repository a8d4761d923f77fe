// The installer's download: into a fresh name in the run's own folder,
// through the stub's own handle, behind the progress window, each attempt
// watched for a stall, a trickle, an overrun and the user's close, a broken
// transfer resumed where it broke, tried again within the budget of
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
#include "progress/progress_window.h"
#include "trust/installer_file.h"
#include "trust/run_folder.h"

// The file that the download produced, held from the download's return until
// the installer has started, so that nobody can change or delete it, and its
// digests, taken as the bytes arrived (the held file's CRC-32 was found the
// same).
struct DownloadedInstaller {
  std::wstring path;
  UniqueFile file;
  InstallerDigest digest;
};

// What the document says of the installer before it arrives.
struct ExpectedInstaller {
  std::optional<uint64_t> size;  // its "size": no transfer may go past it
  bool sha256 = false;           // it names a "sha256", so the download takes that digest too
};

// The address with the cache buster "rn" that makes every run ask the
// servers and proxies on the way for a fresh answer.
std::wstring AppendCacheBuster(const std::wstring& url, int number);

// Downloads the document's "wrapper" address (a cache buster appended) into a
// new name in the run's folder, behind the window, which stays open with a
// line saying the installer is being checked: the caller ends it. An error
// holds kClosedByUser when the user closed the window (the files are gone),
// else kInstallerUnavailable with the last attempt's HRESULT (or the system's
// error of a failed write), kInstallerUnreadable where the file could not
// be held or read, or kInstallerRejected where the held file is not the one
// that arrived; its ERROR record is written. Runs on the main thread, a
// single-threaded COM apartment, whose messages it dispatches meanwhile.
Result<DownloadedInstaller> DownloadInstaller(const std::wstring& url, const ExpectedInstaller& expected,
                                              const RunFolder& folder, ProgressWindow& window);

// What the download takes from the system. Passed in, so that a test can
// drive the roads no server shows: a binding that ignores its abort, a close
// during the pause between attempts, a scanner holding the file.
struct DownloadSystem {
  // Begins one asynchronous transfer of url, reporting to the callback. It
  // goes on while the thread waits and ends with the callback's
  // OnStopBinding; a failure to begin is its HRESULT.
  std::function<HRESULT(const std::wstring& url, IBindStatusCallback* callback)> begin;
  // Waits up to ms for one of the handles, dispatching the thread's
  // messages; returns as WaitForMultipleObjects does.
  std::function<DWORD(DWORD count, const HANDLE* handles, DWORD ms)> wait;
  // Milliseconds of a monotonic clock.
  std::function<ULONGLONG()> now;
  // Between 0 and 1, drawn anew for each pause.
  std::function<double()> jitter;
  // Opens the downloaded file and holds it.
  std::function<Result<UniqueFile>(const std::wstring& path)> open;
};

// URL monikers' storage binding, the kernel's wait and clock.
DownloadSystem SystemDownload();

// DownloadInstaller on the given system, with the callback given, and the
// address as it is (no cache buster added). A binding that did not stop
// within kAbortGraceMs of its abort leaves the callback detached: it must
// then never be destroyed.
Result<DownloadedInstaller> DownloadInstallerWith(const std::wstring& url, const ExpectedInstaller& expected,
                                                  const RunFolder& folder, ProgressWindow& window,
                                                  CallbackHandler& callback, const DownloadSystem& system);
