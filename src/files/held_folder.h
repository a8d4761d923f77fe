// Folders held open, and the files below them reached through the handle
// rather than by name. Any program of the user can put a junction, a
// symbolic link or a hard link under a name in the user's own folders; an
// elevated program that opens such a name lets that program choose the file.
// Below a held folder the stub takes only what resolves to the folder's own
// final path plus its name, with one link and no reparse point that names
// another place, and acts through that handle.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "common/result.h"
#include "common/unique_handle.h"

// The system's error for a name below a held folder that leads elsewhere (a
// link under the name); Error::text then holds where it leads, in UTF-8.
constexpr DWORD kLeadsElsewhere = 681;  // ERROR_STOPPED_ON_SYMLINK, which MinGW-w64 does not name
// The same for a file with more than one name (a hard link).
constexpr DWORD kMoreThanOneLink = ERROR_TOO_MANY_LINKS;

enum class ChildOpening {
  kExistingOnly,  // fails with ERROR_FILE_NOT_FOUND where nothing is there
  kNewOnly,       // fails with ERROR_FILE_EXISTS where anything is there, a link included
};

enum class ChildKind { kFile, kFolder };

class HeldFolder {
 public:
  HeldFolder() = default;

  // Opens the folder as its path resolves (a user may have moved a shell
  // folder elsewhere; Wine links the desktop to the home folder). The handle
  // lets others read, write and delete within it, so a program that starts
  // in the folder is not refused by it.
  static Result<HeldFolder> Open(const std::wstring& path);

  // Takes a handle on a folder of the stub's own (for example one it has just
  // made, or one opened below another held folder).
  static Result<HeldFolder> Adopt(UniqueFile handle);

  HANDLE get() const noexcept { return handle_.get(); }
  // The folder's final path ("\\?\C:\..."), without a trailing backslash.
  const std::wstring& finalPath() const noexcept { return finalPath_; }

  // Opens or creates name (one component) relative to the handle, without
  // following a link at the name where the system allows it, and shows that
  // it is what it seems: a file or folder of that kind whose final path is
  // this folder's plus the name, and, for a file, with exactly one link.
  // A child that fails this is closed unchanged (kLeadsElsewhere,
  // kMoreThanOneLink, ERROR_DIRECTORY). A new child takes descriptor where
  // one is given, and otherwise inherits from this folder.
  Result<UniqueFile> OpenChild(const std::wstring& name, ChildKind kind, ChildOpening opening, ACCESS_MASK access,
                               DWORD share, PSECURITY_DESCRIPTOR descriptor = nullptr) const;

  // Opens whatever is at name (one component), a link itself rather than
  // what it leads to, with no check of its kind or path: for removing the
  // folder's own contents.
  Result<UniqueFile> OpenEntryItself(const std::wstring& name, ACCESS_MASK access) const;

  // The names of the folder's entries, read through its handle.
  Result<std::vector<std::wstring>> EntryNames() const;

  // Opens the held folder itself again through its handle, with other access.
  Result<UniqueFile> Reopen(ACCESS_MASK access, DWORD share) const;

  // Renames an open file (opened with DELETE access) to name (one component)
  // in this folder, replacing a file or link already there. The new name is
  // taken relative to the handle, so no link in the folder's path can send
  // the file elsewhere.
  Status MoveInto(HANDLE file, const std::wstring& name) const;

 private:
  UniqueFile handle_;
  std::wstring finalPath_;
};

// The final path of an open file or folder ("\\?\C:\...").
Result<std::wstring> FinalPathOf(HANDLE file);

// The system's "\\?\" prefix taken off a final path, as the log shows paths.
std::wstring WithoutLongPathPrefix(const std::wstring& path);

// True when a final path is the folder's final path plus one name, in any
// letter case (the file system's names are case-insensitive).
bool IsChildPath(const std::wstring& childFinal, const std::wstring& folderFinal, const std::wstring& name);

// Deletes the open file or empty folder; the handle needs DELETE access.
// Where the system and the file system allow it (Windows 10 1709 and later,
// NTFS), the name goes at once even while others hold the file; elsewhere it
// goes when the last handle closes.
Status DeleteThroughHandle(HANDLE file);

// True for the errors with which a system or file system without the
// immediate (POSIX) deletion refuses it: the deletion is then asked for the
// older way.
bool PosixDeleteUnsupported(DWORD error);

// True for a file or folder whose reparse point names another place: a
// symbolic link, a junction, or any tag the system marks a name surrogate.
// Other reparse points (a cloud-files placeholder, a deduplicated or
// compressed file) are the file itself.
bool IsNameSurrogate(DWORD attributes, DWORD reparseTag);

// True when the two handles are the same file (volume and file identifier).
bool IsSameFile(HANDLE first, HANDLE second);
