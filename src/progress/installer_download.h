// The installer's download: into a fresh name in the run's own folder, behind
// the progress window, each attempt watched for a stall and for the user's
// close, tried again where download_attempts.h says so, and the file held from
// the moment the download reports it done.
#pragma once

#include <windows.h>
#include <urlmon.h>

#include <functional>
#include <string>

#include "common/result.h"
#include "common/unique_handle.h"
#include "files/signed_in_user.h"
#include "progress/callback_handler.h"
#include "progress/download_watchdog.h"
#include "progress/progress_window.h"
#include "trust/run_folder.h"

// The file that the download produced, held from the download's return until
// the installer has started, so that nobody can change or delete it.
struct DownloadedInstaller {
  std::wstring path;
  UniqueFile file;
};

// What the download takes from the system. Passed in, so that a test can
// drive the roads no server shows: a download that ignores its abort, a
// close during the pause between attempts.
struct DownloadSystem {
  // One transfer of url to the file at path, reporting to the callback.
  std::function<HRESULT(const std::wstring& url, const std::wstring& path, IBindStatusCallback* callback)> transfer;
  // Waits up to ms for the event; true when it was set.
  std::function<bool(HANDLE event, DWORD ms)> wait;
};

// URL monikers' URLDownloadToFileW and the kernel's wait.
DownloadSystem SystemDownload();

// Called on the watchdog's thread when an aborted transfer does not return
// in its grace time: it must end the process. The path is the download's.
using StuckDownload = std::function<void(DownloadAbort, const std::wstring& path)>;

// Downloads url (with its cache buster) into a new name in the folder. The
// Internet cache's copy of each attempt is removed as the signed-in user. An
// error holds kClosedByUser when the user closed the window (the files are
// gone), else kInstallerUnavailable with the last attempt's HRESULT, or
// kInstallerUnreadable where the file could not be held; its ERROR record is
// written.
Result<DownloadedInstaller> DownloadInstaller(const std::wstring& url, ProgressWindow& window,
                                              CallbackHandler& callback, const RunFolder& folder,
                                              const SignedInUser& user, const DownloadSystem& system,
                                              const StuckDownload& stuck);
