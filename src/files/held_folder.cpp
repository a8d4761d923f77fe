#include "files/held_folder.h"

#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>

#include "log/log_setup.h"

namespace {

using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                              PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using StatusToErrorFunction = ULONG(NTAPI*)(NTSTATUS);
using NtSetInformationFileFunction = NTSTATUS(NTAPI*)(HANDLE, PIO_STATUS_BLOCK, PVOID, ULONG, ULONG);

// FILE_RENAME_INFORMATION, which the SDK's user-mode headers lack.
struct RenameInformation {
  BOOLEAN replaceIfExists;
  HANDLE rootDirectory;
  ULONG fileNameLength;
  WCHAR fileName[1];
};
constexpr ULONG kFileRenameInformation = 10;

constexpr ULONG kOpenExisting = 1;  // FILE_OPEN
constexpr ULONG kCreateNew = 2;     // FILE_CREATE

Error FolderError(DWORD systemError, std::string text = std::string()) { return Failure(systemError, std::move(text)); }

template <typename Function>
Function NtdllFunction(const char* name) {
  // ntdll is in every process before its first instruction: nothing is loaded.
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(ntdll, name))) : nullptr;
}

bool IsOneComponent(const std::wstring& name) {
  return name.size() <= 255 && name.find_first_of(L"\\/:") == std::wstring::npos;
}

// Win32 has no open relative to a folder handle; the native call does.
Result<UniqueFile> OpenRelative(HANDLE folder, const std::wstring& name, ACCESS_MASK access, DWORD share,
                                ULONG disposition, ULONG options, PSECURITY_DESCRIPTOR descriptor = nullptr) {
  const auto create = NtdllFunction<NtCreateFileFunction>("NtCreateFile");
  const auto toError = NtdllFunction<StatusToErrorFunction>("RtlNtStatusToDosError");
  if (create == nullptr || toError == nullptr) return FolderError(ERROR_PROC_NOT_FOUND);
  // An empty name opens the folder itself.
  if (!IsOneComponent(name)) return FolderError(ERROR_INVALID_NAME);
  UNICODE_STRING text = {};
  text.Buffer = const_cast<PWSTR>(name.c_str());
  text.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  text.MaximumLength = text.Length;
  OBJECT_ATTRIBUTES attributes = {};
  InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, descriptor);
  IO_STATUS_BLOCK status = {};
  HANDLE opened = nullptr;
  const NTSTATUS result = create(&opened, access | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL,
                                 share, disposition, options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT,
                                 nullptr, 0);
  if (result < 0) return FolderError(toError(result));
  return UniqueFile(opened);
}

}  // namespace

Result<std::wstring> FinalPathOf(HANDLE file) {
  std::vector<wchar_t> buffer(MAX_PATH + 1);
  for (int tries = 0; tries < 3; ++tries) {
    const DWORD length = GetFinalPathNameByHandleW(file, buffer.data(), static_cast<DWORD>(buffer.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return FolderError(GetLastError());
    if (length < buffer.size()) return std::wstring(buffer.data(), length);
    buffer.resize(length + 1);
  }
  return FolderError(ERROR_INSUFFICIENT_BUFFER);  // the path kept growing
}

std::wstring WithoutLongPathPrefix(const std::wstring& path) {
  static const wchar_t kPrefix[] = L"\\\\?\\";
  if (path.compare(0, 4, kPrefix) != 0) return path;
  if (path.compare(4, 4, L"UNC\\") == 0) return L"\\\\" + path.substr(8);
  return path.substr(4);
}

bool IsChildPath(const std::wstring& childFinal, const std::wstring& folderFinal, const std::wstring& name) {
  std::wstring expected = folderFinal;
  if (expected.empty() || expected.back() != L'\\') expected += L'\\';
  expected += name;
  return childFinal.size() == expected.size() &&
         CompareStringOrdinal(childFinal.c_str(), static_cast<int>(childFinal.size()), expected.c_str(),
                              static_cast<int>(expected.size()), TRUE) == CSTR_EQUAL;
}

bool IsNameSurrogate(DWORD attributes, DWORD reparseTag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && IsReparseTagNameSurrogate(reparseTag);
}

Result<HeldFolder> HeldFolder::Open(const std::wstring& path) {
  UniqueFile handle(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!handle) return FolderError(GetLastError());
  return Adopt(std::move(handle));
}

Result<HeldFolder> HeldFolder::Adopt(UniqueFile handle) {
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!GetFileInformationByHandle(handle.get(), &information)) return FolderError(GetLastError());
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return FolderError(ERROR_DIRECTORY);
  HeldFolder folder;
  auto finalPath = FinalPathOf(handle.get());
  if (!finalPath) return finalPath.error();
  folder.finalPath_ = std::move(*finalPath);
  while (folder.finalPath_.size() > 1 && folder.finalPath_.back() == L'\\') folder.finalPath_.pop_back();
  folder.handle_ = std::move(handle);
  return folder;
}

Result<UniqueFile> HeldFolder::OpenChild(const std::wstring& name, ChildKind kind, ChildOpening opening,
                                         ACCESS_MASK access, DWORD share, PSECURITY_DESCRIPTOR descriptor) const {
  if (name.empty()) return FolderError(ERROR_INVALID_NAME);
  const ULONG options = kind == ChildKind::kFolder ? FILE_DIRECTORY_FILE : FILE_NON_DIRECTORY_FILE;
  auto child = OpenRelative(handle_.get(), name, access | FILE_READ_ATTRIBUTES, share,
                            opening == ChildOpening::kNewOnly ? kCreateNew : kOpenExisting, options, descriptor);
  if (!child) {
    const DWORD error = child.error().systemError;
    // One answer for "something is there" whatever the system calls it.
    if (opening == ChildOpening::kNewOnly && (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS)) {
      return FolderError(ERROR_FILE_EXISTS);
    }
    return child.error();
  }
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!GetFileInformationByHandle(child->get(), &information)) return FolderError(GetLastError());
  // The tag tells a link from a file that is a reparse point for another
  // reason (a sync engine's placeholder on a desktop in the cloud).
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
      !GetFileInformationByHandleEx(child->get(), FileAttributeTagInfo, &tag, sizeof(tag))) {
    return FolderError(GetLastError());
  }
  const auto final = FinalPathOf(child->get());
  if (!final) return final.error();
  if (IsNameSurrogate(information.dwFileAttributes, tag.ReparseTag) || !IsChildPath(*final, finalPath_, name)) {
    return FolderError(kLeadsElsewhere, Utf8(WithoutLongPathPrefix(*final)));
  }
  const bool isFolder = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (isFolder != (kind == ChildKind::kFolder)) return FolderError(ERROR_DIRECTORY);
  if (!isFolder && information.nNumberOfLinks != 1) return FolderError(kMoreThanOneLink);
  return child;
}

