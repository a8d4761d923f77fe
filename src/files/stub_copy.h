// The copy of the stub that a cancelled installation leaves behind, so that the
// "Continue installation" shortcut can start the installation again.
#pragma once

#include <string>

#include "common/result.h"

// The running stub's own file, of any length.
Result<std::wstring> OwnExecutablePath();

// Where the copy lives: "qmxtl_setup.exe" in the given folder (ending in a
// backslash).
std::wstring StubCopyPath(const std::wstring& folder);

// Copies the running stub over whatever is at copyPath.
Status CopyRunningStub(const std::wstring& ownPath, const std::wstring& copyPath);
