#include "trust/run_folder.h"

#include "trust/protected_folder.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD kRemovePollMs = 50;

Error RunFolderError(DWORD systemError) { return Failure(systemError); }

}  // namespace

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
  if (!ChainIsProtected(*chain)) return RunFolderError(ERROR_ACCESS_DENIED);
  run.chainCheck_ = ChainCheck::kProtected;
  return run;
}

RunFolder::~RunFolder() {
  // A run that ends early removes its folder where nothing was left in it (a
  // refused chain, no name for the installer, a closed window). A failed
  // download leaves the installer's placeholder, and a refused file the
  // download too, as failed runs always have: the folder then stays.
  if (!removed_ && folder_.get() != nullptr && folder_.get() != INVALID_HANDLE_VALUE) {
    static_cast<void>(Remove(0));
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

Status RunFolder::Remove(DWORD waitMs) {
  for (DWORD waited = 0;; waited += kRemovePollMs) {
    auto self = folder_.Reopen(DELETE, kShareAll);
    DWORD error = self ? 0 : self.error().systemError;
    if (self) {
      const Status deleted = DeleteThroughHandle(self->get());
      error = deleted ? 0 : deleted.error().systemError;
    }
    if (error == 0) {
      removed_ = true;
      folder_ = HeldFolder();  // the folder goes when this last handle closes
      return Status();
    }
    if (error != ERROR_SHARING_VIOLATION || waited >= waitMs) return RunFolderError(error);
    Sleep(kRemovePollMs);
  }
}
