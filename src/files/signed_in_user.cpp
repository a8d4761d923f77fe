#include "files/signed_in_user.h"

#include <sddl.h>

#include <memory>

namespace {

constexpr DWORD kShellTokenAccess = TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE;

// The debugging privilege, enabled on the process's token for the scope's
// lifetime and then set back as it was. An elevated administrator holds it;
// it lets the stub open the shell's process when the shell runs as another
// account than the stub's.
class DebugPrivilegeScope {
 public:
  DebugPrivilegeScope() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return;
    token_.reset(token);
    TOKEN_PRIVILEGES wanted = {};
    wanted.PrivilegeCount = 1;
    wanted.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &wanted.Privileges[0].Luid)) return;
    DWORD size = sizeof(previous_);
    enabled_ = AdjustTokenPrivileges(token_.get(), FALSE, &wanted, sizeof(previous_), &previous_, &size) != FALSE &&
               GetLastError() == ERROR_SUCCESS;
  }
  ~DebugPrivilegeScope() {
    // previous_ lists the privilege only where its state changed.
    if (enabled_ && previous_.PrivilegeCount != 0) {
      AdjustTokenPrivileges(token_.get(), FALSE, &previous_, 0, nullptr, nullptr);
    }
  }
  DebugPrivilegeScope(const DebugPrivilegeScope&) = delete;
  DebugPrivilegeScope& operator=(const DebugPrivilegeScope&) = delete;

  bool enabled() const { return enabled_; }

 private:
  UniqueHandle<KernelHandleTraits> token_;
  TOKEN_PRIVILEGES previous_ = {};
  bool enabled_ = false;
};

Result<UniqueHandle<KernelHandleTraits>> OpenProcessTokenById(DWORD processId) {
  const UniqueHandle<KernelHandleTraits> process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (!process) return Failure(GetLastError());
  HANDLE token = nullptr;
  if (!OpenProcessToken(process.get(), kShellTokenAccess, &token)) return Failure(GetLastError());
  return UniqueHandle<KernelHandleTraits>(token);
}

// The shell's token; where the plain open is refused, once more with the
// debugging privilege enabled around the opening only.
Result<UniqueHandle<KernelHandleTraits>> OpenShellToken(DWORD processId, UserFacts& facts) {
  auto token = OpenProcessTokenById(processId);
  if (token || token.error().systemError != ERROR_ACCESS_DENIED) return token;
  const DebugPrivilegeScope privilege;
  if (!privilege.enabled()) return token;
  facts.neededDebugPrivilege = true;
  return OpenProcessTokenById(processId);
}

template <typename T>
bool ReadTokenValue(HANDLE token, TOKEN_INFORMATION_CLASS kind, T& value) {
  DWORD size = 0;
  return GetTokenInformation(token, kind, &value, sizeof(value), &size) != FALSE;
}

std::unique_ptr<BYTE[]> ReadTokenUser(HANDLE token) {
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (size == 0) return nullptr;
  auto buffer = std::make_unique<BYTE[]>(size);
  if (!GetTokenInformation(token, TokenUser, buffer.get(), size, &size)) return nullptr;
  return buffer;
}

// "DOMAIN\name" of the token's user, or its SID where the name can't be had.
std::wstring AccountName(HANDLE token) {
  const auto user = ReadTokenUser(token);
  if (!user) return L"";
  PSID sid = reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid;
  wchar_t name[256] = {};
  wchar_t domain[256] = {};
  DWORD nameSize = 256;
  DWORD domainSize = 256;
  SID_NAME_USE use = SidTypeUnknown;
  if (LookupAccountSidW(nullptr, sid, name, &nameSize, domain, &domainSize, &use)) {
    return domain[0] != L'\0' ? std::wstring(domain) + L"\\" + name : std::wstring(name);
  }
  LPWSTR text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return L"";
  std::wstring sidText = text;
  LocalFree(text);
  return sidText;
}

