#include "download/installer_download.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <iomanip>
#include <memory>
#include <random>
#include <sstream>

#include "common/message_wait.h"
#include "common/text.h"
#include "download/arriving_file.h"
#include "download/download_attempts.h"
#include "files/paths.h"
#include "log/log_setup.h"
#include "resource.h"
#include "text/ui_text.h"

namespace {

// How often a downloaded file that another program holds open is tried
// (kHeldByOthersLimitMs).
constexpr DWORD kHeldByOthersPauseMs = 500;

// One transfer of the installer, watched for a stall and for the user's close.
struct Transfer {
  HRESULT result = E_FAIL;
  DownloadAbort aborted = DownloadAbort::kNone;
  bool stuck = false;  // aborted, and the binding never stopped
};

bool WaitForEvent(const DownloadSystem& system, HANDLE event, DWORD ms) {
  return system.wait(1, &event, ms) == WAIT_OBJECT_0;
}

// Begins the transfer and dispatches the thread's messages, in which URL
// monikers call the callback back, until the binding stops. Every second the
// watchdog judges the transfer; the binding is aborted from here, on the
// thread that began it.
Transfer TransferInstaller(const std::wstring& url, const ProgressWindow& window, CallbackHandler& callback,
                           const DownloadSystem& system) {
  Transfer transfer;
  const HRESULT begun = system.begin(url, &callback);
  if (FAILED(begun) && !callback.Stopped()) {
    transfer.result = begun;
    return transfer;
  }
  DownloadWatchdog watchdog(system.now());
  ULONGLONG abortedAt = 0;
  bool abortDelivered = false;
  while (!callback.Stopped()) {
    const ULONGLONG now = system.now();
    if (transfer.aborted == DownloadAbort::kNone) {
      transfer.aborted = watchdog.Judge(now, callback, window.ClosedByUser());
      if (transfer.aborted != DownloadAbort::kNone) abortedAt = now;
    } else if (now - abortedAt >= kAbortGraceMs) {
      transfer.stuck = true;
      return transfer;
    }
    // The binding may not have started yet when the abort came: it is
    // aborted once it has.
    if (transfer.aborted != DownloadAbort::kNone && !abortDelivered) {
      abortDelivered = callback.Abort();
      if (abortDelivered) continue;  // it may have stopped within its abort
    }
    HANDLE waits[2] = {};
    DWORD count = 0;
    if (callback.AttentionEvent() != nullptr) waits[count++] = callback.AttentionEvent();
    if (transfer.aborted == DownloadAbort::kNone && window.ClosedByUserEvent() != nullptr) {
      waits[count++] = window.ClosedByUserEvent();
    }
    static_cast<void>(system.wait(count, waits, kWatchIntervalMs));
  }
  transfer.result = callback.StopResult();
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
    if (WaitForEvent(system, window.ClosedByUserEvent(), kHeldByOthersPauseMs)) return held;
  }
}

// What went wrong with one attempt, for support: the download's HRESULT, the
// server's status, a failed write, or how many bytes the file holds of how
// many.
void LogFailedAttempt(const Transfer& transfer, TransferEnd end, const CallbackHandler& callback, uint64_t received,
                      int attempt) {
  const TransferHeaders& headers = callback.Headers();
  std::ostringstream what;
  if (callback.WriteError() != 0) {
    what << "The installer's file could not be written. Error code " << callback.WriteError();
  } else if (callback.Overran()) {
    what << "The installer's server sent more than the " << callback.Limit().value_or(0)
         << " bytes it or the configuration announced";
  } else if (end == TransferEnd::kWrongLength) {
    what << "The installer's server announced " << AnnouncedFileLength(headers).value_or(0) << " bytes, but "
         << received << " arrived";
  } else if (headers.status != 0 && (headers.status < 200 || headers.status > 299)) {
    what << "The installer's server answered with HTTP status " << headers.status;
  } else if (callback.Place() == BodyPlace::kUnusable) {
    what << "The installer's server answered with a part of another file";
  } else if (transfer.result == S_OK && transfer.aborted == DownloadAbort::kNone) {
    what << "The installer's server sent no data";
  } else {
    what << "The installer's download failed with error 0x" << std::hex << std::setw(8) << std::setfill('0')
         << static_cast<uint32_t>(transfer.result);
  }
  LOG(WARNING) << what.str() << " (attempt " << attempt << ")";
}

