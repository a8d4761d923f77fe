#include "main/stub.h"

#include <exception>

#include "common/com_apartment.h"
#include "common/text.h"
#include "files/log_file.h"
#include "files/signed_in_user.h"
#include "log/log_setup.h"
#include "main/arguments.h"
#include "main/fatal_error.h"
#include "main/installation_flow.h"
#include "main/installer_channels.h"
#include "main/instance_guard.h"
#include "main/outcome.h"
#include "main/unattended.h"
#include "main/version_resource.h"
#include "progress/progress_window.h"
#include "shell/stub_copy.h"

namespace {

void LogUnexpectedFailure(const char* what) noexcept {
  try {
    LOG(ERROR) << "The run ended on an unexpected error: " << LogText(what);
  } catch (...) {
    // Nothing is left to tell it with.
  }
}

// Where the run can't act for the desktop's user, the log goes into the
// stub copy's folder, which only administrators can change, rather than a
// folder a program of the user could have chosen.
Result<UserLog> OpenAdministratorsLogFile(const SignedInUser& user) {
  const auto path = StubCopyFolderPath();
  if (!path) return path.error();
  const auto folder = EnsureStubCopyFolder(*path);
  if (!folder) return folder.error();
  return OpenLogFileBelow(*folder, user);
}

// The log as the signed-in user's file; where its folder or file leads
// elsewhere, this run has no log file. Returns what became of an oversized
// log, or why there is no log file, for the run's first records.
UserLog ConfigureUserLog(const SignedInUser& user) {
  auto log = user.known() ? OpenUserLogFile(user) : OpenAdministratorsLogFile(user);
  UserLog opened;
  if (log) {
    opened = *std::move(log);
  } else {
    opened.openError = log.error().systemError != 0 ? log.error().systemError : ERROR_PATH_NOT_FOUND;
  }
  ConfigureLog(std::move(opened.file));
  return opened;
}

// Where this run's records are kept, as the records about the user say it.
std::string LogPlace(const UserLog& log) {
  return log.openError == 0 ? "the log is kept in " + Quoted(log.folder) : "no log file is kept";
}

// Which stub wrote the log, and with what: support reads it in a mailed log.
void LogStubAndArguments(HINSTANCE instance, const wchar_t* commandLine) {
  const auto version = ModuleFileVersion(instance);
  LOG(INFO) << "Stub version " << version.value_or("unknown") << ", arguments "
            << Quoted(commandLine != nullptr ? commandLine : L"");
}

// Which account the run writes the user's files as, and how it was found:
// support reads it when a log or a shortcut is not where the user looks.
void ReportUser(const SignedInUser& user, const UserLog& log) {
  const std::string name = Quoted(user.name());
  switch (user.source()) {
    case UserSource::kDesktopShell:
      LOG(INFO) << "The run acts for " << name << ", the user of the desktop's shell";
      break;
    case UserSource::kDesktopShellPrivileged:
      LOG(INFO) << "The run acts for " << name
                << ", the user of the desktop's shell, reached with the debugging privilege: the stub runs as "
                   "another account";
      break;
    case UserSource::kLinkedToken:
      LOG(INFO) << "The run acts for " << name
                << ", the stub's own account without its elevation: no desktop shell runs";
      break;
    case UserSource::kOwnAccount:
      LOG(INFO) << "The run acts for " << name << ", the account the stub runs as: no desktop shell runs";
      break;
    case UserSource::kShellUserUnknown:
      LOG(WARNING) << "The desktop's shell runs as a user the stub can't act for (error code " << user.error()
                   << "): " << LogPlace(log) << ", and no shortcut is made or removed";
      break;
    case UserSource::kNone:
      LOG(WARNING) << "No desktop shell runs, and the stub's account can't be had without its elevation: "
                   << LogPlace(log) << ", and no shortcut is made or removed";
      break;
  }
}

// A run without its log file still writes every record to its standard
// output; support learns from there why the file is missing.
void ReportLogOpening(const UserLog& log) {
  if (log.openError != 0) {
    LOG(WARNING) << "The log file could not be opened or made; this run's records go to its standard output only. "
                    "Error code "
                 << Hex(log.openError);
  }
}

void ReportLogRotation(const UserLog& log) {
  const std::wstring moved = log.folder + L"\\" + kOldLogFileName;
  if (log.rotation == LogRotation::kMovedAside) {
    LOG(INFO) << "The log had grown to " << log.previousBytes << " bytes; it was moved to " << Quoted(moved)
              << " and starts afresh";
  } else if (log.rotation == LogRotation::kNotMoved) {
    LOG(WARNING) << "The log has grown to " << log.previousBytes << " bytes and could not be moved to " << Quoted(moved)
                 << "; it goes on growing. Error code " << log.rotationError;
  }
}

// The shell's objects come from programs of the user, which run with less
// rights than the stub: they may learn who calls them and nothing more, and
// no object they hand over brings marshalling code of its own into the stub.
// Set once, before the first object crosses a process.
void SecureComCalls() {
  const HRESULT secured = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                               RPC_C_IMP_LEVEL_IDENTIFY, nullptr,
                                               EOAC_NO_CUSTOM_MARSHAL | EOAC_DISABLE_AAA, nullptr);
  if (FAILED(secured)) {
    LOG(WARNING) << "The security of the shell's calls could not be set; the system's defaults hold. Error code "
                 << static_cast<uint32_t>(secured);
  }
}

