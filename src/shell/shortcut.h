// The "Continue installation" link that a cancelled installation leaves on
// the desktop.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/result.h"

// The bytes of a shell link file that starts targetPath, described as
// "Continue installation of Tessaloom" in the user's language. The link is made in memory so that
// the stub writes it where it chooses, through a handle it has checked. COM
// must be initialised on the calling thread. A failure carries the HRESULT of
// the step that failed.
Result<std::vector<unsigned char>> MakeContinueShortcut(const std::wstring& targetPath);
