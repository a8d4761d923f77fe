// The "Continue installation" link that a cancelled installation leaves on
// the desktop.
#pragma once

#include <windows.h>

#include <string>

#include "common/result.h"

// Writes a shell link at linkPath that starts targetPath, described as
// "Continue installation of Tessaloom" in the user's language. COM must be
// initialised on the calling thread. A failure carries the HRESULT of the step
// that failed.
Status CreateContinueShortcut(const std::wstring& targetPath, const std::wstring& linkPath);