Result<UniqueFile> HeldFolder::OpenEntryItself(const std::wstring& name, ACCESS_MASK access) const {
  if (name.empty()) return FolderError(ERROR_INVALID_NAME);
  return OpenRelative(handle_.get(), name, access | FILE_READ_ATTRIBUTES,
                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, kOpenExisting, 0);
}

Result<std::vector<std::wstring>> HeldFolder::EntryNames() const {
  std::vector<std::wstring> names;
  std::vector<unsigned char> buffer(size_t{64} * 1024);
  FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
  while (true) {
    if (!GetFileInformationByHandleEx(handle_.get(), kind, buffer.data(), static_cast<DWORD>(buffer.size()))) {
      const DWORD error = GetLastError();
      if (error == ERROR_NO_MORE_FILES) return names;
      return FolderError(error);
    }
    kind = FileIdBothDirectoryInfo;
    for (size_t offset = 0;;) {
      const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(buffer.data() + offset);
      std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
      if (name != L"." && name != L"..") names.push_back(std::move(name));
      if (entry->NextEntryOffset == 0) break;
      offset += entry->NextEntryOffset;
    }
  }
}

Result<UniqueFile> HeldFolder::Reopen(ACCESS_MASK access, DWORD share) const {
  auto self = OpenRelative(handle_.get(), std::wstring(), access, share, kOpenExisting, FILE_DIRECTORY_FILE);
  if (!self) return self;
  if (!IsSameFile(self->get(), handle_.get())) return FolderError(kLeadsElsewhere);
  return self;
}

Status HeldFolder::MoveInto(HANDLE file, const std::wstring& name) const {
  const auto setInformation = NtdllFunction<NtSetInformationFileFunction>("NtSetInformationFile");
  const auto toError = NtdllFunction<StatusToErrorFunction>("RtlNtStatusToDosError");
  if (setInformation == nullptr || toError == nullptr) return FolderError(ERROR_PROC_NOT_FOUND);
  if (name.empty() || !IsOneComponent(name)) return FolderError(ERROR_INVALID_NAME);
  // Not SetFileInformationByHandle: Wine's refuses a root folder with a
  // relative name (error 87); the native call takes both, as Windows does.
  // Never shorter than the structure itself, which Windows checks first.
  const size_t size = std::max(offsetof(RenameInformation, fileName) + name.size() * sizeof(wchar_t),
                               sizeof(RenameInformation));
  std::vector<unsigned char> buffer(size + sizeof(wchar_t), 0);
  auto* rename = reinterpret_cast<RenameInformation*>(buffer.data());
  rename->replaceIfExists = TRUE;
  rename->rootDirectory = handle_.get();
  rename->fileNameLength = static_cast<ULONG>(name.size() * sizeof(wchar_t));
  std::memcpy(buffer.data() + offsetof(RenameInformation, fileName), name.data(), name.size() * sizeof(wchar_t));
  IO_STATUS_BLOCK status = {};
  const NTSTATUS result = setInformation(file, &status, rename, static_cast<ULONG>(size), kFileRenameInformation);
  if (result < 0) return FolderError(toError(result));
  return Status();
}

bool PosixDeleteUnsupported(DWORD error) {
  switch (error) {
    case ERROR_INVALID_PARAMETER:  // an information class or flag older systems do not know
    case ERROR_INVALID_FUNCTION:   // a file system without it (FAT, exFAT, some network shares)
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_LEVEL: return true;
    default: return false;
  }
}

Status DeleteThroughHandle(HANDLE file) {
  // With POSIX semantics the name goes at once, even where a scanner or an
  // indexer still holds the file with delete sharing; otherwise the name
  // stays until its last handle closes, and keeps its folder from going.
  constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
  constexpr DWORD kDelete = 0x1;          // FILE_DISPOSITION_FLAG_DELETE
  constexpr DWORD kPosixSemantics = 0x2;  // FILE_DISPOSITION_FLAG_POSIX_SEMANTICS
  DWORD flags = kDelete | kPosixSemantics;
  if (SetFileInformationByHandle(file, kFileDispositionInfoEx, &flags, sizeof(flags))) return Status();
  const DWORD error = GetLastError();
  if (!PosixDeleteUnsupported(error)) return FolderError(error);
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = TRUE;
  if (!SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof(disposition))) {
    return FolderError(GetLastError());
  }
  return Status();
}

bool IsSameFile(HANDLE first, HANDLE second) {
  BY_HANDLE_FILE_INFORMATION a = {}, b = {};
  if (!GetFileInformationByHandle(first, &a) || !GetFileInformationByHandle(second, &b)) return false;
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}
