// One run of the stub, from the single-instance guard to the teardown.
#pragma once

#include <windows.h>

// Returns the exit status: 0 when another stub is running or the user closed
// the progress window, the error code of a fatal error, else the installer's
// exit code. Nothing escapes it: an unexpected exception ends the run with an
// ERROR record and a failure status instead of a crash.
DWORD RunStub(HINSTANCE instance, const wchar_t* commandLine) noexcept;
