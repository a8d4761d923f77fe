// The run's own folder, which holds the downloaded installer and its
// placeholder and is the installer's working folder: made afresh under the
// system's temporary folder with the administrators-only descriptor, held
// open for the whole run, and emptied and removed through handles.
#pragma once

#include <windows.h>

#include <string>

#include "common/result.h"
#include "files/held_folder.h"

enum class ChainCheck {
  kProtected,  // no other account can change the folder or any folder above it
  kNotKept,    // the file system did not keep the folder's descriptor: nothing can be checked
};

class RunFolder {
 public:
  // Makes and holds a new folder under parent (ending in a backslash), then
  // checks the chain of folders from the drive's root down to it. A chain
  // that another account could change is refused (ERROR_ACCESS_DENIED), the
  // folder removed again.
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

  // Removes the emptied folder through a handle on it. A program that worked
  // in it may hold it for a moment after its end (its working folder), so a
  // sharing violation is tried again for up to waitMs.
  Status Remove(DWORD waitMs);

 private:
  std::wstring path_;
  HeldFolder folder_;
  ChainCheck chainCheck_ = ChainCheck::kNotKept;
  bool removed_ = false;
};
