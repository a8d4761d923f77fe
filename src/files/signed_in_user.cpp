#include "files/signed_in_user.h"

SignedInUser SignedInUser::FromDesktopShell() {
  SignedInUser user;
  const HWND shell = GetShellWindow();
  DWORD processId = 0;
  if (shell == nullptr || GetWindowThreadProcessId(shell, &processId) == 0 || processId == 0) return user;
  const UniqueHandle<KernelHandleTraits> process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (!process) return user;
  HANDLE token = nullptr;
  if (OpenProcessToken(process.get(), TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_IMPERSONATE, &token)) {
    user.token_.reset(token);
  }
  return user;
}

ImpersonationScope::ImpersonationScope(const SignedInUser& user) noexcept {
  if (user.found()) active_ = ImpersonateLoggedOnUser(user.token()) != FALSE;
}

ImpersonationScope::~ImpersonationScope() {
  if (active_) RevertToSelf();
}
