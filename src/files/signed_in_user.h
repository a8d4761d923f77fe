// The user signed in at the desktop, as distinct from the administrator the
// elevated stub runs as. The log and the desktop shortcut are that user's
// files: the stub makes, writes and deletes them while impersonating the
// user, so that a link a program of the user has put in their way can lead
// only where the user could go anyway.
#pragma once

#include <windows.h>

#include "common/result.h"
#include "common/unique_handle.h"

class SignedInUser {
 public:
  // The token of the desktop's shell process, which runs as the signed-in
  // user; none where there is no shell (a service, a deployment agent, or
  // Wine, whose desktop registers no shell window).
  static SignedInUser FromDesktopShell();

  bool found() const noexcept { return token_.valid(); }
  // The user's token for the shell's folder queries; null (the stub's own
  // user) where none was found.
  HANDLE token() const noexcept { return token_.get(); }

 private:
  UniqueHandle<KernelHandleTraits> token_;
};

// Impersonates the signed-in user on the calling thread for its lifetime;
// where no user was found, or the impersonation is refused, the thread keeps
// the stub's own rights (the callers' link checks hold either way).
class ImpersonationScope {
 public:
  explicit ImpersonationScope(const SignedInUser& user) noexcept;
  ~ImpersonationScope();
  ImpersonationScope(const ImpersonationScope&) = delete;
  ImpersonationScope& operator=(const ImpersonationScope&) = delete;

  bool active() const noexcept { return active_; }

 private:
  bool active_ = false;
};
