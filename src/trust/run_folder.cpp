#include "trust/run_folder.h"

#include <vector>

#include "common/message_wait.h"
#include "trust/protected_folder.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kRemovePollMs = 100;
// Folders nested deeper than this in the installer's leftovers are not
// walked: the walk is recursive, and nothing real goes that deep.
constexpr int kDeepestLeftover = 64;
const wchar_t kInstallerTempName[] = L"temp";

Error RunFolderError(DWORD systemError) { return Failure(systemError); }

// A read-only file can't be deleted until its attribute is cleared.
void ClearReadOnly(HANDLE entry, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_READONLY) == 0) return;
  FILE_BASIC_INFO basic = {};
  basic.FileAttributes = attributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  static_cast<void>(SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof(basic)));
}

// Deletes everything in folder, deepest first, through handles: a link is
// deleted itself, never followed. Goes on past an entry that can't be
// deleted; the first error is returned and the paths of what is left (below
// prefix, deepest first) are added to left.
DWORD EmptyFolder(const HeldFolder& folder, const std::wstring& prefix, int depth, std::vector<std::wstring>& left) {
  if (depth > kDeepestLeftover) return ERROR_FILENAME_EXCED_RANGE;
  const auto names = folder.EntryNames();
  if (!names) return names.error().systemError;
  DWORD first = 0;
  for (const std::wstring& name : *names) {
    DWORD error = 0;
    auto entry = folder.OpenEntryItself(name, DELETE | FILE_WRITE_ATTRIBUTES);
    if (!entry) error = entry.error().systemError;
    FILE_ATTRIBUTE_TAG_INFO facts = {};
    if (entry && !GetFileInformationByHandleEx(entry->get(), FileAttributeTagInfo, &facts, sizeof(facts))) {
      error = GetLastError();
    }
    const bool plainFolder = (facts.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                             (facts.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    if (error == 0 && plainFolder) {
      auto inner = folder.OpenChild(name, ChildKind::kFolder, ChildOpening::kExistingOnly, FILE_LIST_DIRECTORY,
                                    kShareAll);
      auto held = inner ? HeldFolder::Adopt(*std::move(inner)) : Result<HeldFolder>(inner.error());
      error = held ? EmptyFolder(*held, prefix + name + L"\\", depth + 1, left) : held.error().systemError;
    }
    if (error == 0) {
      ClearReadOnly(entry->get(), facts.FileAttributes);
      const Status deleted = DeleteThroughHandle(entry->get());
      if (!deleted) error = deleted.error().systemError;
    }
    if (error != 0) {
      left.push_back(prefix + name);
      if (first == 0) first = error;
    }
  }
  return first;
}

}  // namespace

bool IsHeldByAnother(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_DIR_NOT_EMPTY || error == ERROR_ACCESS_DENIED;
}

Result<RunFolder> RunFolder::Make(const std::wstring& parent) {
  auto made = MakeRunFolder(parent);
  if (!made) return made.error();
  RunFolder run;
  run.path_ = *made;
  auto folder = HeldFolder::Open(run.path_);
  if (!folder) {
    RemoveDirectoryW(run.path_.c_str());
    return RunFolderError(folder.error().systemError);
  }
  run.folder_ = *std::move(folder);
  // The name as the file system has it, in its own letter case: the same name
  // the installer is given for itself.
  run.path_ = WithoutLongPathPrefix(run.folder_.finalPath()) + L"\\";
  const auto facts = ReadFolderFacts(run.folder_.get());
  if (!facts) return RunFolderError(facts.error().systemError);
  if (!KeptAdministratorsOnlyDescriptor(*facts)) {
    run.chainCheck_ = ChainCheck::kNotKept;
    return run;
  }
  const auto chain = ReadChainFacts(run.folder_.finalPath());
  if (!chain) return RunFolderError(chain.error().systemError);
  run.chainCheck_ = ChainIsProtected(*chain) ? ChainCheck::kProtected : ChainCheck::kRefused;
  return run;
}

RunFolder::~RunFolder() {
  // A run that ends early removes its folder where nothing was left in it (a
  // refused chain, no name for the installer, a closed window). A failed
  // download leaves the installer's placeholder, and a refused file the
  // download too, as failed runs always have: the folder then stays.
  if (!removed_ && folder_.get() != nullptr && folder_.get() != INVALID_HANDLE_VALUE) {
    static_cast<void>(RemoveIfEmpty());
  }
}

Result<bool> RunFolder::DeleteFile(const std::wstring& name) const {
  auto file = folder_.OpenChild(name, ChildKind::kFile, ChildOpening::kExistingOnly, DELETE, kShareAll);
  if (!file) {
    if (file.error().systemError == ERROR_FILE_NOT_FOUND) return false;
    return RunFolderError(file.error().systemError);
  }
  if (Status deleted = DeleteThroughHandle(file->get()); !deleted) return RunFolderError(deleted.error().systemError);
  return true;
}

Result<std::wstring> RunFolder::MakeInstallerTempFolder() const {
  // Made through the held folder's handle, with its owner written out as the
  // run's folder has it: an owner may rewrite a descriptor, and a user may
  // reach a folder by its path through folders closed to them.
  const auto descriptor = MakeAdministratorsOnlyDescriptor();
  if (!descriptor) return descriptor.error();
  auto made = folder_.OpenChild(kInstallerTempName, ChildKind::kFolder, ChildOpening::kNewOnly, FILE_LIST_DIRECTORY,
                                kShareAll, descriptor->get());
  if (!made) return RunFolderError(made.error().systemError);
  return path_ + kInstallerTempName;
}

Status RunFolder::RemoveIfEmpty() {
  auto self = folder_.Reopen(DELETE, kShareAll);
  if (!self) return RunFolderError(self.error().systemError);
  if (Status deleted = DeleteThroughHandle(self->get()); !deleted) return deleted;
  removed_ = true;
  folder_ = HeldFolder();  // the folder goes when this last handle closes
  return Status();
}

Result<FolderRemoval> RunFolder::RemoveAll(DWORD waitMs) {
  FolderRemoval removal;
  std::vector<std::wstring> left;
  const ULONGLONG started = GetTickCount64();
  while (true) {
    left.clear();
    DWORD error = EmptyFolder(folder_, path_, 0, left);
    if (error == 0) {
      const Status removed = RemoveIfEmpty();
      if (removed) return removal;
      error = removed.error().systemError;
    }
    if (!IsHeldByAnother(error)) return RunFolderError(error);
    removal.holderError = error;
    if (removal.waitedMs >= waitMs) break;
    // The main thread waits here: messages sent to it are answered meanwhile.
    PauseDispatching(kRemovePollMs);
    removal.waitedMs = static_cast<DWORD>(GetTickCount64() - started);
  }
  // What is left goes at the next restart, before any program can hold it;
  // the folder last, once it is empty. A file whose deletion is already
  // pending refuses this (5) and goes with its last handle anyway.
  for (const std::wstring& entry : left) {
    static_cast<void>(MoveFileExW(entry.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
  }
  const std::wstring self = path_.substr(0, path_.size() - 1);
  if (!MoveFileExW(self.c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT)) return RunFolderError(GetLastError());
  removal.scheduledForRestart = true;
  removed_ = true;  // the held handle must not delete it now
  return removal;
}
