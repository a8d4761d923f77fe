// What one run of the stub holds from start-up to teardown.
#pragma once

#include <windows.h>

#include <string>

#include "common/unique_handle.h"
#include "config/config_document.h"
#include "main/session.h"

struct StubRun {
  HINSTANCE instance = nullptr;
  std::wstring arguments;          // passed to the installer unchanged
  bool noShortcutSwitch = false;   // "-ns": leave no stub copy and no shortcut
  bool shortcutFlag = false;       // the document's "shortcut", unless "-ns"
  CommunicationChannels channels;
  ConfigDocument document;
  std::wstring installerPath;
  std::wstring version;
  std::wstring sessionId;
  UniqueProcess installer;
  DWORD exitStatus = 0;
};