// An attempt that got further into the file than any before it, at a pace
// worth keeping and within its length.
bool MadeProgress(const Transfer& transfer, const CallbackHandler& callback, uint64_t fileSize, uint64_t furthest) {
  const uint32_t status = callback.Headers().status;
  const bool answered = status == 0 || (status >= 200 && status <= 299);
  return answered && transfer.aborted != DownloadAbort::kTooSlow && !callback.Overran() && fileSize > furthest;
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
  return !WaitForEvent(system, window.ClosedByUserEvent(), pause);
}

Error GiveUp(const std::wstring& path, uint32_t cause) {
  LOG(ERROR) << "Can't download wrapper to " << Quoted(path);
  return MakeError(ErrorCode::kInstallerUnavailable, cause);
}

uint32_t CauseOf(const Transfer& transfer, TransferEnd end, const CallbackHandler& callback) {
  if (callback.WriteError() != 0) return callback.WriteError();
  return end == TransferEnd::kFailed && FAILED(transfer.result) ? static_cast<uint32_t>(transfer.result)
                                                                : static_cast<uint32_t>(E_FAIL);
}

// After a failed attempt: whether one more may bring the file. A failed
// write, a refused redirect and an answer that another attempt can't change
// end the download at once, and so does a minute without progress.
bool AnotherAttemptMayHelp(TransferEnd end, const CallbackHandler& callback, uint64_t remainingMs) {
  if (callback.WriteError() != 0 || callback.RefusedRedirect() || !IsTriedAgain(end)) return false;
  if (remainingMs > 0) return true;
  LOG(WARNING) << "No attempt of the download made progress for " << kNoProgressLimitMs / 1000
               << " seconds; it is given up";
  return false;
}

// Without a version to hold the rest to, the next attempt asks for all of it,
// and the file starts over. A file that can't be emptied would hold the old
// bytes before the new ones: the download ends with that error instead.
Status PrepareNextAttempt(ArrivingFile& file, bool resumable) {
  if (resumable) return Status();
  Status emptied = file.StartOver();
  if (!emptied) {
    LOG(WARNING) << "The installer's file could not be emptied for the next attempt. Error code "
                 << emptied.error().systemError;
  }
  return emptied;
}

// The writing handle is closed before the hold can be taken (the hold denies
// writers), so for a moment any program the folder lets in could change the
// file, and the digests taken as it arrived would vouch for the change. On
// Windows the run's folder lets no program of the user in; where a file system
// keeps no descriptors it can't, and one CRC-32 pass over the held file shows
// a change. A forged CRC-32 still meets the signature check.
Status CheckHeldFileIsTheArrivedFile(const std::wstring& path, HANDLE held, const InstallerDigest& arrived) {
  const auto digest = DigestInstaller(held, false);
  if (!digest) {
    LOG(ERROR) << "Failed to read the installer " << Quoted(path) << ". Error code " << digest.error().systemError;
    return WithCode(ErrorCode::kInstallerUnreadable, digest.error());
  }
  if (digest->crc32 != arrived.crc32) {
    LOG(ERROR) << "The installer " << Quoted(path) << " was changed between its download and its check";
    return MakeError(ErrorCode::kInstallerRejected);
  }
  return Status();
}

