#include "main/stub.h"

#include "log/log_setup.h"
#include "main/arguments.h"
#include "main/installation_flow.h"
#include "main/outcome.h"
#include "main/session.h"
#include "main/stub_run.h"
#include "progress/progress_window.h"

DWORD RunStub(HINSTANCE instance, const wchar_t* commandLine) {
  if (IsAnotherStubRunning()) return 0;
  MarkStubRunning();

  ConfigureLog();
  LOG(INFO) << "Pexmira wrapper started";

  // Everything of the run, the channels included, is closed when it goes out
  // of scope: that is the teardown of every road.
  StubRun run;
  run.instance = instance;
  run.arguments = commandLine != nullptr ? commandLine : L"";
  run.noShortcutSwitch = HasNoShortcutSwitch(run.arguments);

  if (const auto error = OpenCommunicationChannels(run.channels)) return ReportFatalError(*error);

  if (const auto error = RunInstallationFlow(run)) {
    CloseProgressWindow();
    return ReportFatalError(*error);
  }
  HandleOutcome(run);
  return run.exitStatus;
}
