#include "main/outcome.h"

#include <shellapi.h>

#include "build_settings.h"
#include "files/desktop_shell.h"
#include "files/paths.h"
#include "files/protected_folder.h"
#include "files/safe_file.h"
#include "files/shortcut.h"
#include "files/stub_copy.h"
#include "http/win_http_client.h"
#include "log/log_setup.h"

namespace {

void RemoveLeftoverShortcut() {
  const auto shortcut = GetShortcutPath();
  if (!shortcut) {
    LOG(WARNING) << "Unable to find the desktop folder; a left-over shortcut is not looked for";
    return;
  }
  if (!FileExists(*shortcut)) return;
  LOG(INFO) << "Attempting to delete shortcut " << Quoted(*shortcut);
  // Any program of the user may have put a link or junction there: only the
  // name itself goes, never what it points to.
  const auto deleted = DeleteWithoutFollowingLinks(*shortcut);
  if (deleted) {
    LOG(INFO) << Quoted(*shortcut) << " deleted";
  } else {
    LOG(WARNING) << "Unable to delete " << Quoted(*shortcut) << " shortcut. Error code "
                 << deleted.error().systemError;
  }
}

// Writes the link in the copy's protected folder, then moves it to the
// desktop, onto a name where nothing is left: a link planted there can't
// make the stub write through it.
Status PlaceContinueShortcut(const std::wstring& copyFolder, const std::wstring& copyPath,
                             const std::wstring& shortcut) {
  const auto cleared = DeleteWithoutFollowingLinks(shortcut);
  if (!cleared) return cleared.error();
  const std::wstring staged = copyFolder + L"Continue installation.lnk";
  DeleteFileW(staged.c_str());
  if (Status created = CreateContinueShortcut(copyPath, staged); !created) return created;
  Status placed = PlaceWithoutFollowingLinks(staged, shortcut);
  if (!placed) DeleteFileW(staged.c_str());
  return placed;
}

void LeaveContinueShortcut() {
  const auto folder = StubCopyFolder();
  if (!folder) {
    LOG(ERROR) << "Unable to make the folder of the stub copy. Error code " << folder.error().systemError;
    return;
  }
  const std::wstring copyPath = StubCopyPath(*folder);
  const auto ownPath = OwnExecutablePath();
  if (!ownPath) {
    LOG(ERROR) << "Unable to get the path of the running stub. Error code " << ownPath.error().systemError;
    return;
  }
  // Started from the copy itself: the copy and its shortcut are already there.
  if (*ownPath == copyPath) return;

  LOG(INFO) << "Copy wrapper to temp directory";
  if (const Status copied = CopyRunningStub(*ownPath, copyPath); !copied) {
    LOG(ERROR) << "Failed to copy the wrapper into " << Quoted(copyPath) << ". Error code "
               << copied.error().systemError;
    return;
  }
  LOG(INFO) << "Wrapper successfully copied to " << Quoted(copyPath);

  const auto shortcut = GetShortcutPath();
  if (!shortcut) {
    LOG(WARNING) << "Unable to find the desktop folder; no shortcut is made";
    return;
  }
  LOG(INFO) << "Attempting to create shortcut " << Quoted(*shortcut);
  if (const Status created = PlaceContinueShortcut(*folder, copyPath, *shortcut); created) {
    LOG(INFO) << "Successfully created shortcut " << Quoted(*shortcut);
  } else {
    LOG(ERROR) << "Unable to create shortcut " << Quoted(*shortcut) << ". Error code "
               << created.error().systemError;
  }
}

void HandleCancellation(StubRun& run) {
  LOG(INFO) << "Installer execution canceled. Exit code " << run.exitStatus;
  if (ReceiveCancellationMessage(run.channels, kCancellationMessageWaitMs)) {
    LOG(INFO) << "Sent cancellation hit to PIWIK";
  } else {
    LOG(WARNING) << "No cancellation message from the installer within "
                 << kCancellationMessageWaitMs / 1000 << " seconds";
  }
  // Nobody watches an unattended run: no page, and no shortcut on a desktop nobody sees.
  if (!run.unattended) {
    LOG(INFO) << "Navigating user to cancellation page";
    OpenPageAsSignedInUser(CancellationPageUrl(run.version));
  }
  if (run.shortcutFlag && !run.unattended) LeaveContinueShortcut();
}

void SendFailedHit(const StubRun& run) {
  LOG(INFO) << "Installer execution failed. Exit code " << run.exitStatus;
  LOG(INFO) << "Sending failed hit to Piwik";
  WinHttpClient client(FailedHitUrl(run.sessionId, run.exitStatus));
  client.SetStrictCertificates(true);
  static_cast<void>(client.Perform(L"GET"));  // the answer changes nothing
  LOG(INFO) << "Sent failed hit to Piwik";
}

void DeleteInstaller(const std::wstring& path) {
  if (DeleteFileW(path.c_str())) {
    LOG(INFO) << Quoted(path) << " deleted";
  } else {
    const DWORD error = GetLastError();
    LOG(WARNING) << "Unable to delete installer from temp directory " << Quoted(path) << ". Error code "
                 << error;
  }
}

bool KeptInPageAddress(wchar_t c) {
  if (c <= 0x20 || c >= 0x7F) return false;  // space, control characters, beyond ASCII
  switch (c) {
    case L'"': case L'#': case L'%': case L'&': case L'+': case L'<': case L'>': return false;
    default: return true;
  }
}

}  // namespace

