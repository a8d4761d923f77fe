#include "shell/desktop_shortcut.h"

#include <windows.h>
#include <shlobj.h>

const wchar_t kContinueShortcutName[] = L"Continue installation.lnk";

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

Error ShortcutError(DWORD systemError) { return Failure(systemError); }

Status WriteAll(HANDLE file, const std::vector<unsigned char>& bytes) {
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN) || !SetEndOfFile(file)) return ShortcutError(GetLastError());
  DWORD written = 0;
  if (!WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
    return ShortcutError(GetLastError());
  }
  if (written != bytes.size()) return ShortcutError(ERROR_WRITE_FAULT);
  return Status();
}

}  // namespace

Result<UserDesktop> OpenUserDesktop(const SignedInUser& user) {
  PWSTR found = nullptr;
  const HRESULT result = SHGetKnownFolderPath(FOLDERID_Desktop, KF_FLAG_DONT_VERIFY, user.token(), &found);
  UserDesktop desktop;
  desktop.path = SUCCEEDED(result) && found != nullptr ? found : L"";
  CoTaskMemFree(found);
  if (FAILED(result)) return ShortcutError(static_cast<DWORD>(result));
  if (desktop.path.empty()) return ShortcutError(ERROR_PATH_NOT_FOUND);
  const ImpersonationScope asUser(user);
  if (asUser.refused()) return ShortcutError(asUser.refusedError());
  auto folder = HeldFolder::Open(desktop.path);
  if (!folder) return folder.error();
  desktop.folder = *std::move(folder);
  return desktop;
}

std::wstring ShortcutPathOn(const UserDesktop& desktop) {
  std::wstring path = desktop.path;
  if (path.back() != L'\\') path += L'\\';
  return path + kContinueShortcutName;
}

Result<bool> DeleteContinueShortcut(const UserDesktop& desktop, const SignedInUser& user) {
  const ImpersonationScope asUser(user);
  if (asUser.refused()) return ShortcutError(asUser.refusedError());
  auto link = desktop.folder.OpenChild(kContinueShortcutName, ChildKind::kFile, ChildOpening::kExistingOnly, DELETE,
                                       kShareAll);
  if (!link) {
    const DWORD error = link.error().systemError;
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
    return link.error();
  }
  if (Status deleted = DeleteThroughHandle(link->get()); !deleted) return deleted.error();
  return true;
}

Status WriteContinueShortcut(const UserDesktop& desktop, const SignedInUser& user,
                             const std::vector<unsigned char>& bytes) {
  const ImpersonationScope asUser(user);
  if (asUser.refused()) return ShortcutError(asUser.refusedError());
  constexpr ACCESS_MASK kAccess = GENERIC_WRITE | DELETE;
  auto link = desktop.folder.OpenChild(kContinueShortcutName, ChildKind::kFile, ChildOpening::kExistingOnly, kAccess,
                                       FILE_SHARE_READ);
  const bool made = !link && link.error().systemError == ERROR_FILE_NOT_FOUND;
  if (made) {
    link = desktop.folder.OpenChild(kContinueShortcutName, ChildKind::kFile, ChildOpening::kNewOnly, kAccess,
                                    FILE_SHARE_READ);
  }
  if (!link) return link.error();
  Status written = WriteAll(link->get(), bytes);
  // A half-written new link would start nothing: it goes again.
  if (!written && made) static_cast<void>(DeleteThroughHandle(link->get()));
  return written;
}
