// The copy of the stub that a cancelled installation leaves behind, so that the
// "Continue installation" shortcut can start the installation again.
#pragma once

#include <string>

#include "common/result.h"

// The running stub's own file, of any length.
Result<std::wstring> OwnExecutablePath();

// The copy's folder, "Tessaloom Setup" in the machine's program files folder,
// which only administrators can write (made with the administrators-only
// descriptor where missing; a junction or link under the name is refused).
// Unlike the temporary folder, no program of the user can put another program
// there for the shortcut to start with administrator rights.
Result<std::wstring> StubCopyFolder();

// Where the copy lives: "qmxtl_setup.exe" in the given folder (ending in a
// backslash).
std::wstring StubCopyPath(const std::wstring& folder);

// Copies the running stub over whatever is at copyPath.
Status CopyRunningStub(const std::wstring& ownPath, const std::wstring& copyPath);
