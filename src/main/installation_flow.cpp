#include "main/installation_flow.h"

#include <rpc.h>
#include <objbase.h>
#include <shellapi.h>
#include <urlmon.h>

#include <cstdlib>
#include <ctime>
#include <cwctype>
#include <ios>
#include <thread>

#include "config/config_download.h"
#include "files/installer_file.h"
#include "files/paths.h"
#include "files/url_cache.h"
#include "log/log_setup.h"
#include "progress/callback_handler.h"
#include "progress/progress_window.h"

namespace {

// URL monikers have no time limit of their own: a server that stops sending
// would keep the stub waiting for ever. A download that gets no notification
// for this long is aborted, like a request that times out.
constexpr ULONGLONG kDownloadStallMs = 30000;
// If an abort does not end the download, the run ends from the watchdog.
constexpr ULONGLONG kAbortGraceMs = 15000;

class DownloadWatchdog {
 public:
  DownloadWatchdog(CallbackHandler& callback, const std::wstring& installerPath)
      : callback_(callback), installerPath_(installerPath), done_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    if (done_) thread_ = std::thread([this] { Watch(); });
  }
  ~DownloadWatchdog() {
    if (done_) SetEvent(done_.get());
    if (thread_.joinable()) thread_.join();
  }
  DownloadWatchdog(const DownloadWatchdog&) = delete;
  DownloadWatchdog& operator=(const DownloadWatchdog&) = delete;

 private:
  void Watch() {
    const ULONGLONG started = GetTickCount64();
    ULONGLONG abortedAt = 0;
    while (WaitForSingleObject(done_.get(), 1000) == WAIT_TIMEOUT) {
      const ULONGLONG now = GetTickCount64();
      const ULONGLONG quiet = callback_.MillisecondsSinceLastNotification();
      const bool stalled = quiet >= kDownloadStallMs || (quiet == 0 && now - started >= kDownloadStallMs);
      if (stalled && abortedAt == 0) {
        // The main thread is blocked in the download, so it writes nothing now.
        LOG(WARNING) << "No data from the installer's server for " << kDownloadStallMs / 1000
                     << " seconds; the download is given up";
        abortedAt = now;
        callback_.Abort();
      } else if (abortedAt != 0 && now - abortedAt >= kAbortGraceMs) {
        LOG(ERROR) << "Can't download wrapper to " << Quoted(installerPath_);
        EndProgressWindow();
        ExitProcess(ReportFatalError(ErrorCode::kInstallerDownload));
      }
    }
  }

  CallbackHandler& callback_;
  const std::wstring installerPath_;
  UniqueEvent done_;
  std::thread thread_;
};

ErrorCode ReportParseError(const ConfigError& error) {
  LOG(ERROR) << "Error parsing file. Error: " << error.description;
  return ErrorCode::kConfigParse;
}

}  // namespace

std::wstring AppendCacheBuster(const std::wstring& url, int number) {
  return url + (url.find(L'?') == std::wstring::npos ? L"?rn=" : L"&rn=") + std::to_wstring(number);
}

std::wstring FormatInstallerParameters(const std::wstring& sessionId, const std::wstring& version,
                                       const std::wstring& arguments) {
  return L"-id " + sessionId + L" -v \"" + version + L"\" " + arguments;
}

std::wstring MakeSessionId() {
  UUID uuid = {};
  UuidCreate(&uuid);
  RPC_WSTR text = nullptr;
  std::wstring id;
  if (UuidToStringW(&uuid, &text) == RPC_S_OK && text != nullptr) {
    id = reinterpret_cast<const wchar_t*>(text);
    RpcStringFreeW(&text);
  }
  for (wchar_t& c : id) c = static_cast<wchar_t>(std::towlower(c));
  return id;
}

