#include "main/stub.h"

#include <exception>

#include "common/com_apartment.h"
#include "files/log_file.h"
#include "files/signed_in_user.h"
#include "log/log_setup.h"
#include "main/arguments.h"
#include "main/fatal_error.h"
#include "main/installation_flow.h"
#include "main/outcome.h"
#include "main/session.h"
#include "main/stub_run.h"
#include "main/unattended.h"
#include "main/version_resource.h"
#include "progress/progress_window.h"

namespace {

void LogUnexpectedFailure(const char* what) noexcept {
  try {
    LOG(ERROR) << "The run ended on an unexpected error: " << LogText(what);
  } catch (...) {
    // Nothing is left to tell it with.
  }
}

// The log as the signed-in user's file; where its folder or file leads
// elsewhere, this run has no log file. Returns what became of an oversized
// log, for the run's first records.
UserLog ConfigureUserLog(const SignedInUser& user) {
  auto log = OpenUserLogFile(user);
  UserLog opened = log ? *std::move(log) : UserLog();
  ConfigureLog(std::move(opened.file));
  return opened;
}

// Which stub wrote the log, and with what: support reads it in a mailed log.
void LogStubAndArguments(HINSTANCE instance, const wchar_t* commandLine) {
  const auto version = ModuleFileVersion(instance);
  LOG(INFO) << "Stub version " << version.value_or("unknown") << ", arguments "
            << Quoted(commandLine != nullptr ? commandLine : L"");
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

DWORD RunGuarded(SignedInUser user, HINSTANCE instance, const wchar_t* commandLine) {
  // One apartment for the whole run, as URL monikers and the shell's objects
  // (the page, the shortcut) ask of their caller; it outlives the run.
  const ComApartment com;
  // Everything of the run, the channels included, is closed when it goes out
  // of scope: that is the teardown of every road.
  StubRun run;
  run.user = std::move(user);
  run.instance = instance;
  run.arguments = commandLine != nullptr ? commandLine : L"";
  run.noShortcutSwitch = HasNoShortcutSwitch(run.arguments);
  const Attendance attendance = ProcessAttendance();
  run.unattended = attendance != Attendance::kAttended;
  if (run.unattended) LOG(INFO) << DescribeUnattended(attendance);

  if (const Status opened = OpenCommunicationChannels(run.channels); !opened) {
    return ReportFatalError(opened.error().code);
  }
  ProgressWindow window(run.unattended ? ProgressWindow::kHidden : ProgressWindow::kShown);
  if (const Status flow = RunInstallationFlow(run, window); !flow) {
    window.Close();
    return ReportFatalError(flow.error().code, flow.error().hint);
  }
  HandleOutcome(run);
  return run.exitStatus;
}

}  // namespace

DWORD RunStub(HINSTANCE instance, const wchar_t* commandLine) noexcept {
  const InstanceGuard guard;
  if (guard.AnotherStubIsRunning()) return 0;
  try {
    SignedInUser user = SignedInUser::FromDesktopShell();
    const UserLog log = ConfigureUserLog(user);
    LOG(INFO) << "Pexmira wrapper started";
    LogStubAndArguments(instance, commandLine);
    ReportLogRotation(log);
    return RunGuarded(std::move(user), instance, commandLine);
  } catch (const std::exception& error) {
    LogUnexpectedFailure(error.what());
  } catch (...) {
    LogUnexpectedFailure("unknown exception");
  }
  // Where the run stood is not known, so neither is the installer's outcome.
  return kOutcomeUnknown;
}
