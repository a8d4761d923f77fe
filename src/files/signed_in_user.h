// The user signed in at the desktop, as distinct from the administrator the
// elevated stub runs as. The log and the desktop shortcut are that user's
// files: the stub makes, writes and deletes them while impersonating the
// user, so that a link or a moved folder that a program of the user has put in
// their way can lead only where the user could go anyway. Where no such user
// can be had, the stub writes nothing below folders the user's registry names.
#pragma once

#include <windows.h>

#include <string>

#include "common/result.h"
#include "common/unique_handle.h"

// How the run came by the user it acts for.
enum class UserSource {
  kDesktopShell,            // the token of the desktop's shell process
  kDesktopShellPrivileged,  // the same, opened with the debugging privilege: the stub runs as another account
  kLinkedToken,             // no shell: the stub's own account without its elevation
  kOwnAccount,              // no shell: the stub's own account, which is not elevated or is SYSTEM
  kShellUserUnknown,        // a shell runs, but its user can't be had
  kNone,                    // no shell, and the stub's account can't be had without its elevation
};

// What Windows reports about the desktop and the stub's own token.
struct UserFacts {
  bool shellWindow = false;
  bool shellTokenOpened = false;
  bool neededDebugPrivilege = false;  // the shell's process or token was refused without it
  bool linkedTokenCanAct = false;     // see LinkedTokenCanAct
  bool ownTokenElevated = false;
  bool ownAccountIsSystem = false;  // its folders and registry only administrators control
};

UserSource DecideUserSource(const UserFacts& facts);

// Whether a token can be impersonated to open files: a primary token, or an
// impersonation token of impersonation level or above. The elevated token's
// linked token is of identification level unless the caller holds the TCB
// privilege, and Windows refuses to raise it.
bool LinkedTokenCanAct(TOKEN_TYPE type, SECURITY_IMPERSONATION_LEVEL level);

class SignedInUser {
 public:
  // The desktop's user, found by the facts above; kNone where nothing was looked at.
  static SignedInUser FromDesktop();

  UserSource source() const noexcept { return source_; }
  // A token to impersonate; the user's folders are then the token's.
  bool found() const noexcept { return token_.valid(); }
  // Whether the stub may make, rename or delete below the folders the user's
  // registry names: as the user (found), or as its own account where that is
  // the user's own or one only administrators control.
  bool known() const noexcept { return found() || source_ == UserSource::kOwnAccount; }
  // The user's token for the shell's folder queries; null (the stub's own
  // account) where none was found.
  HANDLE token() const noexcept { return token_.get(); }
  // "DOMAIN\name" of the account the run acts for; empty where none.
  const std::wstring& name() const noexcept { return name_; }
  // Why the shell's user could not be had (kShellUserUnknown).
  uint32_t error() const noexcept { return error_; }

 private:
  UniqueHandle<KernelHandleTraits> token_;
  UserSource source_ = UserSource::kNone;
  std::wstring name_;
  uint32_t error_ = 0;
};

// Impersonates the signed-in user on the calling thread for its lifetime.
// Where the user has a token and the impersonation is refused, refused() is
// true and the caller must not write as the stub instead.
class ImpersonationScope {
 public:
  explicit ImpersonationScope(const SignedInUser& user) noexcept;
  ~ImpersonationScope();
  ImpersonationScope(const ImpersonationScope&) = delete;
  ImpersonationScope& operator=(const ImpersonationScope&) = delete;

  bool active() const noexcept { return active_; }
  bool refused() const noexcept { return refusedError_ != 0; }
  uint32_t refusedError() const noexcept { return refusedError_; }

 private:
  bool active_ = false;
  uint32_t refusedError_ = 0;
};