DWORD RunGuarded(const SignedInUser& user, HINSTANCE instance, const wchar_t* commandLine) {
  const std::wstring arguments = commandLine != nullptr ? commandLine : L"";
  const bool noShortcutSwitch = HasNoShortcutSwitch(arguments);
  const Attendance attendance = ProcessAttendance();
  const bool unattended = attendance != Attendance::kAttended;
  if (unattended) LOG(INFO) << DescribeUnattended(attendance);

  // Open until the run's end, after the installer's folder has gone.
  CommunicationChannels channels;
  if (const Status opened = OpenCommunicationChannels(channels); !opened) {
    return ReportFatalError(opened.error().code);
  }
  const auto document = FetchConfigDocument();
  if (!document) return ReportFatalError(document.error().code, document.error().hint);

  // One apartment for the rest of the run, as URL monikers and the shell's
  // objects (the page, the shortcut) ask of their caller; it outlives the
  // run. The configuration's request needs none, and leaves without waiting
  // for it.
  const ComApartment com;
  SecureComCalls();
  ProgressWindow window(unattended ? ProgressWindow::kHidden : ProgressWindow::kShown);
  auto installer = RunInstallationFlow(instance, *document, arguments, window);
  if (!installer) {
    window.Close();
    return ReportFatalError(installer.error().code, installer.error().hint);
  }
  HandleOutcome(*installer, user, channels, unattended, noShortcutSwitch);
  return installer->exitCode;
}

}  // namespace

DWORD RunStub(HINSTANCE instance, const wchar_t* commandLine) noexcept {
  const InstanceGuard guard;
  if (guard.AnotherStubIsRunning()) {
    return ProcessAttendance() == Attendance::kAttended ? 0 : kAnotherStubExitStatus;
  }
  try {
    const SignedInUser user = SignedInUser::FromDesktop();
    const UserLog log = ConfigureUserLog(user);
    LOG(INFO) << "Pexmira wrapper started";
    LogStubAndArguments(instance, commandLine);
    ReportLogOpening(log);
    ReportLogRotation(log);
    ReportUser(user, log);
    return RunGuarded(user, instance, commandLine);
  } catch (const std::exception& error) {
    LogUnexpectedFailure(error.what());
  } catch (...) {
    LogUnexpectedFailure("unknown exception");
  }
  // Where the run stood is not known, so neither is the installer's outcome.
  return kOutcomeUnknown;
}
