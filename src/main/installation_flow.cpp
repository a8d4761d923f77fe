#include "main/installation_flow.h"

#include <rpc.h>

#include <vector>

#include "common/message_wait.h"
#include "common/text.h"
#include "common/time_limits.h"
#include "config/config_download.h"
#include "download/installer_download.h"
#include "files/paths.h"
#include "log/log_setup.h"
#include "log/phase_time.h"
#include "main/fatal_error.h"
#include "shell/stub_copy.h"
#include "trust/installer_policy.h"
#include "trust/protected_folder.h"
#include "trust/run_folder.h"

namespace {

Error ReportParseError(const Error& error) {
  LOG(ERROR) << "Error parsing file. Error: " << LogText(error.text);
  return WithCode(ErrorCode::kConfigInvalid, error);
}

Result<ConfigDocument> FetchAndParseConfigDocument() {
  LOG(INFO) << "Downloading config file";
  const auto text = DownloadConfigFile();
  if (!text) {
    if (!text.error().text.empty()) LOG(ERROR) << LogText(text.error().text);
    LOG(ERROR) << "Can't download config file";
    return WithCode(ErrorCode::kConfigUnavailable, text.error());
  }
  LOG(INFO) << "Config file has been downloaded successfully";
  LOG(INFO) << "Parsing config file";
  auto document = ParseConfigDocument(*text);
  if (!document) return ReportParseError(document.error());
  return document;
}

// A new folder of the run's own under parent, its chain judged.
Result<RunFolder> MakeRunFolderUnder(const Result<std::wstring>& parent, const std::wstring& shownParent) {
  Result<RunFolder> folder = parent ? RunFolder::Make(*parent) : Result<RunFolder>(parent.error());
  if (!folder) {
    LOG(ERROR) << "Unable to make a folder for the installer under " << Quoted(shownParent) << ". Error code "
               << folder.error().systemError;
    return WithCode(ErrorCode::kInstallerUnavailable, folder.error());
  }
  return folder;
}

// A new folder of the run's own under the system's temporary folder, or,
// where other accounts could change a folder on the way there (a machine
// whose C:\Windows\Temp was opened to everyone), in the stub's own folder
// under the program files folder.
Result<RunFolder> MakeRunFolderForInstaller() {
  const auto systemTemp = SystemTempFolder();
  auto folder = MakeRunFolderUnder(systemTemp, systemTemp ? *systemTemp : L"");
  if (folder && folder->chainCheck() == ChainCheck::kRefused) {
    { const RunFolder refused = *std::move(folder); }  // removed again as it goes
    const auto own = StubCopyFolderPath();
    LOG(WARNING) << "Programs without administrator rights could change a folder on the way to "
                 << Quoted(systemTemp ? *systemTemp : L"") << "; the installer's folder is made in "
                 << Quoted(own ? *own : L"") << " instead";
    folder = MakeRunFolderUnder(own ? EnsureStubCopyFolder(*own) : own, own ? *own : L"");
    if (folder && folder->chainCheck() == ChainCheck::kRefused) {
      { const RunFolder refused = *std::move(folder); }
      LOG(ERROR) << "Unable to make a folder for the installer under " << Quoted(own ? *own : L"")
                 << ": programs without administrator rights could change it. Error code " << ERROR_ACCESS_DENIED;
      return MakeError(ErrorCode::kInstallerUnavailable, ERROR_ACCESS_DENIED);
    }
  }
  if (folder && folder->chainCheck() == ChainCheck::kNotKept) {
    LOG(WARNING) << "The file system did not keep the security descriptor of " << Quoted(folder->path())
                 << ": the protection of the installer's folder can't be checked";
  }
  return folder;
}

// The name of an environment entry ("NAME=value"; the drives' current
// folders are kept as "=C:=C:\...").
std::wstring EnvironmentName(const std::wstring& entry) {
  const size_t equals = entry.find(L'=', 1);
  return entry.substr(0, equals == std::wstring::npos ? entry.size() : equals);
}

int CompareNames(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE);
}

std::vector<std::wstring> CurrentEnvironment() {
  std::vector<std::wstring> entries;
  wchar_t* block = GetEnvironmentStringsW();
  if (block == nullptr) return entries;
  for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) entries.emplace_back(entry);
  FreeEnvironmentStringsW(block);
  return entries;
}

// Entries one after another, each ending in a null, and a null after the last.
std::wstring EnvironmentBlock(const std::vector<std::wstring>& entries) {
  std::wstring block;
  for (const std::wstring& entry : entries) {
    block += entry;
    block += L'\0';
  }
  block += L'\0';
  return block;
}

// Checks the held file against the document's "checksum" and "sha256".
Status VerifyInstaller(const ConfigDocument& document, const DownloadedInstaller& installer) {
  const auto checksum = ReadChecksum(document);
  if (!checksum) return ReportParseError(checksum.error());
  const auto sha256 = ReadSha256(document, ThisBuildsTrustSettings().release);
  if (!sha256) return ReportParseError(sha256.error());
  // The digests were taken as the bytes arrived.
  if (!DigestsMatch(*checksum, *sha256, installer.digest)) {
    LOG(ERROR) << "Mismatch of the wrapper checksum";
    return MakeError(ErrorCode::kInstallerRejected);
  }
  LOG(INFO) << "Checksum is OK. Continue...";
  return Status();
}

