// Folders that only administrators can change: the run's own download folder
// and the folder of the stub copy. The user's own folders (the temporary
// folder among them) are the user's programs' to change, so the downloaded
// installer, its placeholder and the folder the installer starts in live in a
// folder made afresh for each run, under a name nobody can guess, in a place
// whose whole chain of folders no program without administrator rights can
// rename, replace or put a link into.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/result.h"

// A security descriptor made by the system's string form (LocalFree'd).
struct LocalFreeDeleter {
  void operator()(void* memory) const noexcept { LocalFree(memory); }
};
using UniqueSecurityDescriptor = std::unique_ptr<void, LocalFreeDeleter>;

// Owned by Administrators, with a protected DACL (no entries inherited from
// the parent) that grants full access to Administrators and SYSTEM only,
// passed on to the files and folders made inside.
Result<UniqueSecurityDescriptor> MakeAdministratorsOnlyDescriptor();

// The same, with read and execute for Users: the stub copy's folder, whose
// copy the user's shortcut starts.
Result<UniqueSecurityDescriptor> MakeCopyFolderDescriptor();

// What a folder's descriptor lets accounts other than Administrators, SYSTEM
// and TrustedInstaller do (the accounts a program without administrator
// rights may run as, the user's own among them).
struct FolderFacts {
  bool folder = true;          // a folder, not a file
  bool reparsePoint = false;   // a junction or link itself
  bool ownerTrusted = false;   // owned by Administrators, SYSTEM or TrustedInstaller
  bool daclProtected = false;  // inherits nothing from its parent
  DWORD othersRights = 0;      // file access rights any other account is allowed (generic rights mapped)
};

// The facts a security descriptor gives (owner, DACL); the folder and
// reparse-point facts are the defaults.
FolderFacts DescriptorFacts(PSECURITY_DESCRIPTOR descriptor);

// Reads the facts of an open folder (its handle needs READ_CONTROL).
Result<FolderFacts> ReadFolderFacts(HANDLE folder);

// The facts of each folder from the drive's root down to the given final
// path ("\\?\C:\..."), each opened without following a link at it.
Result<std::vector<FolderFacts>> ReadChainFacts(const std::wstring& finalPath);

// True when no other account can rename or replace any folder of the chain
// (root first), nor change a descriptor in it, nor put anything into its
// last folder.
bool ChainIsProtected(const std::vector<FolderFacts>& chain);

// True for an existing folder the stub may keep its copy in: a plain folder
// owned by Administrators, SYSTEM or TrustedInstaller that no other account
// may write to, delete from or change the descriptor of.
bool ExistingFolderIsTrusted(const FolderFacts& facts);

// True when the facts read back are those of the administrators-only
// descriptor the folder was made with; a file system that keeps no
// descriptors (Wine's) reads back something else.
bool KeptAdministratorsOnlyDescriptor(const FolderFacts& facts);

// Makes a new folder under parent (ending in a backslash) with the
// administrators-only descriptor; the creation fails where the name exists,
// and then the next name is tried. Names come from nextName (by default
// "qmx-" and 32 random hexadecimal digits). Returns the folder's path,
// ending in a backslash.
Result<std::wstring> MakeRunFolder(const std::wstring& parent, const std::function<std::wstring()>& nextName = nullptr);

// "qmx-" and 32 hexadecimal digits from the system's random generator.
std::wstring RandomRunFolderName();

// The system's own temporary folder (%SystemRoot%\Temp), ending in a
// backslash: the system's folders above it are the administrators', and
// inside it other accounts may add entries of their own but neither rename
// nor remove the stub's.
Result<std::wstring> SystemTempFolder();
