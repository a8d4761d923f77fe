// What one run of the stub holds from start-up to teardown. The flow sets each
// value the outcome needs in one step of its own.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "files/signed_in_user.h"
#include "main/session.h"
#include "trust/run_folder.h"

struct StubRun {
  // Start-up.
  HINSTANCE instance = nullptr;
  SignedInUser user;              // the desktop's user, whose log and desktop the stub writes
  std::wstring arguments;         // passed to the installer unchanged
  bool noShortcutSwitch = false;  // "-ns": leave no stub copy and no shortcut
  bool unattended = false;        // a silent switch, or no desktop anyone sees: show nothing
  CommunicationChannels channels;

  // The installation flow.
  bool shortcutFlag = false;           // the document's "shortcut", unless "-ns"
  std::wstring installerPath;          // once the download has a name
  std::optional<RunFolder> runFolder;  // the download's folder, held from before the download
  std::wstring version;                // once the installer has been verified
  std::wstring sessionId;              // made right before the launch
  DWORD exitStatus = 0;                // the installer's exit code
};
