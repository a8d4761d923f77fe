// The running stub's own file, as the system shows it: what the stub copy is
// made from, and where a stub signed after its build reads its signature.
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
