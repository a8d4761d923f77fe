// The numbered errors that end a run before the installer's outcome is known.
// Each one shows a "We apologize!" box and becomes the stub's exit status.
#pragma once

#include <windows.h>

enum class ErrorCode : DWORD {
  kConfigDownload = 1,
  kConfigParse = 3,
  kInstallerDownload = 4,
  kInstallerOpen = 5,
  kChecksumMismatch = 6,
  kCommunicationEvent = 7,
  kCommunicationSlot = 8,
  kInstallerLaunch = 9,
};

// The text of the box for an error code.
const wchar_t* FatalErrorMessage(ErrorCode code);

// Shows the box (no owner, MB_OK | MB_ICONERROR) and returns the exit status.
// The failing step has written its ERROR record already.
DWORD ReportFatalError(ErrorCode code);
