// The "Continue installation" link that a cancelled installation leaves on
// the desktop.
#pragma once

#include <windows.h>

#include <string>

// Writes a shell link at linkPath that starts targetPath, described as
// "Continue installation of Tessaloom". COM must be initialised on the
// calling thread. Returns the HRESULT of the step that decided the outcome.
HRESULT CreateContinueShortcut(const std::wstring& targetPath, const std::wstring& linkPath);
