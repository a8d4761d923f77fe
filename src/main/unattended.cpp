#include "main/unattended.h"

#include <windows.h>

#include "main/arguments.h"

bool IsInteractiveDesktop(uint32_t sessionId, uint32_t windowStationFlags) {
  return sessionId != 0 && (windowStationFlags & WSF_VISIBLE) != 0;
}

Attendance DecideAttendance(const std::wstring& arguments, bool interactiveDesktop) {
  if (HasSilentSwitch(arguments)) return Attendance::kSilentSwitch;
  if (!interactiveDesktop) return Attendance::kNoInteractiveDesktop;
  return Attendance::kAttended;
}

namespace {

bool ProcessHasInteractiveDesktop() {
  DWORD session = 0;
  if (!ProcessIdToSessionId(GetCurrentProcessId(), &session)) return true;
  // The process's window station is not to be closed.
  USEROBJECTFLAGS flags = {};
  DWORD needed = 0;
  if (!GetUserObjectInformationW(GetProcessWindowStation(), UOI_FLAGS, &flags, sizeof(flags), &needed)) {
    return true;
  }
  return IsInteractiveDesktop(session, flags.dwFlags);
}

}  // namespace

Attendance ProcessAttendance() {
  const wchar_t* commandLine = GetCommandLineW();
  return DecideAttendance(ArgumentsAfterProgramName(commandLine != nullptr ? commandLine : L""),
                          ProcessHasInteractiveDesktop());
}

const char* DescribeUnattended(Attendance attendance) {
  switch (attendance) {
    case Attendance::kSilentSwitch:
      return "Unattended run (a silent switch on the command line): no window, no message box, no page, "
             "no shortcut";
    case Attendance::kNoInteractiveDesktop:
      return "Unattended run (no interactive desktop): no window, no message box, no page, no shortcut";
    case Attendance::kAttended: break;
  }
  return "";
}