Outcome ClassifyExitCode(DWORD exitCode) {
  if (exitCode == 0) return Outcome::kSuccess;
  if (exitCode == 2 || exitCode == 5) return Outcome::kCancelled;
  return Outcome::kFailed;
}

std::wstring FailedHitUrl(const std::wstring& sessionId, DWORD exitCode) {
  return L"https://" STUB_ANALYTICS_HOST_W
         L"/piwik.php?rec=1&url=nourl&apiv=1&idsite=2&_id=" + sessionId +
         L"&e_c=Undetermined&e_a=Failed&e_n=" + std::to_wstring(exitCode);
}

std::wstring PercentEncodeForQuery(const std::wstring& value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::wstring encoded;
  for (size_t i = 0; i < value.size(); ++i) {
    if (KeptInPageAddress(value[i])) {
      encoded += value[i];
      continue;
    }
    // The character's UTF-8 bytes; a surrogate pair is one character.
    const size_t length = (value[i] >= 0xD800 && value[i] <= 0xDBFF && i + 1 < value.size()) ? 2 : 1;
    for (const unsigned char byte : Utf8(value.substr(i, length))) {
      encoded += L'%';
      encoded += static_cast<wchar_t>(kHex[byte >> 4]);
      encoded += static_cast<wchar_t>(kHex[byte & 0xF]);
    }
    i += length - 1;
  }
  return encoded;
}

std::wstring CancellationPageUrl(const std::wstring& version) {
  return L"http://" STUB_WEBSITE_HOST_W L"/installation-cancelled/?v=" + PercentEncodeForQuery(version);
}

void HandleOutcome(StubRun& run) {
  switch (ClassifyExitCode(run.exitStatus)) {
    case Outcome::kSuccess:
      LOG(INFO) << "Installer execution has successfully completed";
      RemoveLeftoverShortcut();
      break;
    case Outcome::kCancelled:
      HandleCancellation(run);
      break;
    case Outcome::kFailed:
      SendFailedHit(run);
      break;
  }
  DeleteInstaller(run.installerPath);
  if (!run.runFolder.empty() && !RemoveRunFolder(run.runFolder, run.installerPath)) {
    const DWORD error = GetLastError();
    LOG(WARNING) << "Unable to remove the installer's folder " << Quoted(run.runFolder) << ". Error code " << error;
  }
  run.com.reset();
  LOG(INFO) << "Pexmira wrapper exiting";
}