// Who signed the held installer, where a signer is required; where none is
// and the document has no "sha256", only the CRC-32 vouches for the file.
Status VerifyInstallerTrust(const ConfigDocument& document, const DownloadedInstaller& installer,
                            const std::wstring& url) {
  const auto required = RequiredInstallerTrust();
  if (!required) return WithCode(ErrorCode::kInstallerRejected, required.error());
  if (required->checksSignature()) {
    Status signature = VerifyInstallerSignature(installer.file.get(), installer.path, *required);
    return signature ? signature : WithCode(ErrorCode::kInstallerRejected, signature.error());
  }
  const auto sha256 = ReadSha256(document);
  if (sha256 && !sha256->has_value()) LOG(WARNING) << Crc32AloneWarning(url);
  return Status();
}

// The user closed the window while the installer was being checked: the run
// ends as a close during the download does, leaving nothing in its folder.
Error EndClosedRun(const RunFolder& folder, DownloadedInstaller installer) {
  installer.file.reset();  // held against deletes too
  static_cast<void>(folder.DeleteFile(FileNameOf(installer.path)));
  static_cast<void>(folder.DeleteFile(PlaceholderNameOf(installer.path)));
  return MakeError(ErrorCode::kClosedByUser);
}

// The downloaded installer, held, in the run's folder.
struct HeldInstaller {
  RunFolder folder;
  DownloadedInstaller installer;
};

// Downloads the document's installer into a new folder of the run's own
// behind the window and checks it; the window stays open until the caller
// ends it.
Result<HeldInstaller> DownloadVerifiedInstaller(const ConfigDocument& document, ProgressWindow& window) {
  LOG(INFO) << "Downloading wrapper";
  const auto url = ReadWrapperUrl(document);
  if (!url) return ReportParseError(url.error());
  const auto size = ReadSize(document);
  if (!size) return ReportParseError(size.error());
  auto folder = MakeRunFolderForInstaller();
  if (!folder) return folder.error();
  // The SHA-256 is taken as the bytes arrive only where it will be checked:
  // on a fast link it is the dearest part of the transfer. A "sha256" that
  // can't be read is reported by the check after the download.
  const auto sha256 = ReadSha256(document);
  const ExpectedInstaller expected{*size, sha256 && sha256->has_value()};
  auto installer = TimePhase("download", [&] { return DownloadInstaller(*url, expected, *folder, window); });
  if (!installer) return installer.error();

  Status verified = TimePhase("verification", [&] {
    Status matches = VerifyInstaller(document, *installer);
    return matches ? VerifyInstallerTrust(document, *installer, *url) : matches;
  });
  if (!verified) return verified.error();
  // The window stayed open through the checks, which on a filtered network take a while.
  if (window.ClosedByUser()) return EndClosedRun(*folder, *std::move(installer));
  return HeldInstaller{*std::move(folder), *std::move(installer)};
}

// The document's "version", refused where it would change the installer's
// command line.
Result<std::wstring> ReadLaunchableVersion(const ConfigDocument& document) {
  auto version = ReadVersion(document);
  if (!version) return ReportParseError(version.error());
  if (const auto unfit = VersionUnfitForCommandLine(*version)) {
    LOG(ERROR) << "The installer's version " << Quoted(*version) << " can't be passed on its command line: " << *unfit;
    return MakeError(ErrorCode::kConfigInvalid, 0, *unfit);
  }
  return version;
}

// Ends a process that was created suspended and never ran.
void EndUnstartedProcess(HANDLE process) {
  TerminateProcess(process, kOutcomeUnknown);
  WaitDispatching(process, kUnstartedProcessEndWaitMs);
}

// Starts exactly the held file, with the administrator's rights the stub
// runs with: created suspended, shown to run the held file, then resumed.
// No file association is looked up. The held file is let go once the
// process runs it (or never will).
Result<UniqueProcess> LaunchInstaller(DownloadedInstaller installer, const std::wstring& folder,
                                      const std::wstring& tempFolder, const std::wstring& parameters) {
  std::wstring commandLine = InstallerCommandLine(installer.path, parameters);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION created = {};
  LOG(INFO) << "Launching installer " << Quoted(installer.path + L" " + parameters);
  // Not the shared temporary folder: no DLL dropped there is beside it. Nor
  // does the installer unpack its helpers in the user's temporary folder,
  // where the user's programs could change them before it loads them.
  std::wstring environment = EnvironmentBlock(InstallerEnvironment(CurrentEnvironment(), tempFolder));
  const BOOL launched = CreateProcessW(installer.path.c_str(), &commandLine[0], nullptr, nullptr, FALSE,
                                       CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT, &environment[0], folder.c_str(),
                                       &startup, &created);
  const DWORD launchError = launched ? 0 : GetLastError();
  UniqueProcess process(created.hProcess);
  const UniqueThread thread(created.hThread);
  if (!launched) {
    LOG(ERROR) << "Can't launch installer " << Quoted(installer.path) << ". Error code " << launchError;
    return MakeError(ErrorCode::kInstallerNotStarted, launchError);
  }
  const auto runsHeldFile = ProcessRunsFile(process.get(), installer.file.get());
  if (!runsHeldFile || !*runsHeldFile) {
    EndUnstartedProcess(process.get());
    LOG(ERROR) << "The started process is not the installer that was checked " << Quoted(installer.path)
               << "; it was ended before it ran. Error code "
               << (runsHeldFile ? static_cast<uint32_t>(ERROR_FILE_INVALID) : runsHeldFile.error().systemError);
    return MakeError(ErrorCode::kInstallerRejected, ERROR_FILE_INVALID);
  }
  if (ResumeThread(thread.get()) == static_cast<DWORD>(-1)) {
    const DWORD error = GetLastError();
    EndUnstartedProcess(process.get());
    LOG(ERROR) << "Can't launch installer " << Quoted(installer.path) << ". Error code " << error;
    return MakeError(ErrorCode::kInstallerNotStarted, error);
  }
  installer.file.reset();
  return process;
}

