#include "files/signed_in_user.h"

#include <gtest/gtest.h>

TEST(SignedInUser, WhomTheRunActsForFromWhatWindowsReports) {
  struct Row {
    const char* situation;
    UserFacts facts;
    UserSource expected;
  };
  // shellWindow, shellTokenOpened, neededDebugPrivilege, linkedTokenCanAct, ownTokenElevated, ownAccountIsSystem
  const Row rows[] = {
      {"the user elevated their own stub", {true, true, false, false, true, false}, UserSource::kDesktopShell},
      {"an administrator's password typed for the user",
       {true, true, true, false, true, false},
       UserSource::kDesktopShellPrivileged},
      {"a shell whose user can't be had is never exchanged for the stub's account",
       {true, false, true, true, true, false},
       UserSource::kShellUserUnknown},
      {"no shell, elevated, the linked token only identifies",
       {false, false, false, false, true, false},
       UserSource::kNone},
      {"no shell, elevated, a linked token that can act",
       {false, false, false, true, true, false},
       UserSource::kLinkedToken},
      {"no shell, a service's SYSTEM", {false, false, false, false, true, true}, UserSource::kOwnAccount},
      {"no shell, the stub not elevated: its folders are its own",
       {false, false, false, false, false, false},
       UserSource::kOwnAccount},
  };
  for (const Row& row : rows) EXPECT_EQ(DecideUserSource(row.facts), row.expected) << row.situation;
}

TEST(SignedInUser, OnlyATokenThatImpersonatesCanAct) {
  EXPECT_TRUE(LinkedTokenCanAct(TokenPrimary, SecurityAnonymous));  // a primary token has no level
  EXPECT_TRUE(LinkedTokenCanAct(TokenImpersonation, SecurityImpersonation));
  EXPECT_FALSE(LinkedTokenCanAct(TokenImpersonation, SecurityIdentification));  // what a caller without TCB gets
}
