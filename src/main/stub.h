// One run of the stub, from the single-instance guard to the teardown.
#pragma once

#include <windows.h>

// Returns the exit status: 0 when another stub is running, the error code of a
// fatal error, else the installer's exit code.
DWORD RunStub(HINSTANCE instance, const wchar_t* commandLine);