// The file's whole now: its digests are taken, and it is held for the checks.
Result<DownloadedInstaller> KeepWholeFile(const std::wstring& path, ArrivingFile& file, ProgressWindow& window,
                                          const DownloadSystem& system) {
  auto digest = file.Finish();
  if (!digest) {
    LOG(ERROR) << "Failed to read the installer " << Quoted(path) << ". Error code " << digest.error().systemError;
    return WithCode(ErrorCode::kInstallerUnreadable, digest.error());
  }
  LOG(INFO) << "Wrapper successfully downloaded to " << Quoted(path);
  Result<UniqueFile> held = HoldDownloadedFile(path, window, system);
  if (window.ClosedByUser()) return MakeError(ErrorCode::kClosedByUser);
  if (!held) {
    LOG(ERROR) << "Failed to open the file " << Quoted(path) << ". Error code " << held.error().systemError;
    return WithCode(ErrorCode::kInstallerUnreadable, held.error());
  }
  const Status unchanged = CheckHeldFileIsTheArrivedFile(path, held->get(), *digest);
  if (!unchanged) return unchanged.error();
  window.SetPosition(100);
  const std::wstring checking = UiText(IDS_LINE_CHECKING_INSTALLER);
  window.SetLine(checking, checking);
  return DownloadedInstaller{path, *std::move(held), *digest};
}

// URL monikers bind the address to a stream whose data the callback pulls:
// they find and authenticate to proxies as the browser does, and with the
// callback's bind flags they keep no copy in the Internet cache.
HRESULT BeginStorageBinding(const std::wstring& url, IBindStatusCallback* callback) {
  Microsoft::WRL::ComPtr<IMoniker> moniker;
  HRESULT result = CreateURLMonikerEx(nullptr, url.c_str(), &moniker, URL_MK_UNIFORM);
  if (FAILED(result)) return result;
  Microsoft::WRL::ComPtr<IBindCtx> context;
  result = CreateAsyncBindCtx(0, callback, nullptr, &context);
  if (FAILED(result)) return result;
  Microsoft::WRL::ComPtr<IStream> stream;  // the data comes through the callback
  result = moniker->BindToStorage(context.Get(), nullptr, IID_IStream, reinterpret_cast<void**>(stream.GetAddressOf()));
  return FAILED(result) ? result : S_OK;
}

}  // namespace

std::wstring AppendCacheBuster(const std::wstring& url, int number) {
  return url + (url.find(L'?') == std::wstring::npos ? L"?rn=" : L"&rn=") + WideDecimal(number);
}

DownloadSystem SystemDownload() {
  DownloadSystem system;
  system.begin = BeginStorageBinding;
  system.wait = [](DWORD count, const HANDLE* handles, DWORD ms) { return WaitDispatching(count, handles, ms); };
  system.now = GetTickCount64;
  auto random = std::make_shared<std::minstd_rand>(static_cast<unsigned>(GetTickCount64() ^ GetCurrentProcessId()));
  system.jitter = [random] { return std::uniform_real_distribution<double>(0.0, 1.0)(*random); };
  system.open = OpenInstallerExclusively;
  return system;
}

Result<DownloadedInstaller> DownloadInstaller(const std::wstring& url, const ExpectedInstaller& expected,
                                              const RunFolder& folder, ProgressWindow& window) {
  auto callback = std::make_unique<CallbackHandler>(&window);
  srand(static_cast<unsigned>(time(nullptr)));
  // The Windows C runtime keeps rand's state per thread, and only this thread draws.
  const std::wstring address = AppendCacheBuster(url, rand());  // NOLINT(concurrency-mt-unsafe)
  auto installer = DownloadInstallerWith(address, expected, folder, window, *callback, SystemDownload());
  // A binding that never stopped may still call its callback, which is cut
  // off from the window and the file: it lives to the end of the process.
  if (callback->Detached()) static_cast<void>(callback.release());
  return installer;
}

