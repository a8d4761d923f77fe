#include "main/unattended.h"

#include <gtest/gtest.h>

#include "main/arguments.h"

TEST(HasSilentSwitch, FindsTheToolkitsSwitchesAsWholeArgumentsInAnyCase) {
  for (const wchar_t* args :
       {L"/S", L"/s", L"/SILENT", L"/VerySilent", L"/QUIET", L"/qn", L"-ns /QN /D=C:\\x", L"\"/S\""}) {
    EXPECT_TRUE(HasSilentSwitch(args)) << args;
  }
  for (const wchar_t* args : {L"", L"/D=C:\\S", L"/Sx", L"S", L"-S", L"/q", L"/silently", L"\"/S x\"", L"/qb"}) {
    EXPECT_FALSE(HasSilentSwitch(args)) << args;
  }
}

TEST(ArgumentsAfterProgramName, SkipsTheNameAsWindowsDoes) {
  EXPECT_EQ(ArgumentsAfterProgramName(L"\"C:\\Program Files\\s.exe\" /S x"), L"/S x");
  EXPECT_EQ(ArgumentsAfterProgramName(L"s.exe \t /S"), L"/S");
  EXPECT_EQ(ArgumentsAfterProgramName(L"C:\\s.exe"), L"");
  EXPECT_EQ(ArgumentsAfterProgramName(L"\"C:\\no end /S"), L"");
  EXPECT_EQ(ArgumentsAfterProgramName(L""), L"");
}

TEST(Attendance, NobodyWatchesASilentRunOrOneWithoutAVisibleDesktop) {
  // Session 0 is the services'; a window station without WSF_VISIBLE (1) is
  // not the one a person sees.
  EXPECT_TRUE(IsInteractiveDesktop(1, 1));
  EXPECT_TRUE(IsInteractiveDesktop(3, 0x1 | 0x8));
  EXPECT_FALSE(IsInteractiveDesktop(0, 1));
  EXPECT_FALSE(IsInteractiveDesktop(2, 0));

  EXPECT_EQ(DecideAttendance(L"-ns", true), Attendance::kAttended);
  EXPECT_EQ(DecideAttendance(L"/verysilent", true), Attendance::kSilentSwitch);
  EXPECT_EQ(DecideAttendance(L"/S", false), Attendance::kSilentSwitch);
  EXPECT_EQ(DecideAttendance(L"", false), Attendance::kNoInteractiveDesktop);
  // This test runs on Wine's visible desktop, without a switch.
  EXPECT_EQ(ProcessAttendance(), Attendance::kAttended);
}
