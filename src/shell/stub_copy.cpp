#include "shell/stub_copy.h"

#include <windows.h>
#include <shlobj.h>

#include "files/block_reader.h"
#include "files/held_folder.h"
#include "trust/installer_file.h"
#include "trust/protected_folder.h"

namespace {

Error CopyError(DWORD systemError) { return Failure(systemError); }

}  // namespace

Result<std::wstring> StubCopyFolderPath() {
  PWSTR programFiles = nullptr;
  const HRESULT found = SHGetKnownFolderPath(FOLDERID_ProgramFiles, 0, nullptr, &programFiles);
  std::wstring folder = SUCCEEDED(found) && programFiles != nullptr ? programFiles : L"";
  CoTaskMemFree(programFiles);
  if (FAILED(found) || folder.empty()) return CopyError(static_cast<DWORD>(found));
  if (folder.back() != L'\\') folder += L'\\';
  return folder + L"Tessaloom Setup\\";
}

Result<std::wstring> EnsureStubCopyFolder(const std::wstring& folder) {
  auto descriptor = MakeCopyFolderDescriptor();
  if (!descriptor) return CopyError(descriptor.error().systemError);
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor->get(), FALSE};
  if (CreateDirectoryW(folder.c_str(), &attributes)) return folder;
  const DWORD error = GetLastError();
  if (error != ERROR_ALREADY_EXISTS) return CopyError(error);
  const UniqueFile existing(CreateFileW(folder.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!existing) return CopyError(GetLastError());
  const auto facts = ReadFolderFacts(existing.get());
  if (!facts) return CopyError(facts.error().systemError);
  if (facts->reparsePoint || !facts->folder) return CopyError(ERROR_DIRECTORY);
  if (!ExistingFolderIsTrusted(*facts)) return CopyError(ERROR_ACCESS_DENIED);
  return folder;
}

std::wstring StubCopyPath(const std::wstring& folder) { return folder + L"qmxtl_setup.exe"; }

Status CopyOpenFile(HANDLE source, const std::wstring& copyPath) {
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(source, start, nullptr, FILE_BEGIN)) return CopyError(GetLastError());
  UniqueFile copy(
      CreateFileW(copyPath.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!copy) return CopyError(GetLastError());
  DWORD error = 0;
  const bool copied = ReadInBlocks(
      [&](unsigned char* buffer, size_t capacity, size_t* count) {
        return ReadFileBlock(source, buffer, capacity, count, error);
      },
      [&](const unsigned char* buffer, size_t count) {
        DWORD written = 0;
        if (!WriteFile(copy.get(), buffer, static_cast<DWORD>(count), &written, nullptr) || written != count) {
          error = GetLastError();
          if (error == 0) error = ERROR_WRITE_FAULT;
          return false;
        }
        return true;
      });
  if (copied) return Status();
  // A half copy would not start: it goes.
  static_cast<void>(DeleteThroughHandle(copy.get()));
  return CopyError(error);
}
