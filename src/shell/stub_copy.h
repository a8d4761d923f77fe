// The running stub's own file, and the copy of it that a cancelled
// installation leaves behind so that the "Continue installation" shortcut
// can start the installation again.
#pragma once

#include <string>

#include "common/result.h"
#include "common/unique_handle.h"

// The name the system gives for the running stub's file, of any length. A
// running program's file may be renamed and another put under its name, and
// the name stays the same: use OpenOwnImageFile to read the file.
Result<std::wstring> OwnExecutablePath();

struct OwnImageFile {
  std::wstring path;
  UniqueFile file;  // open for reading; shared with readers only while it is held
};

// Opens the file under the running stub's name and shows that it is the file
// the process runs from (its mapping and the loaded image are of one file).
// Fails with ERROR_FILE_INVALID where another file is under the name.
Result<OwnImageFile> OpenOwnImageFile();

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
