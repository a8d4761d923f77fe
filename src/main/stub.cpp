#include "main/stub.h"

#include <string>

#include "log/log_setup.h"
#include "main/arguments.h"
#include "main/session.h"

DWORD RunStub(HINSTANCE instance, const wchar_t* commandLine) {
  (void)instance;
  if (IsAnotherStubRunning()) return 0;
  MarkStubRunning();

  ConfigureLog();
  LOG(INFO) << "Pexmira wrapper started";

  const std::wstring arguments = commandLine != nullptr ? commandLine : L"";
  const bool noShortcut = HasNoShortcutSwitch(arguments);
  (void)noShortcut;

  CommunicationChannels channels;
  if (const auto error = OpenCommunicationChannels(channels)) return ReportFatalError(*error);

  return 0;
}
