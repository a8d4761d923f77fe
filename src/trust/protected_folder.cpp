#include "trust/protected_folder.h"

#include <aclapi.h>
#include <bcrypt.h>
#include <sddl.h>

#include "common/unique_handle.h"

namespace {

// O: the owner, Builtin Administrators (BA), written out: otherwise the
// token's default owner decides, which a policy or an endpoint privilege tool
// may set to the user. D: the DACL, P: protected (nothing inherited), then
// full access (FA) for Builtin Administrators and Local System (SY),
// inherited by files (OI) and folders (CI) inside.
const wchar_t kAdministratorsOnly[] = L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";
// The same, with read and execute (0x1200a9) for Builtin Users (BU).
const wchar_t kCopyFolder[] = L"O:BAD:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)";
// NT SERVICE\TrustedInstaller, which owns the system's own folders.
const wchar_t kTrustedInstaller[] = L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// Tries before giving up when every name is taken; with random names a second
// try is already a surprise.
constexpr int kNameTries = 16;

// What lets another account change a folder of the chain or what it holds.
constexpr DWORD kChangesDescriptor = WRITE_DAC | WRITE_OWNER;
constexpr DWORD kAddsEntries = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY;
constexpr DWORD kWrites = kAddsEntries | FILE_WRITE_EA | FILE_WRITE_ATTRIBUTES;

Error FolderError(DWORD systemError) { return Failure(systemError); }

std::wstring WithBackslash(std::wstring path) {
  if (path.empty() || path.back() != L'\\') path += L'\\';
  return path;
}

Result<UniqueSecurityDescriptor> DescriptorFromString(const wchar_t* text) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(text, SDDL_REVISION_1, &descriptor, nullptr)) {
    return FolderError(GetLastError());
  }
  return UniqueSecurityDescriptor(descriptor);
}

bool IsTrustedAccount(PSID sid) {
  if (sid == nullptr) return false;
  if (IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) return true;
  PSID trustedInstaller = nullptr;
  if (!ConvertStringSidToSidW(kTrustedInstaller, &trustedInstaller)) return false;
  const bool same = EqualSid(sid, trustedInstaller) != FALSE;
  LocalFree(trustedInstaller);
  return same;
}

// The rights the allowed entries of the DACL give other accounts; entries
// that only pass on to new children do not apply to the folder itself. A
// missing DACL lets everyone do everything. Denying entries are not counted:
// what is left over can only be more than the truth.
DWORD OthersRights(PACL dacl) {
  if (dacl == nullptr) return FILE_ALL_ACCESS;
  GENERIC_MAPPING mapping = {FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE, FILE_ALL_ACCESS};
  DWORD rights = 0;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) return FILE_ALL_ACCESS;
    const auto* header = static_cast<ACE_HEADER*>(entry);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
      // Object and callback entries are not expected on a folder: count them against it.
      if (header->AceType != ACCESS_DENIED_ACE_TYPE) rights |= FILE_ALL_ACCESS;
      continue;
    }
    const auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    if (IsTrustedAccount(const_cast<DWORD*>(&allowed->SidStart))) continue;
    DWORD mask = allowed->Mask;
    MapGenericMask(&mask, &mapping);
    rights |= mask;
  }
  return rights;
}

}  // namespace

Result<UniqueSecurityDescriptor> MakeAdministratorsOnlyDescriptor() {
  return DescriptorFromString(kAdministratorsOnly);
}

Result<UniqueSecurityDescriptor> MakeCopyFolderDescriptor() { return DescriptorFromString(kCopyFolder); }

FolderFacts DescriptorFacts(PSECURITY_DESCRIPTOR descriptor) {
  FolderFacts facts;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (GetSecurityDescriptorControl(descriptor, &control, &revision)) {
    facts.daclProtected = (control & SE_DACL_PROTECTED) != 0;
  }
  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (GetSecurityDescriptorOwner(descriptor, &owner, &defaulted)) facts.ownerTrusted = IsTrustedAccount(owner);
  BOOL present = FALSE;
  PACL dacl = nullptr;
  // A descriptor without a DACL, or one that can't be read, lets everyone do everything.
  const bool read = GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) != FALSE;
  facts.othersRights = read && present ? OthersRights(dacl) : FILE_ALL_ACCESS;
  return facts;
}

Result<FolderFacts> ReadFolderFacts(HANDLE folder) {
  BY_HANDLE_FILE_INFORMATION information = {};
  if (!GetFileInformationByHandle(folder, &information)) return FolderError(GetLastError());
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD read = GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                     nullptr, nullptr, nullptr, nullptr, &descriptor);
  if (read != ERROR_SUCCESS) return FolderError(read);
  const UniqueSecurityDescriptor held(descriptor);
  FolderFacts facts = DescriptorFacts(descriptor);
  facts.folder = (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  facts.reparsePoint = (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  return facts;
}

Result<std::vector<FolderFacts>> ReadChainFacts(const std::wstring& finalPath) {
  // "\\?\C:\a\b": the root is "\\?\C:\", then each name in turn.
  const size_t root = finalPath.find(L'\\', 4);
  if (finalPath.compare(0, 4, L"\\\\?\\") != 0 || root == std::wstring::npos) return FolderError(ERROR_BAD_PATHNAME);
  std::vector<FolderFacts> chain;
  size_t end = root;
  while (true) {
    const std::wstring folder = finalPath.substr(0, end + 1);
    UniqueFile handle(CreateFileW(folder.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!handle) return FolderError(GetLastError());
    auto facts = ReadFolderFacts(handle.get());
    if (!facts) return facts.error();
    chain.push_back(*facts);
    if (end + 1 >= finalPath.size()) break;
    end = finalPath.find(L'\\', end + 1);
    if (end == std::wstring::npos) end = finalPath.size();
  }
  return chain;
}

bool ChainIsProtected(const std::vector<FolderFacts>& chain) {
  if (chain.empty()) return false;
  for (size_t i = 0; i < chain.size(); ++i) {
    const FolderFacts& folder = chain[i];
    // An owner may always rewrite the descriptor.
    if (!folder.ownerTrusted || (folder.othersRights & kChangesDescriptor) != 0) return false;
    if (!folder.folder) return false;
    if (i == 0) continue;
    // Renaming or replacing a folder takes DELETE on it or on its parent's
    // entries; a link in its place would be a reparse point.
    if (folder.reparsePoint || (folder.othersRights & DELETE) != 0) return false;
    if ((chain[i - 1].othersRights & FILE_DELETE_CHILD) != 0) return false;
  }
  return (chain.back().othersRights & (kWrites | DELETE | FILE_DELETE_CHILD)) == 0;
}

bool ExistingFolderIsTrusted(const FolderFacts& facts) {
  return facts.folder && !facts.reparsePoint && facts.ownerTrusted &&
         (facts.othersRights & (kWrites | DELETE | FILE_DELETE_CHILD | kChangesDescriptor)) == 0;
}

bool KeptAdministratorsOnlyDescriptor(const FolderFacts& facts) {
  return facts.daclProtected && facts.ownerTrusted && facts.othersRights == 0 && !facts.reparsePoint;
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

Result<std::wstring> SystemTempFolder() {
  wchar_t windows[MAX_PATH + 1] = {};
  const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH + 1);
  if (length == 0) return FolderError(GetLastError());
  if (length > MAX_PATH) return FolderError(ERROR_INSUFFICIENT_BUFFER);
  return WithBackslash(windows) + L"Temp\\";
}
