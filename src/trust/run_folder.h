// The run's own folder, which holds the downloaded installer, its
// placeholder and the installer's temporary folder, and is the installer's
// working folder: made afresh with the administrators-only descriptor, held
// open for the whole run, and emptied and removed through handles.
#pragma once

#include <windows.h>

#include <string>

#include "common/result.h"
#include "files/held_folder.h"

enum class ChainCheck {
  kProtected,  // no other account can change the folder or any folder above it
  kRefused,    // another account could change a folder above it: the folder must not be used
  kNotKept,    // the file system did not keep the folder's descriptor: nothing can be checked
};

// How a removal of the run's folder ended.
struct FolderRemoval {
  bool scheduledForRestart = false;  // still held when the time was up: it goes at the next restart
  DWORD holderError = 0;             // the error with which a holder kept it, where one did
  DWORD waitedMs = 0;                // how long holders kept it
};

class RunFolder {
 public:
  // Makes and holds a new folder under parent (ending in a backslash), then
  // checks the chain of folders from the drive's root down to it
  // (chainCheck). A refused folder is removed again when it is let go.
  static Result<RunFolder> Make(const std::wstring& parent);

  RunFolder() = default;
  RunFolder(RunFolder&&) = default;
  RunFolder& operator=(RunFolder&&) = default;
  ~RunFolder();

  // The folder's path as the file system has it, ending in a backslash.
  const std::wstring& path() const noexcept { return path_; }
  ChainCheck chainCheck() const noexcept { return chainCheck_; }

  // Deletes a file in the folder by its name (one component) through a
  // handle opened relative to the held folder. False when it is not there.
  Result<bool> DeleteFile(const std::wstring& name) const;

  // Makes the installer's own temporary folder inside this one and returns
  // its path (no trailing backslash); it goes with the run's folder.
  Result<std::wstring> MakeInstallerTempFolder() const;

  // Removes the folder and everything in it through handles. Indexers,
  // scanners and the installer's own leftovers may hold what is inside for a
  // while after the installer's end (errors 32, 145 and 5); that is tried
  // again for up to waitMs, and what is still held then is scheduled for
  // removal at the next restart.
  Result<FolderRemoval> RemoveAll(DWORD waitMs);

 private:
  // Removes the folder itself where it is empty, at once.
  Status RemoveIfEmpty();

  std::wstring path_;
  HeldFolder folder_;
  ChainCheck chainCheck_ = ChainCheck::kNotKept;
  bool removed_ = false;
};

// True for the errors with which a file or folder held by another program
// refuses its deletion: a sharing violation (32), a folder whose deleted
// entries are still held (145), a running program's file (5).
bool IsHeldByAnother(DWORD error);
