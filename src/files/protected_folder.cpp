#include "files/protected_folder.h"

#include <bcrypt.h>
#include <sddl.h>

#include "common/unique_handle.h"

namespace {

// D: the DACL, P: protected (nothing inherited), then full access (FA) for
// Builtin Administrators (BA) and Local System (SY), inherited by files (OI)
// and folders (CI) inside.
const wchar_t kAdministratorsOnly[] = L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

// Tries before giving up when every name is taken; with random names a second
// try is already a surprise.
constexpr int kNameTries = 16;

Error FolderError(DWORD systemError, ErrorCode code = ErrorCode::kInstallerDownload) {
  return MakeError(code, systemError);
}

std::wstring WithBackslash(std::wstring path) {
  if (path.empty() || path.back() != L'\\') path += L'\\';
  return path;
}

}  // namespace

Result<UniqueSecurityDescriptor> MakeAdministratorsOnlyDescriptor() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kAdministratorsOnly, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return FolderError(GetLastError());
  }
  return UniqueSecurityDescriptor(descriptor);
}

std::wstring RandomRunFolderName() {
  unsigned char bytes[16] = {};
  if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, bytes, sizeof(bytes), BCRYPT_USE_SYSTEM_PREFERRED_RNG))) {
    return std::wstring();  // no name: the caller fails rather than guess
  }
  static const wchar_t kHex[] = L"0123456789abcdef";
  std::wstring name = L"qmx-";
  for (const unsigned char byte : bytes) {
    name += kHex[byte >> 4];
    name += kHex[byte & 0xF];
  }
  return name;
}

Result<std::wstring> MakeRunFolder(const std::wstring& parent, const std::function<std::wstring()>& nextName) {
  auto descriptor = MakeAdministratorsOnlyDescriptor();
  if (!descriptor) return descriptor.error();
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor->get(), FALSE};
  DWORD error = ERROR_ALREADY_EXISTS;
  for (int tries = 0; tries < kNameTries; ++tries) {
    const std::wstring name = nextName ? nextName() : RandomRunFolderName();
    if (name.empty()) return FolderError(ERROR_INVALID_NAME);
    const std::wstring path = WithBackslash(parent) + name;
    // Fails on any existing name, a junction or link included: the folder is
    // always one this run made.
    if (CreateDirectoryW(path.c_str(), &attributes)) return WithBackslash(path);
    error = GetLastError();
    if (error != ERROR_ALREADY_EXISTS) break;
  }
  return FolderError(error);
}

Result<std::wstring> EnsureAdministratorsOnlyFolder(const std::wstring& path) {
  auto descriptor = MakeAdministratorsOnlyDescriptor();
  if (!descriptor) return FolderError(descriptor.error().systemError, ErrorCode::kSideEffect);
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor->get(), FALSE};
  if (CreateDirectoryW(path.c_str(), &attributes)) return WithBackslash(path);
  const DWORD error = GetLastError();
  if (error != ERROR_ALREADY_EXISTS) return FolderError(error, ErrorCode::kSideEffect);
  const DWORD found = GetFileAttributesW(path.c_str());
  if (found == INVALID_FILE_ATTRIBUTES) return FolderError(GetLastError(), ErrorCode::kSideEffect);
  if ((found & FILE_ATTRIBUTE_DIRECTORY) == 0 || (found & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return FolderError(ERROR_DIRECTORY, ErrorCode::kSideEffect);
  }
  return WithBackslash(path);
}

bool RemoveRunFolder(const std::wstring& folder, const std::wstring& installerPath) {
  static const wchar_t kExtension[] = L".exe";
  const size_t extension = sizeof(kExtension) / sizeof(kExtension[0]) - 1;
  if (installerPath.size() > extension) {
    DeleteFileW(installerPath.substr(0, installerPath.size() - extension).c_str());
  }
  return RemoveDirectoryW(folder.c_str()) != 0;
}
