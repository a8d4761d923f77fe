#include "main/outcome.h"

#include <objbase.h>
#include <shellapi.h>

#include <vector>

#include "build_settings.h"
#include "files/paths.h"
#include "files/shortcut.h"
#include "http/win_http_client.h"
#include "log/log_setup.h"

namespace {

constexpr DWORD kPollMs = 50;

std::wstring OwnExecutablePath() {
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return std::wstring();
    if (length < buffer.size() - 1) return std::wstring(buffer.data(), length);
    if (buffer.size() > 32768) return std::wstring();
    buffer.resize(buffer.size() * 2);
  }
}

void RemoveLeftoverShortcut() {
  const std::wstring shortcut = GetShortcutPath();
  if (shortcut.empty()) {
    LOG(WARNING) << "Unable to find the desktop folder; a left-over shortcut is not looked for";
    return;
  }
  if (!FileExists(shortcut)) return;
  LOG(INFO) << "Attempting to delete shortcut " << Quoted(shortcut);
  if (DeleteFileW(shortcut.c_str())) {
    LOG(INFO) << Quoted(shortcut) << " deleted";
  } else {
    const DWORD error = GetLastError();
    LOG(WARNING) << "Unable to delete " << Quoted(shortcut) << " shortcut. Error code " << error;
  }
}

void LeaveContinueShortcut() {
  const std::wstring folder = GetTempFolder();
  if (folder.empty()) {
    LOG(WARNING) << "Unable to find the temporary folder; no stub copy is made";
    return;
  }
  const std::wstring copyPath = folder + L"qmxtl_setup.exe";
  const std::wstring ownPath = OwnExecutablePath();
  if (ownPath.empty()) {
    LOG(ERROR) << "Unable to get the path of the running stub. Error code " << GetLastError();
    return;
  }
  // Started from the copy itself: the copy and its shortcut are already there.
  if (ownPath == copyPath) return;

  LOG(INFO) << "Copy wrapper to temp directory";
  if (!CopyFileW(ownPath.c_str(), copyPath.c_str(), FALSE)) {
    const DWORD error = GetLastError();
    LOG(ERROR) << "Failed to copy the wrapper into " << Quoted(copyPath) << ". Error code " << error;
    return;
  }
  LOG(INFO) << "Wrapper successfully copied to " << Quoted(copyPath);

  const std::wstring shortcut = GetShortcutPath();
  if (shortcut.empty()) {
    LOG(WARNING) << "Unable to find the desktop folder; no shortcut is made";
    return;
  }
  LOG(INFO) << "Attempting to create shortcut " << Quoted(shortcut);
  if (SUCCEEDED(CreateContinueShortcut(copyPath, shortcut))) {
    LOG(INFO) << "Successfully created shortcut " << Quoted(shortcut);
  } else {
    const DWORD error = GetLastError();
    LOG(ERROR) << "Unable to create shortcut " << Quoted(shortcut) << ". Error code " << error;
  }
}

void HandleCancellation(StubRun& run) {
  LOG(INFO) << "Installer execution canceled. Exit code " << run.exitStatus;
  std::string message;
  if (ReceiveCancellationMessage(run.channels, kCancellationMessageWaitMs, message)) {
    LOG(INFO) << "Sent cancellation hit to PIWIK";
  } else {
    LOG(WARNING) << "No cancellation message from the installer within "
                 << kCancellationMessageWaitMs / 1000 << " seconds";
  }
  LOG(INFO) << "Navigating user to cancellation page";
  ShellExecuteW(nullptr, nullptr, CancellationPageUrl(run.version).c_str(), nullptr, nullptr, SW_SHOW);
  if (run.shortcutFlag) LeaveContinueShortcut();
}

void SendFailedHit(const StubRun& run) {
  LOG(INFO) << "Installer execution failed. Exit code " << run.exitStatus;
  LOG(INFO) << "Sending failed hit to Piwik";
  WinHttpClient client(FailedHitUrl(run.sessionId, run.exitStatus));
  client.SetStrictCertificates(true);
  client.Perform(L"GET");  // the answer changes nothing
  LOG(INFO) << "Sent failed hit to Piwik";
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

std::wstring CancellationPageUrl(const std::wstring& version) {
  return L"http://" STUB_WEBSITE_HOST_W L"/installation-cancelled/?v=" + version;
}

bool ReceiveCancellationMessage(CommunicationChannels& channels, DWORD waitMs, std::string& text) {
  // A read of an empty slot would block under Wine, so first make sure that a
  // message is waiting.
  DWORD nextSize = MAILSLOT_NO_MESSAGE;
  for (DWORD waited = 0;; waited += kPollMs) {
    if (!GetMailslotInfo(channels.slot.get(), nullptr, &nextSize, nullptr, nullptr)) return false;
    if (nextSize != MAILSLOT_NO_MESSAGE) break;
    if (waited >= waitMs) return false;
    Sleep(kPollMs);
  }
  // Room for the largest message the slot takes, and a terminating zero.
  std::vector<char> buffer(static_cast<size_t>(channels.maxMessageSize) + 1, '\0');
  ResetEvent(channels.event.get());
  channels.readRecord.Offset = 0;
  channels.readRecord.OffsetHigh = 0;
  const BOOL read = ReadFile(channels.slot.get(), buffer.data(), channels.maxMessageSize, nullptr,
                             &channels.readRecord);
  if (!read && GetLastError() != ERROR_IO_PENDING) return false;
  if (WaitForSingleObject(channels.event.get(), waitMs) != WAIT_OBJECT_0) {
    CancelIo(channels.slot.get());
    return false;
  }
  text = buffer.data();
  return true;
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

  if (DeleteFileW(run.installerPath.c_str())) {
    LOG(INFO) << Quoted(run.installerPath) << " deleted";
  } else {
    const DWORD error = GetLastError();
    LOG(WARNING) << "Unable to delete installer from temp directory " << Quoted(run.installerPath)
                 << ". Error code " << error;
  }
  CoUninitialize();
  LOG(INFO) << "Pexmira wrapper exiting";
}
