// The end of a run before the installer's outcome is known: a "We apologize!"
// box with the error's text, and its code as the stub's exit status.
#pragma once

#include <windows.h>

#include "common/result.h"

// The text of the box for an error code.
const wchar_t* FatalErrorMessage(ErrorCode code);

// Shows the box (no owner, MB_OK | MB_ICONERROR) and returns the exit status.
// The failing step has written its ERROR record already. A run that the user
// ended by closing the progress window ends with 0 and no box.
DWORD ReportFatalError(ErrorCode code);