// The installer's exit code; an outcome that can't be read is a failure of
// its own kind, never a success or a cancellation.
DWORD WaitForInstaller(HANDLE process) {
  LOG(INFO) << "Waiting for installer to complete...";
  // The installer may broadcast to every top-level window and wait for the
  // answers: the stub answers while it waits.
  if (WaitDispatching(process, INFINITE) != WAIT_OBJECT_0) {
    const DWORD error = GetLastError();
    LOG(WARNING) << "Waiting for the installer failed with error code " << error;
    return kOutcomeUnknown;
  }
  DWORD exitCode = 0;
  if (!GetExitCodeProcess(process, &exitCode)) {
    const DWORD error = GetLastError();
    LOG(WARNING) << "GetExitCodeProcess failed with error code " << error;
    return kOutcomeUnknown;
  }
  return exitCode;
}

// Starts the held installer with a fresh session and waits for its end.
Result<InstallerRun> RunHeldInstaller(HeldInstaller held, const std::wstring& version, const std::wstring& arguments) {
  const auto tempFolder = held.folder.MakeInstallerTempFolder();
  if (!tempFolder) {
    LOG(ERROR) << "Unable to make the installer's temporary folder in " << Quoted(held.folder.path()) << ". Error code "
               << tempFolder.error().systemError;
    return WithCode(ErrorCode::kInstallerNotStarted, tempFolder.error());
  }
  InstallerRun run;
  run.sessionId = MakeSessionId();
  run.version = version;
  run.installerPath = held.installer.path;
  const auto process = LaunchInstaller(std::move(held.installer), held.folder.path(), *tempFolder,
                                       FormatInstallerParameters(run.sessionId, version, arguments));
  if (!process) return process.error();
  run.exitCode = TimePhase("installer run", [&] { return WaitForInstaller(process->get()); });
  run.folder = std::move(held.folder);
  return run;
}

}  // namespace

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
  for (wchar_t& c : id) c = AsciiLower(c);
  return id;
}

std::vector<std::wstring> InstallerEnvironment(const std::vector<std::wstring>& current,
                                               const std::wstring& tempFolder) {
  std::vector<std::wstring> entries;
  for (const std::wstring& entry : current) {
    const std::wstring name = EnvironmentName(entry);
    if (CompareNames(name, L"TEMP") != CSTR_EQUAL && CompareNames(name, L"TMP") != CSTR_EQUAL) {
      entries.push_back(entry);
    }
  }
  // Where a sorted block would have them: Windows keeps its blocks sorted by
  // name, ignoring case.
  for (const wchar_t* name : {L"TEMP", L"TMP"}) {
    auto at = entries.begin();
    while (at != entries.end() && CompareNames(EnvironmentName(*at), name) == CSTR_LESS_THAN) ++at;
    entries.insert(at, std::wstring(name) + L"=" + tempFolder);
  }
  return entries;
}

bool DigestsMatch(uint64_t checksum, const std::optional<Sha256Digest>& sha256, const InstallerDigest& digest) {
  return static_cast<uint32_t>(checksum) == digest.crc32 && (!sha256 || *sha256 == digest.sha256);
}

Result<ConfigDocument> FetchConfigDocument() { return TimePhase("configuration fetch", FetchAndParseConfigDocument); }

Result<InstallerRun> RunInstallationFlow(HINSTANCE instance, const ConfigDocument& document,
                                         const std::wstring& arguments, ProgressWindow& window) {
  const auto shortcut = ReadShortcutFlag(document);
  if (!shortcut) return ReportParseError(shortcut.error());

  window.Start(instance);
  auto held = DownloadVerifiedInstaller(document, window);
  if (!held) return held.error();
  window.End();

  const auto version = ReadLaunchableVersion(document);
  if (!version) return version.error();
  auto run = RunHeldInstaller(*std::move(held), *version, arguments);
  if (run) run->shortcut = *shortcut;
  return run;
}