std::optional<ErrorCode> RunInstallationFlow(StubRun& run) {
  LOG(INFO) << "Downloading config file";
  std::wstring text;
  if (!DownloadConfigFile(text)) {
    LOG(ERROR) << "Can't download config file";
    return ErrorCode::kConfigDownload;
  }
  LOG(INFO) << "Config file has been downloaded successfully";
  LOG(INFO) << "Parsing config file";
  if (const auto error = ParseConfigDocument(text, run.document)) return ReportParseError(*error);

  bool shortcut = false;
  if (const auto error = ReadShortcutFlag(run.document, shortcut)) return ReportParseError(*error);
  run.shortcutFlag = shortcut && !run.noShortcutSwitch;

  StartProgressWindow(run.instance);

  LOG(INFO) << "Downloading wrapper";
  run.installerPath = MakeTempInstallerPath();
  std::wstring url;
  if (const auto error = ReadWrapperUrl(run.document, url)) return ReportParseError(*error);
  if (run.installerPath.empty()) {
    LOG(WARNING) << "Unable to make a temporary file name for the installer. Error code " << GetLastError();
    LOG(ERROR) << "Can't download wrapper to " << Quoted(run.installerPath);
    return ErrorCode::kInstallerDownload;
  }

  srand(static_cast<unsigned>(time(nullptr)));
  url = AppendCacheBuster(url, rand());

  // The callback outlives the download; the process ends soon after it.
  static CallbackHandler callback;
  HRESULT downloaded = E_FAIL;
  {
    DownloadWatchdog watchdog(callback, run.installerPath);
    downloaded = URLDownloadToFileW(nullptr, url.c_str(), run.installerPath.c_str(), 0, &callback);
  }
  // The download has ended, whether or not it reported its end.
  EndProgressWindow();
  // URL monikers keep a copy in the Internet cache; an installer is no page to
  // keep, and it can be large.
  ForgetCachedDownload(url);
  if (downloaded != S_OK) {
    LOG(ERROR) << "Can't download wrapper to " << Quoted(run.installerPath);
    return ErrorCode::kInstallerDownload;
  }
  // As soon as the download has returned, and until the installer has
  // started, nobody else can change or delete the file.
  UniqueFile installerFile;
  std::string openFailure;
  try {
    installerFile = OpenInstallerExclusively(run.installerPath);
  } catch (const std::ios_base::failure& failure) {
    openFailure = failure.what();
  }
  LOG(INFO) << "Wrapper successfully downloaded to " << Quoted(run.installerPath);
  if (!installerFile) {
    LOG(ERROR) << openFailure;
    return ErrorCode::kInstallerOpen;
  }

  uint64_t checksum = 0;
  if (const auto error = ReadChecksum(run.document, checksum)) return ReportParseError(*error);
  std::optional<Sha256Digest> sha256;
  if (const auto error = ReadSha256(run.document, sha256)) return ReportParseError(*error);
  InstallerDigest digest;
  DWORD readError = 0;
  if (!DigestInstaller(installerFile.get(), sha256.has_value(), digest, readError)) {
    LOG(ERROR) << "Failed to read the installer " << Quoted(run.installerPath) << ". Error code " << readError;
    return ErrorCode::kInstallerOpen;
  }
  if (static_cast<uint32_t>(checksum) != digest.crc32 || (sha256 && *sha256 != digest.sha256)) {
    LOG(ERROR) << "Mismatch of the wrapper checksum";
    return ErrorCode::kChecksumMismatch;
  }
  LOG(INFO) << "Checksum is OK. Continue...";

  if (const auto error = ReadVersion(run.document, run.version)) return ReportParseError(*error);
  run.sessionId = MakeSessionId();
  const std::wstring parameters = FormatInstallerParameters(run.sessionId, run.version, run.arguments);

  SHELLEXECUTEINFOW launch = {};
  launch.cbSize = sizeof(launch);
  // The stub reports a failed launch itself, in its own words and box.
  launch.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
  launch.lpFile = run.installerPath.c_str();
  launch.lpParameters = parameters.c_str();
  launch.nShow = SW_SHOWNORMAL;
  LOG(INFO) << "Launching installer " << Quoted(run.installerPath + L" " + parameters);
  const BOOL launched = ShellExecuteExW(&launch);
  const DWORD launchError = GetLastError();
  run.installer.reset(launch.hProcess);
  installerFile.reset();  // the process has started (or never will)
  if (!launched || !run.installer) {
    LOG(ERROR) << "Can't launch installer " << Quoted(run.installerPath) << ". Error code "
               << (launched ? static_cast<DWORD>(ERROR_INVALID_HANDLE) : launchError);
    return ErrorCode::kInstallerLaunch;
  }

  CoInitialize(nullptr);
  LOG(INFO) << "Waiting for installer to complete...";
  WaitForSingleObject(run.installer.get(), INFINITE);
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(run.installer.get(), &exitCode)) {
    // Not knowing the outcome must not pass for a success.
    exitCode = GetLastError();
    LOG(WARNING) << "GetExitCodeProcess failed with error code " << exitCode;
  }
  run.exitStatus = exitCode;
  return std::nullopt;
}
