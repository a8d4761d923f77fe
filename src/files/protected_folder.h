// Folders that only administrators can write: the run's own download folder
// under the temporary folder, and the folder of the stub copy. Any program of
// the user can write to the temporary folder itself, so the downloaded
// installer, its placeholder and the folder the installer starts in live in
// a folder of the run's own, made afresh under a name nobody can guess.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>

#include "common/result.h"

// A security descriptor made by the system's string form (LocalFree'd).
struct LocalFreeDeleter {
  void operator()(void* memory) const noexcept { LocalFree(memory); }
};
using UniqueSecurityDescriptor = std::unique_ptr<void, LocalFreeDeleter>;

// A protected DACL (no entries inherited from the parent) that grants full
// access to Administrators and SYSTEM only, passed on to the files and
// folders made inside.
Result<UniqueSecurityDescriptor> MakeAdministratorsOnlyDescriptor();

// Makes a new folder under parent (ending in a backslash) with that
// descriptor; the creation fails where the name exists, and then the next
// name is tried. Names come from nextName (by default "qmx-" and 32 random
// hexadecimal digits). Returns the folder's path, ending in a backslash.
Result<std::wstring> MakeRunFolder(const std::wstring& parent,
                                   const std::function<std::wstring()>& nextName = nullptr);

// "qmx-" and 32 hexadecimal digits from the system's random generator.
std::wstring RandomRunFolderName();

// Makes the folder with that descriptor where it is missing. An existing
// folder is taken only as a plain folder: a junction or link under the name
// is refused. Returns its path, ending in a backslash.
Result<std::wstring> EnsureAdministratorsOnlyFolder(const std::wstring& path);

// After the installer has been deleted: deletes its placeholder (the
// installer's name without ".exe") and the run folder once it is empty. True
// when the folder is gone; its own protection makes plain deletes safe here.
bool RemoveRunFolder(const std::wstring& folder, const std::wstring& installerPath);
