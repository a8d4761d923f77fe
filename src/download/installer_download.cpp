#include "download/installer_download.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <iomanip>
#include <memory>
#include <random>
#include <sstream>

#include "common/message_wait.h"
#include "download/download_attempts.h"
#include "download/url_cache.h"
#include "files/paths.h"
#include "log/log_setup.h"
#include "main/fatal_error.h"
#include "resource.h"
#include "text/ui_text.h"
#include "trust/installer_file.h"

namespace {

// How often a downloaded file that another program holds open is tried
// (kHeldByOthersLimitMs).
constexpr DWORD kHeldByOthersPauseMs = 500;

// One transfer of the installer to its name, watched for a stall and for the
// user's close.
struct Transfer {
  HRESULT result = E_FAIL;
  DownloadAbort aborted = DownloadAbort::kNone;
};

Transfer TransferInstaller(const std::wstring& url, const std::wstring& path, ProgressWindow& window,
                           CallbackHandler& callback, const DownloadSystem& system, const StuckDownload& stuck) {
  Transfer transfer;
  DownloadWatchdog watchdog(callback, window.ClosedByUserEvent(), [&](DownloadAbort reason) { stuck(reason, path); });
  transfer.result = system.transfer(url, path, &callback);
  // Stopped before the file is opened: a scanner that holds the open is no
  // silent server.
  transfer.aborted = watchdog.Stop();
  if (callback.RefusedRedirect()) transfer.result = E_ABORT;  // whatever the download made of it
  return transfer;
}

// Opens the downloaded file and holds it, waiting (bounded) while another
// program has it open; a close of the window ends the wait.
Result<UniqueFile> HoldDownloadedFile(const std::wstring& path, const ProgressWindow& window,
                                      const DownloadSystem& system) {
  const ULONGLONG started = system.now();
  for (bool logged = false;; logged = true) {
    Result<UniqueFile> held = system.open(path);
    if (held || !IsTransientOpenError(held.error().systemError)) return held;
    if (system.now() - started >= kHeldByOthersLimitMs) return held;
    if (!logged) {
      LOG(WARNING) << "Another program, such as a virus scanner, has the installer " << Quoted(path)
                   << " open; waiting for it. Error code " << held.error().systemError;
    }
    if (system.wait(window.ClosedByUserEvent(), kHeldByOthersPauseMs)) return held;
  }
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
void LogFailedAttempt(const Transfer& transfer, TransferEnd end, const CallbackHandler& callback,
                      std::optional<uint64_t> received, int attempt) {
  const TransferHeaders& headers = callback.Headers();
  std::ostringstream what;
  if (callback.Overran()) {
    what << "The installer's server sent more than the " << callback.Limit().value_or(0)
         << " bytes it or the configuration announced";
  } else if (end == TransferEnd::kWrongLength) {
    what << "The installer's server announced " << *headers.contentLength << " bytes, but " << received.value_or(0)
         << " arrived";
  } else if (headers.status != 0 && (headers.status < 200 || headers.status > 299)) {
    what << "The installer's server answered with HTTP status " << headers.status;
  } else if (transfer.result == S_OK && transfer.aborted == DownloadAbort::kNone) {
    what << "The installer's server sent no data";
  } else {
    what << "The installer's download failed with error 0x" << std::hex << std::setw(8) << std::setfill('0')
         << static_cast<uint32_t>(transfer.result);
  }
  LOG(WARNING) << what.str() << " (attempt " << attempt << ")";
}

// An attempt that got further into the file than any before it, at a pace
// worth keeping and within its length. Each attempt starts from the first
// byte: one that only gets as far as the last did brings nothing new.
bool MadeProgress(const Transfer& transfer, const CallbackHandler& callback, uint64_t furthest) {
  const uint32_t status = callback.Headers().status;
  const bool answered = status == 0 || (status >= 200 && status <= 299);
  return answered && transfer.aborted != DownloadAbort::kTooSlow && !callback.Overran() &&
         callback.BytesReceived() > furthest;
}

// Waits before the next attempt with the line saying so; false when the user
// closed the window meanwhile.
bool PauseBeforeAttempt(int attempt, uint64_t budgetLeftMs, ProgressWindow& window, const DownloadSystem& system) {
  const DWORD pause = static_cast<DWORD>(
      std::min<uint64_t>(PauseBeforeAttemptMs(attempt, system.jitter()), budgetLeftMs));
  LOG(INFO) << "Trying the download again in " << std::fixed << std::setprecision(1) << pause / 1000.0
            << " seconds (attempt " << attempt << ")";
  const std::wstring waiting = UiText(IDS_LINE_WAITING_FOR_NETWORK);
  window.SetLine(waiting, waiting);
  return !system.wait(window.ClosedByUserEvent(), pause);
}

Error GiveUp(const std::wstring& path, const Transfer& transfer, TransferEnd end) {
  LOG(ERROR) << "Can't download wrapper to " << Quoted(path);
  const uint32_t cause = end == TransferEnd::kFailed && FAILED(transfer.result) ? static_cast<uint32_t>(transfer.result)
                                                                                : static_cast<uint32_t>(E_FAIL);
  return MakeError(ErrorCode::kInstallerUnavailable, cause);
}

// What ends the run when an aborted transfer does not return: the main thread
// is still inside URL monikers' download and can't be reached, so the run
// ends from the watchdog's thread.
void EndStuckDownload(DownloadAbort reason, ProgressWindow& window, const std::wstring& path) {
  window.End();
  if (reason == DownloadAbort::kClosedByUser) ExitProcess(0);
  LOG(ERROR) << "Can't download wrapper to " << Quoted(path);
  ExitProcess(ReportFatalError(ErrorCode::kInstallerUnavailable));
}

}  // namespace

std::wstring AppendCacheBuster(const std::wstring& url, int number) {
  return url + (url.find(L'?') == std::wstring::npos ? L"?rn=" : L"&rn=") + std::to_wstring(number);
}

DownloadSystem SystemDownload() {
  DownloadSystem system;
  system.transfer = [](const std::wstring& url, const std::wstring& path, IBindStatusCallback* callback) {
    return URLDownloadToFileW(nullptr, url.c_str(), path.c_str(), 0, callback);
  };
  system.wait = [](HANDLE event, DWORD ms) { return WaitDispatching(event, ms) == WAIT_OBJECT_0; };
  system.now = GetTickCount64;
  auto random = std::make_shared<std::minstd_rand>(static_cast<unsigned>(GetTickCount64() ^ GetCurrentProcessId()));
  system.jitter = [random] { return std::uniform_real_distribution<double>(0.0, 1.0)(*random); };
  system.open = OpenInstallerExclusively;
  return system;
}

Result<DownloadedInstaller> DownloadInstaller(const std::wstring& url, std::optional<uint64_t> size,
                                              const RunFolder& folder, const SignedInUser& user,
                                              ProgressWindow& window) {
  // URL monikers may hold the callback until they are torn down, and it
  // counts no references: it lives to the end of the download.
  CallbackHandler callback(&window);
  srand(static_cast<unsigned>(time(nullptr)));
  // The Windows C runtime keeps rand's state per thread, and only this thread draws.
  const std::wstring address = AppendCacheBuster(url, rand());  // NOLINT(concurrency-mt-unsafe)
  const auto stuck = [&window](DownloadAbort reason, const std::wstring& path) {
    EndStuckDownload(reason, window, path);
  };
  return DownloadInstallerWith(address, size, folder, user, window, callback, SystemDownload(), stuck);
}

Result<DownloadedInstaller> DownloadInstallerWith(const std::wstring& url, std::optional<uint64_t> size,
                                                  const RunFolder& folder, const SignedInUser& user,
                                                  ProgressWindow& window, CallbackHandler& callback,
                                                  const DownloadSystem& system, const StuckDownload& stuck) {
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
  callback.LimitTo(size);
  DownloadBudget budget(system.now());
  uint64_t furthest = 0;  // the most bytes an attempt has brought
  for (int attempt = 1;; ++attempt) {
    if (attempt > 1) {
      if (!PauseBeforeAttempt(attempt, budget.RemainingMs(system.now()), window, system)) break;
      callback.BeginAttempt();
    }
    const Transfer transfer = TransferInstaller(url, installer.path, window, callback, system, stuck);
    // URL monikers keep a copy in the Internet cache; an installer is no page
    // to keep, it can be large, and a cut copy must not serve the next attempt.
    ForgetCachedDownloadAs(user, url);
    if (transfer.aborted == DownloadAbort::kClosedByUser || window.ClosedByUser()) break;
    // A transfer stopped past its length is no whole file, even where URL
    // monikers had all of it already and report success.
    const bool reportedDone = transfer.result == S_OK && transfer.aborted == DownloadAbort::kNone &&
                              !callback.Overran();
    Result<UniqueFile> held = reportedDone ? HoldDownloadedFile(installer.path, window, system) : Failure(0);
    if (window.ClosedByUser()) break;
    const std::optional<uint64_t> received = SizeOfHeldFile(held);
    const TransferEnd end = ClassifyTransfer(reportedDone, callback.Headers(), received);
    if (end == TransferEnd::kComplete) {
      LOG(INFO) << "Wrapper successfully downloaded to " << Quoted(installer.path);
      if (!held) {
        LOG(ERROR) << "Failed to open the file " << Quoted(installer.path) << ". Error code "
                   << held.error().systemError;
        return WithCode(ErrorCode::kInstallerUnreadable, held.error());
      }
      window.SetPosition(100);
      const std::wstring checking = UiText(IDS_LINE_CHECKING_INSTALLER);
      window.SetLine(checking, checking);
      installer.file = *std::move(held);
      return installer;
    }
    if (MadeProgress(transfer, callback, furthest)) {
      furthest = callback.BytesReceived();
      budget.Progressed(callback.LastDataAt().value_or(0));
    }
    LogFailedAttempt(transfer, end, callback, received, attempt);
    held = Failure(0);
    static_cast<void>(folder.DeleteFile(name));  // no part of a file is ever checked or run
    if (callback.RefusedRedirect() || !IsTriedAgain(end)) return GiveUp(installer.path, transfer, end);
    if (budget.RemainingMs(system.now()) == 0) {
      LOG(WARNING) << "No attempt of the download made progress for " << kNoProgressLimitMs / 1000
                   << " seconds; it is given up";
      return GiveUp(installer.path, transfer, end);
    }
  }
  // The user closed the window.
  static_cast<void>(folder.DeleteFile(name));
  static_cast<void>(folder.DeleteFile(PlaceholderNameOf(installer.path)));
  return MakeError(ErrorCode::kClosedByUser);
}
