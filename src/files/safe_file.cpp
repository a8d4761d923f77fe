#include "files/safe_file.h"

#include "common/unique_handle.h"

namespace {

Error FileError(DWORD systemError) { return MakeError(ErrorCode::kSideEffect, systemError); }

}  // namespace

RemovalDecision DecideRemoval(DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return RemovalDecision::kRefuseFolder;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return RemovalDecision::kDeleteLinkOnly;
  return RemovalDecision::kDeletePlainFile;
}

Result<bool> DeleteWithoutFollowingLinks(const std::wstring& path) {
  // Backup semantics let a folder open too, so that it can be told apart.
  UniqueFile file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
    return FileError(error);
  }
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!GetFileInformationByHandle(file.get(), &information)) return FileError(GetLastError());
  if (DecideRemoval(information.dwFileAttributes) == RemovalDecision::kRefuseFolder) {
    return FileError(ERROR_DIRECTORY);
  }
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = TRUE;
  if (!SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof(disposition))) {
    return FileError(GetLastError());
  }
  return true;  // gone when the handle closes
}

Status PlaceWithoutFollowingLinks(const std::wstring& finished, const std::wstring& path) {
  // No MOVEFILE_REPLACE_EXISTING: an existing name, a link included, fails.
  if (!MoveFileExW(finished.c_str(), path.c_str(), MOVEFILE_COPY_ALLOWED)) return FileError(GetLastError());
  return Status();
}
