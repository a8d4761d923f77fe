#include "main/outcome.h"

#include "build_settings.h"
#include "common/text.h"
#include "common/time_limits.h"
#include "files/own_image.h"
#include "files/paths.h"
#include "http/win_http_client.h"
#include "log/log_setup.h"
#include "shell/desktop_shell.h"
#include "shell/desktop_shortcut.h"
#include "shell/shortcut.h"
#include "shell/stub_copy.h"

namespace {

// The WARNING of a shortcut name that a program of the user has made lead
// elsewhere: the stub leaves it as it is.
void WarnRedirectedShortcut(const std::wstring& shortcut, const Error& error) {
  if (error.systemError == kLeadsElsewhere) {
    LOG(WARNING) << "The shortcut " << Quoted(shortcut) << " leads to \"" << LogText(error.text)
                 << "\" outside the desktop; it is left alone";
  } else {
    LOG(WARNING) << "The shortcut " << Quoted(shortcut) << " has more than one link; it is left alone";
  }
}

bool IsRedirection(const Error& error) {
  return error.systemError == kLeadsElsewhere || error.systemError == kMoreThanOneLink;
}

void RemoveLeftoverShortcut(const SignedInUser& user) {
  if (!user.known()) {
    LOG(INFO) << "A left-over shortcut is not looked for: the run can't act for the desktop's user";
    return;
  }
  const auto desktop = OpenUserDesktop(user);
  if (!desktop) {
    if (!MeansDoesNotExist(desktop.error().systemError)) {
      LOG(WARNING) << "Unable to find the desktop folder; a left-over shortcut is not looked for. Error code "
                   << desktop.error().systemError;
    }
    return;
  }
  const std::wstring shortcut = ShortcutPathOn(*desktop);
  const auto deleted = DeleteContinueShortcut(*desktop, user);
  if (deleted && !*deleted) return;  // no left-over shortcut
  LOG(INFO) << "Attempting to delete shortcut " << Quoted(shortcut);
  if (deleted) {
    LOG(INFO) << Quoted(shortcut) << " deleted";
  } else if (IsRedirection(deleted.error())) {
    WarnRedirectedShortcut(shortcut, deleted.error());
  } else {
    LOG(WARNING) << "Unable to delete " << Quoted(shortcut) << " shortcut. Error code " << deleted.error().systemError;
  }
}

// The copy's folder, made or, where it exists, taken only when programs
// without administrator rights can't change it.
Result<std::wstring> TrustedStubCopyFolder(const std::wstring& folder) {
  auto ensured = EnsureStubCopyFolder(folder);
  if (ensured) return ensured;
  const DWORD error = ensured.error().systemError;
  if (error == ERROR_ACCESS_DENIED || error == ERROR_DIRECTORY) {
    LOG(WARNING) << "The folder " << Quoted(folder)
                 << " is not one that only administrators can change; no stub copy and no shortcut are made";
  } else {
    LOG(ERROR) << "Unable to make the folder of the stub copy. Error code " << error;
  }
  return ensured;
}

void PlaceContinueShortcut(const SignedInUser& user, const std::wstring& copyPath) {
  const auto desktop = OpenUserDesktop(user);
  if (!desktop) {
    LOG(WARNING) << "Unable to find the desktop folder; no shortcut is made. Error code "
                 << desktop.error().systemError;
    return;
  }
  const std::wstring shortcut = ShortcutPathOn(*desktop);
  LOG(INFO) << "Attempting to create shortcut " << Quoted(shortcut);
  const auto link = MakeContinueShortcut(copyPath);
  Status written = link ? WriteContinueShortcut(*desktop, user, *link) : Status(link.error());
  if (written) {
    LOG(INFO) << "Successfully created shortcut " << Quoted(shortcut);
  } else if (IsRedirection(written.error())) {
    WarnRedirectedShortcut(shortcut, written.error());
  } else if (WriteWasBlocked(written.error().systemError)) {
    LOG(WARNING) << "Unable to create shortcut " << Quoted(shortcut)
                 << ": writing to the desktop was blocked, most often by Microsoft Defender's controlled folder access,"
                    " which names the blocked program in a notification. Error code "
                 << written.error().systemError;
  } else {
    LOG(ERROR) << "Unable to create shortcut " << Quoted(shortcut) << ". Error code " << written.error().systemError;
  }
}

void LeaveContinueShortcut(const SignedInUser& user) {
  if (!user.known()) {
    LOG(WARNING) << "No shortcut is made: the run can't act for the desktop's user, and a shortcut made as the "
                    "administrator could land on another desktop";
    return;
  }
  const auto folderPath = StubCopyFolderPath();
  if (!folderPath) {
    LOG(ERROR) << "Unable to make the folder of the stub copy. Error code " << folderPath.error().systemError;
    return;
  }
  const std::wstring copyPath = StubCopyPath(*folderPath);
  const auto ownPath = OwnExecutablePath();
  if (!ownPath) {
    LOG(ERROR) << "Unable to get the path of the running stub. Error code " << ownPath.error().systemError;
    return;
  }
  // Started from the copy itself: the copy and its shortcut are already there.
  if (*ownPath == copyPath) return;

  // The record keeps its old text: the copy goes to the stub's folder under
  // the program files folder, not to a temporary one.
  LOG(INFO) << "Copy wrapper to temp directory";
  if (!TrustedStubCopyFolder(*folderPath)) return;
  // Only the file the process runs from is copied: another file put under
  // the stub's name while it runs would become what the shortcut starts.
  const auto own = OpenOwnImageFile();
  if (!own) {
    LOG(WARNING) << "The file " << Quoted(*ownPath)
                 << " is not the one the installer stub runs from; no stub copy and no shortcut are made. Error code "
                 << own.error().systemError;
    return;
  }
  if (const Status copied = CopyOpenFile(own->file.get(), copyPath); !copied) {
    LOG(ERROR) << "Failed to copy the wrapper into " << Quoted(copyPath) << ". Error code "
               << copied.error().systemError;
    return;
  }
  LOG(INFO) << "Wrapper successfully copied to " << Quoted(copyPath);
  PlaceContinueShortcut(user, copyPath);
}

// The installer posts its message before it exits: the stub only takes it.
void AwaitCancellationMessage(DWORD exitCode, CommunicationChannels& channels) {
  LOG(INFO) << "Installer execution canceled. Exit code " << exitCode;
  if (ReceiveCancellationMessage(channels, kCancellationMessageWaitMs)) {
    // The record keeps its old text, though the stub sends nothing: it only
    // says that the installer's message has arrived.
    LOG(INFO) << "Sent cancellation hit to PIWIK";
  } else {
    LOG(WARNING) << "No cancellation message from the installer within " << kCancellationMessageWaitMs / 1000
                 << " seconds";
  }
}

void SendFailedHit(const std::wstring& sessionId, DWORD exitCode) {
  LOG(INFO) << "Installer execution failed. Exit code " << exitCode;
  LOG(INFO) << "Sending failed hit to Piwik";
  WinHttpClient client(FailedHitUrl(sessionId, exitCode));
  client.SetStrictCertificates(true);
  client.SetDeadline(kFailedHitDeadlineMs);
  static_cast<void>(client.Perform(L"GET"));  // the answer changes nothing
  if (const auto warning = SecureProtocolsWarning(client, "the failed hit")) {
    LOG(WARNING) << *warning;
  }
  if (const auto warning = UserTrustWarning(client, "the failed hit")) LOG(WARNING) << *warning;
  if (client.DeadlinePassed()) {
    LOG(WARNING) << "The failed hit did not end within " << kFailedHitDeadlineMs / 1000 << " seconds; it is given up";
  }
  LOG(INFO) << "Sent failed hit to Piwik";
}

// Deletes the installer and its placeholder through the held folder, then
// the folder with what the installer left in its temporary folder: no name
// of the run can be turned into another file.
void RemoveRunFiles(RunFolder& folder, const std::wstring& installerPath) {
  const auto deleted = folder.DeleteFile(FileNameOf(installerPath));
  const DWORD deleteError = deleted ? (*deleted ? 0 : ERROR_FILE_NOT_FOUND) : deleted.error().systemError;
  // A program that still holds the installer is waited for with the folder.
  const bool held = IsHeldByAnother(deleteError);
  if (deleteError == 0) {
    LOG(INFO) << Quoted(installerPath) << " deleted";
  } else if (!held) {
    LOG(WARNING) << "Unable to delete installer from temp directory " << Quoted(installerPath) << ". Error code "
                 << deleteError;
  }
  static_cast<void>(folder.DeleteFile(PlaceholderNameOf(installerPath)));
  const auto removed = folder.RemoveAll(kRunFolderReleaseWaitMs);
  if (held) {
    if (removed && !removed->scheduledForRestart) {
      LOG(INFO) << Quoted(installerPath) << " deleted";
    } else {
      LOG(WARNING) << "Unable to delete installer from temp directory " << Quoted(installerPath) << ". Error code "
                   << deleteError;
    }
  }
  if (!removed) {
    LOG(WARNING) << "Unable to remove the installer's folder " << Quoted(folder.path()) << ". Error code "
                 << removed.error().systemError;
  } else if (removed->scheduledForRestart) {
    LOG(WARNING) << "The installer's folder " << Quoted(folder.path()) << " is still in use by another program (error "
                 << removed->holderError << "); it is removed at the next restart";
  } else if (removed->holderError != 0) {
    LOG(INFO) << "The installer's folder " << Quoted(folder.path()) << " was in use by another program (error "
              << removed->holderError << "); it was removed after " << removed->waitedMs << " ms";
  }
}

bool KeptInPageAddress(wchar_t c) {
  if (c <= 0x20 || c >= 0x7F) return false;  // space, control characters, beyond ASCII
  switch (c) {
    case L'"':
    case L'#':
    case L'%':
    case L'&':
    case L'+':
    case L'<':
    case L'>': return false;
    default: return true;
  }
}

}  // namespace

