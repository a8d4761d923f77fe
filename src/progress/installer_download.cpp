#include "progress/installer_download.h"

#include <iomanip>
#include <sstream>

#include "common/message_wait.h"
#include "files/paths.h"
#include "log/log_setup.h"
#include "progress/download_attempts.h"
#include "progress/url_cache.h"
#include "trust/installer_file.h"

namespace {

// One transfer of the installer to its name, watched for a stall and for the
// user's close. The file is held at once where the download reports done.
struct Transfer {
  HRESULT result = E_FAIL;
  DownloadAbort aborted = DownloadAbort::kNone;
  Result<UniqueFile> held = Failure(0);  // none until the download reports done
};

Transfer TransferInstaller(const std::wstring& url, const std::wstring& path, ProgressWindow& window,
                           CallbackHandler& callback, const DownloadSystem& system, const StuckDownload& stuck) {
  Transfer transfer;
  DownloadWatchdog watchdog(callback, window.ClosedByUserEvent(), [&](DownloadAbort reason) { stuck(reason, path); });
  transfer.result = system.transfer(url, path, &callback);
  // At once, before anything else: from the download's return until the
  // installer has started, nobody else can change or delete the file.
  if (transfer.result == S_OK) transfer.held = OpenInstallerExclusively(path);
  transfer.aborted = watchdog.Stop();
  if (callback.RefusedRedirect()) transfer.result = E_ABORT;  // whatever the download made of it
  return transfer;
}

// The cache is the user's, in folders the user's registry names: without the
// user, the entry stays rather than the stub deleting there with its rights.
void ForgetCachedDownloadAs(const SignedInUser& user, const std::wstring& url) {
  const ImpersonationScope asUser(user);
  if (!user.known() || asUser.refused()) {
    LOG(INFO) << "The download's Internet cache entry is left: the run can't act for the desktop's user";
    return;
  }
  ForgetCachedDownload(url);
}

std::optional<uint64_t> SizeOfHeldFile(const Result<UniqueFile>& held) {
  LARGE_INTEGER size = {};
  if (!held || !GetFileSizeEx(held->get(), &size)) return std::nullopt;
  return static_cast<uint64_t>(size.QuadPart);
}

// What went wrong with one attempt, for support: the download's HRESULT, the
// server's status, or how many bytes arrived of how many.
void LogFailedAttempt(const Transfer& transfer, TransferEnd end, const TransferHeaders& headers, int attempt) {
  std::ostringstream what;
  if (end == TransferEnd::kWrongLength) {
    what << "The installer's server announced " << *headers.contentLength << " bytes, but "
         << SizeOfHeldFile(transfer.held).value_or(0) << " arrived";
  } else if (headers.status != 0 && (headers.status < 200 || headers.status > 299)) {
    what << "The installer's server answered with HTTP status " << headers.status;
  } else if (transfer.result == S_OK && transfer.aborted == DownloadAbort::kNone) {
    what << "The installer's server sent no data";
  } else {
    what << "The installer's download failed with error 0x" << std::hex << std::setw(8) << std::setfill('0')
         << static_cast<uint32_t>(transfer.result);
  }
  LOG(WARNING) << what.str() << " (attempt " << attempt << " of " << kDownloadAttempts << ")";
}

// Waits before the next attempt; false when the user closed the window meanwhile.
bool PauseBeforeAttempt(int attempt, const ProgressWindow& window, const DownloadSystem& system) {
  const DWORD pause = PauseBeforeAttemptMs(attempt);
  LOG(INFO) << "Trying the download again in " << pause / 1000 << " seconds (attempt " << attempt << " of "
            << kDownloadAttempts << ")";
  return !system.wait(window.ClosedByUserEvent(), pause);
}

}  // namespace

DownloadSystem SystemDownload() {
  DownloadSystem system;
  system.transfer = [](const std::wstring& url, const std::wstring& path, IBindStatusCallback* callback) {
    return URLDownloadToFileW(nullptr, url.c_str(), path.c_str(), 0, callback);
  };
  system.wait = [](HANDLE event, DWORD ms) { return WaitDispatching(event, ms) == WAIT_OBJECT_0; };
  return system;
}

Result<DownloadedInstaller> DownloadInstaller(const std::wstring& url, ProgressWindow& window,
                                              CallbackHandler& callback, const RunFolder& folder,
                                              const SignedInUser& user, const DownloadSystem& system,
                                              const StuckDownload& stuck) {
  DownloadedInstaller installer;
  const auto path = MakeInstallerPathIn(folder.path());
  if (!path) {
    LOG(WARNING) << "Unable to make a temporary file name for the installer. Error code " << path.error().systemError;
    LOG(ERROR) << "Can't download wrapper to " << Quoted(L"");
    return WithCode(ErrorCode::kInstallerUnavailable, path.error());
  }
  installer.path = *path;
  const std::wstring name = FileNameOf(installer.path);

  callback.StartsFrom(url);

  for (int attempt = 1;; ++attempt) {
    if (attempt > 1) {
      if (!PauseBeforeAttempt(attempt, window, system)) break;
      callback.BeginAttempt();
    }
    Transfer transfer = TransferInstaller(url, installer.path, window, callback, system, stuck);
    // URL monikers keep a copy in the Internet cache; an installer is no page
    // to keep, it can be large, and a cut copy must not serve the next attempt.
    ForgetCachedDownloadAs(user, url);
    if (transfer.aborted == DownloadAbort::kClosedByUser || window.ClosedByUser()) break;
    const TransferEnd end = ClassifyTransfer(transfer.result == S_OK && transfer.aborted == DownloadAbort::kNone,
                                             callback.Headers(), SizeOfHeldFile(transfer.held));
    if (end == TransferEnd::kComplete) {
      window.End();
      LOG(INFO) << "Wrapper successfully downloaded to " << Quoted(installer.path);
      if (!transfer.held) {
        LOG(ERROR) << "Failed to open the file " << Quoted(installer.path) << ". Error code "
                   << transfer.held.error().systemError;
        return WithCode(ErrorCode::kInstallerUnreadable, transfer.held.error());
      }
      installer.file = *std::move(transfer.held);
      return installer;
    }
    LogFailedAttempt(transfer, end, callback.Headers(), attempt);
    transfer.held = Failure(0);
    static_cast<void>(folder.DeleteFile(name));  // no part of a file is ever checked or run
    if (callback.RefusedRedirect() || !IsTriedAgain(end, attempt)) {
      window.End();
      LOG(ERROR) << "Can't download wrapper to " << Quoted(installer.path);
      const uint32_t cause = end == TransferEnd::kFailed && FAILED(transfer.result)
                                 ? static_cast<uint32_t>(transfer.result)
                                 : static_cast<uint32_t>(E_FAIL);
      return MakeError(ErrorCode::kInstallerUnavailable, cause);
    }
  }
  // The user closed the window.
  window.End();
  static_cast<void>(folder.DeleteFile(name));
  static_cast<void>(folder.DeleteFile(PlaceholderNameOf(installer.path)));
  return MakeError(ErrorCode::kClosedByUser);
}
