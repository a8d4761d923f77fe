// The "Continue installation" link on the signed-in user's desktop: found,
// written and deleted as that user, through a handle on the desktop folder,
// and only where the name is a plain file of the desktop itself.
#pragma once

#include <string>
#include <vector>

#include "common/result.h"
#include "files/held_folder.h"
#include "files/signed_in_user.h"

extern const wchar_t kContinueShortcutName[];  // "Continue installation.lnk"

struct UserDesktop {
  std::wstring path;  // as the shell gives it, for the records
  HeldFolder folder;
};

// The user's desktop folder, held as it resolves.
Result<UserDesktop> OpenUserDesktop(const SignedInUser& user);

// The path the records show: the desktop's path and the link's name.
std::wstring ShortcutPathOn(const UserDesktop& desktop);

// Deletes the link when it is there. False when nothing is there; a name that
// leads elsewhere, or has more than one link, is left alone (see
// files/held_folder.h for its error).
Result<bool> DeleteContinueShortcut(const UserDesktop& desktop, const SignedInUser& user);

// Writes the link's bytes over the link that is there, or as a new file,
// which then takes the descriptor the desktop passes on to its files.
Status WriteContinueShortcut(const UserDesktop& desktop, const SignedInUser& user,
                             const std::vector<unsigned char>& bytes);
