// The copy of the running stub that a cancelled installation leaves behind
// so that the "Continue installation" shortcut can start the installation
// again.
#pragma once

#include <string>

#include "common/result.h"
#include "common/unique_handle.h"

// "Tessaloom Setup" in the machine's program files folder: where the copy
// lives, so that no program of the user can put another program there for
// the shortcut to start with administrator rights.
Result<std::wstring> StubCopyFolderPath();

// Makes the copy's folder with its descriptor (users may read and start what
// is in it) where it is missing. An existing folder is taken only where
// ExistingFolderIsTrusted says so; otherwise the error is ERROR_ACCESS_DENIED
// (its owner or descriptor lets others change it) or ERROR_DIRECTORY (a link
// or not a folder). Returns its path, ending in a backslash.
Result<std::wstring> EnsureStubCopyFolder(const std::wstring& folder);

// Where the copy lives: "qmxtl_setup.exe" in the given folder (ending in a
// backslash).
std::wstring StubCopyPath(const std::wstring& folder);

// Copies the open file (from its start) over whatever is at copyPath.
Status CopyOpenFile(HANDLE source, const std::wstring& copyPath);
