#include "files/log_file.h"

#include <windows.h>
#include <shlobj.h>

#include "files/held_folder.h"

const wchar_t kLogFileName[] = L"QMXT.log";
const wchar_t kOldLogFileName[] = L"QMXT.log.1";

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Opens the child where it exists, else makes it: never both at once, so a
// link planted under the name is found, never followed to make something.
Result<UniqueFile> OpenOrMakeChild(const HeldFolder& folder, const std::wstring& name, ChildKind kind,
                                   ACCESS_MASK access, DWORD share) {
  auto existing = folder.OpenChild(name, kind, ChildOpening::kExistingOnly, access, share);
  if (existing || existing.error().systemError != ERROR_FILE_NOT_FOUND) return existing;
  return folder.OpenChild(name, kind, ChildOpening::kNewOnly, access, share);
}

// Renames an oversized log within its held folder. A log that can't be
// opened for it (none yet, one held by another program, one that leads
// elsewhere) is left to the open that follows, which says what is wrong.
void MoveOversizedLogAside(const HeldFolder& folder, UserLog& log) {
  const auto current = folder.OpenChild(kLogFileName, ChildKind::kFile, ChildOpening::kExistingOnly, DELETE, kShareAll);
  if (!current) return;
  LARGE_INTEGER size = {};
  if (!GetFileSizeEx(current->get(), &size) || !LogNeedsMovingAside(static_cast<uint64_t>(size.QuadPart))) return;
  log.previousBytes = static_cast<uint64_t>(size.QuadPart);
  const Status moved = folder.MoveInto(current->get(), kOldLogFileName);
  log.rotation = moved ? LogRotation::kMovedAside : LogRotation::kNotMoved;
  if (!moved) log.rotationError = moved.error().systemError;
}

}  // namespace

bool LogNeedsMovingAside(uint64_t size) { return size > kMaxLogBytes; }

Result<UserLog> OpenLogFileBelow(const std::wstring& applicationData, const SignedInUser& user) {
  const ImpersonationScope asUser(user);
  // Never as the stub instead: the folder is the user's choice.
  if (asUser.refused()) return Failure(asUser.refusedError());
  auto root = HeldFolder::Open(applicationData);
  if (!root) return root.error();
  auto company = OpenOrMakeChild(*root, L"Pexmira", ChildKind::kFolder,
                                 FILE_LIST_DIRECTORY | FILE_ADD_FILE | FILE_TRAVERSE, kShareAll);
  if (!company) return company.error();
  auto folder = HeldFolder::Adopt(*std::move(company));
  if (!folder) return folder.error();
  UserLog log;
  log.folder = WithoutLongPathPrefix(folder->finalPath());
  MoveOversizedLogAside(*folder, log);
  // Others may read the log while the run writes it, not write to it.
  auto file = OpenOrMakeChild(*folder, kLogFileName, ChildKind::kFile, FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_DELETE);
  if (!file) return file.error();
  log.file = *std::move(file);
  return log;
}

Result<UserLog> OpenUserLogFile(const SignedInUser& user) {
  PWSTR folder = nullptr;
  const HRESULT found = SHGetKnownFolderPath(FOLDERID_RoamingAppData, 0, user.token(), &folder);
  const std::wstring path = SUCCEEDED(found) && folder != nullptr ? folder : L"";
  CoTaskMemFree(folder);
  if (FAILED(found)) return Failure(static_cast<uint32_t>(found));
  if (path.empty()) return Failure(ERROR_PATH_NOT_FOUND);
  return OpenLogFileBelow(path, user);
}