bool IsSystemAccount(HANDLE token) {
  const auto user = ReadTokenUser(token);
  return user && IsWellKnownSid(reinterpret_cast<TOKEN_USER*>(user.get())->User.Sid, WinLocalSystemSid);
}

// The own token's linked token, where it can act for the user.
UniqueHandle<KernelHandleTraits> UsableLinkedToken(HANDLE ownToken) {
  TOKEN_LINKED_TOKEN linked = {};
  if (!ReadTokenValue(ownToken, TokenLinkedToken, linked)) return {};
  UniqueHandle<KernelHandleTraits> token(linked.LinkedToken);
  TOKEN_TYPE type = TokenPrimary;
  SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
  if (!ReadTokenValue(token.get(), TokenType, type)) return {};
  if (type == TokenImpersonation && !ReadTokenValue(token.get(), TokenImpersonationLevel, level)) return {};
  if (!LinkedTokenCanAct(type, level)) return {};
  return token;
}

}  // namespace

UserSource DecideUserSource(const UserFacts& facts) {
  if (facts.shellTokenOpened) {
    return facts.neededDebugPrivilege ? UserSource::kDesktopShellPrivileged : UserSource::kDesktopShell;
  }
  // The shell's user may be another person than the stub's account (an
  // administrator's password typed for them): acting for the stub's account
  // would write on the wrong desktop.
  if (facts.shellWindow) return UserSource::kShellUserUnknown;
  if (facts.ownAccountIsSystem || !facts.ownTokenElevated) return UserSource::kOwnAccount;
  if (facts.linkedTokenCanAct) return UserSource::kLinkedToken;
  return UserSource::kNone;
}

bool LinkedTokenCanAct(TOKEN_TYPE type, SECURITY_IMPERSONATION_LEVEL level) {
  return type == TokenPrimary || level >= SecurityImpersonation;
}

SignedInUser SignedInUser::FromDesktop() {
  SignedInUser user;
  UserFacts facts;
  const HWND shell = GetShellWindow();
  DWORD processId = 0;
  facts.shellWindow = shell != nullptr && GetWindowThreadProcessId(shell, &processId) != 0 && processId != 0;
  if (facts.shellWindow) {
    auto token = OpenShellToken(processId, facts);
    facts.shellTokenOpened = token.ok();
    if (token) {
      user.token_ = *std::move(token);
    } else {
      user.error_ = token.error().systemError;
    }
  }
  HANDLE own = nullptr;
  UniqueHandle<KernelHandleTraits> ownToken;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &own)) ownToken.reset(own);
  if (!facts.shellWindow && ownToken) {
    TOKEN_ELEVATION elevation = {};
    // A token whose elevation can't be read counts as elevated: the stub asks for it.
    facts.ownTokenElevated = !ReadTokenValue(ownToken.get(), TokenElevation, elevation) || elevation.TokenIsElevated;
    facts.ownAccountIsSystem = IsSystemAccount(ownToken.get());
    // Only an elevated token's linked token is the same user without the
    // elevation; a limited token's is the elevated one.
    UniqueHandle<KernelHandleTraits> linked;
    if (facts.ownTokenElevated) linked = UsableLinkedToken(ownToken.get());
    facts.linkedTokenCanAct = linked.valid();
    if (DecideUserSource(facts) == UserSource::kLinkedToken) user.token_ = std::move(linked);
  }
  user.source_ = DecideUserSource(facts);
  if (user.found()) {
    user.name_ = AccountName(user.token());
  } else if (user.source_ == UserSource::kOwnAccount && ownToken) {
    user.name_ = AccountName(ownToken.get());
  }
  return user;
}

ImpersonationScope::ImpersonationScope(const SignedInUser& user) noexcept {
  if (!user.found()) return;
  active_ = ImpersonateLoggedOnUser(user.token()) != FALSE;
  if (!active_) refusedError_ = GetLastError() != 0 ? GetLastError() : static_cast<uint32_t>(ERROR_ACCESS_DENIED);
}

ImpersonationScope::~ImpersonationScope() {
  if (active_) RevertToSelf();
}