Result<DownloadedInstaller> DownloadInstallerWith(const std::wstring& url, const ExpectedInstaller& expected,
                                                  const RunFolder& folder, ProgressWindow& window,
                                                  CallbackHandler& callback, const DownloadSystem& system) {
  const auto path = MakeInstallerPathIn(folder.path());
  if (!path) {
    LOG(WARNING) << "Unable to make a temporary file name for the installer. Error code " << path.error().systemError;
    LOG(ERROR) << "Can't download wrapper to " << Quoted(L"");
    return WithCode(ErrorCode::kInstallerUnavailable, path.error());
  }
  const std::wstring name = FileNameOf(*path);
  const auto removeFiles = [&](std::optional<ArrivingFile>& file) {
    file.reset();  // closed first: no part of a file is ever checked or run
    static_cast<void>(folder.DeleteFile(name));
  };
  auto created = ArrivingFile::Create(*path, expected.sha256);
  if (!created) {
    LOG(WARNING) << "Unable to create the installer's file. Error code " << created.error().systemError;
    return GiveUp(*path, created.error().systemError);
  }
  std::optional<ArrivingFile> file(*std::move(created));

  callback.StartsFrom(url);
  callback.LimitTo(expected.size);
  DownloadBudget budget(system.now());
  uint64_t furthest = 0;                  // the most bytes the file has held
  std::optional<std::wstring> validator;  // names the version of the file's bytes
  for (int attempt = 1;; ++attempt) {
    if (attempt > 1 && !PauseBeforeAttempt(attempt, budget.RemainingMs(system.now()), window, system)) break;
    const uint64_t resumeFrom = validator && file->size() > 0 ? file->size() : 0;
    callback.BeginAttempt(&*file, resumeFrom, validator.value_or(std::wstring()));
    const Transfer transfer = TransferInstaller(url, window, callback, system);
    if (transfer.stuck) {
      callback.Detach();
      LOG(WARNING) << "The installer's download did not stop within " << kAbortGraceMs / 1000
                   << " seconds of its abort; it is left behind";
      if (transfer.aborted == DownloadAbort::kClosedByUser) break;
      removeFiles(file);
      return GiveUp(*path, static_cast<uint32_t>(E_ABORT));
    }
    if (transfer.aborted == DownloadAbort::kClosedByUser || window.ClosedByUser()) break;
    // The version of the bytes the file now holds: a whole answer names it,
    // an unusable one leaves nothing to resume.
    if (callback.Place() == BodyPlace::kWhole) validator = RangeValidator(callback.Headers());
    if (callback.Place() == BodyPlace::kUnusable) validator.reset();
    // A transfer stopped past its length is no whole file, even where URL
    // monikers had all of it already and report success.
    const bool reportedDone = transfer.result == S_OK && transfer.aborted == DownloadAbort::kNone &&
                              !callback.WantsAbort();
    // A server that can't serve the rest (416) may still serve the whole.
    const bool rangeRefused = resumeFrom > 0 && callback.Headers().status == 416;
    const TransferEnd end = rangeRefused ? TransferEnd::kFailed
                                         : ClassifyTransfer(reportedDone, callback.Headers(), file->size());
    if (end == TransferEnd::kComplete) {
      // A file that can't be held is left for support to look at.
      auto installer = KeepWholeFile(*path, *file, window, system);
      if (!installer && installer.error().code == ErrorCode::kClosedByUser) break;
      return installer;
    }
    if (MadeProgress(transfer, callback, file->size(), furthest)) {
      furthest = file->size();
      budget.Progressed(callback.LastDataAt().value_or(0));
    }
    LogFailedAttempt(transfer, end, callback, file->size(), attempt);
    std::optional<uint32_t> cause;
    if (!AnotherAttemptMayHelp(end, callback, budget.RemainingMs(system.now()))) {
      cause = CauseOf(transfer, end, callback);
    } else if (const Status ready = PrepareNextAttempt(*file, validator.has_value()); !ready) {
      cause = ready.error().systemError;
    }
    if (cause) {
      removeFiles(file);
      return GiveUp(*path, *cause);
    }
  }
  // The user closed the window.
  removeFiles(file);
  static_cast<void>(folder.DeleteFile(PlaceholderNameOf(*path)));
  return MakeError(ErrorCode::kClosedByUser);
}