bool WriteWasBlocked(uint32_t error) {
  return error == ERROR_ACCESS_DENIED || error == static_cast<uint32_t>(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
}

Outcome ClassifyExitCode(DWORD exitCode) {
  if (exitCode == 0) return Outcome::kSuccess;
  if (exitCode == 2 || exitCode == 5) return Outcome::kCancelled;
  return Outcome::kFailed;
}

std::optional<std::wstring> MatomoVisitorId(const std::wstring& sessionId) {
  std::wstring id;
  for (const wchar_t c : sessionId) {
    if (c == L'-') continue;
    if (HexDigitValue(c) < 0) return std::nullopt;
    id += c;
    if (id.size() == 16) return id;
  }
  return std::nullopt;
}

std::wstring FailedHitUrl(const std::wstring& sessionId, DWORD exitCode) {
  // Matomo keeps "_id" only as 16 hexadecimal digits; "uid" takes any text
  // and carries the whole identifier.
  const auto visitor = MatomoVisitorId(sessionId);
  return L"https://" STUB_ANALYTICS_HOST_W L"/piwik.php?rec=1&url=nourl&apiv=1&idsite=2" +
         (visitor ? L"&_id=" + *visitor : std::wstring()) + L"&e_c=Undetermined&e_a=Failed&e_n=" +
         WideDecimal(exitCode) + (sessionId.empty() ? std::wstring() : L"&uid=" + PercentEncodeForQuery(sessionId));
}

std::wstring PercentEncodeForQuery(const std::wstring& value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::wstring encoded;
  // Each byte of a character that is not kept, the characters beyond ASCII
  // included, becomes %XX: the UTF-8 form of everything but the kept ASCII.
  for (const char c : Utf8FromWide(value)) {
    const auto byte = static_cast<unsigned char>(c);
    if (KeptInPageAddress(static_cast<wchar_t>(byte))) {
      encoded += static_cast<wchar_t>(byte);
    } else {
      encoded += L'%';
      encoded += static_cast<wchar_t>(kHex[byte >> 4]);
      encoded += static_cast<wchar_t>(kHex[byte & 0xF]);
    }
  }
  return encoded;
}

std::wstring CancellationPageUrl(const std::wstring& version) {
  return L"http://" STUB_WEBSITE_HOST_W L"/installation-cancelled/?v=" + PercentEncodeForQuery(version);
}

void HandleOutcome(InstallerRun& installer, const SignedInUser& user, CommunicationChannels& channels, bool unattended,
                   bool noShortcutSwitch) {
  switch (ClassifyExitCode(installer.exitCode)) {
    case Outcome::kSuccess:
      LOG(INFO) << "Installer execution has successfully completed";
      RemoveLeftoverShortcut(user);
      break;
    case Outcome::kCancelled:
      AwaitCancellationMessage(installer.exitCode, channels);
      // Nobody watches an unattended run: no page, and no shortcut on a desktop nobody sees.
      if (unattended) break;
      LOG(INFO) << "Navigating user to cancellation page";
      OpenPageAsSignedInUser(CancellationPageUrl(installer.version));
      if (installer.shortcut && !noShortcutSwitch) LeaveContinueShortcut(user);
      break;
    case Outcome::kFailed: SendFailedHit(installer.sessionId, installer.exitCode); break;
  }
  RemoveRunFiles(installer.folder, installer.installerPath);
  LOG(INFO) << "Pexmira wrapper exiting";
}
