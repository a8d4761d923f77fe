// Runs that nobody watches: a deployment tool that passes the installer's
// silent switch, or a service or an agent running as SYSTEM, which has no
// desktop anyone sees. Such a run shows no window and no box (a box there
// would wait for ever for a click nobody gives), opens no page and leaves no
// shortcut; what happened goes to the log and the exit status only.
#pragma once

#include <cstdint>
#include <string>

enum class Attendance { kAttended, kSilentSwitch, kNoInteractiveDesktop };

// Whether a process in this session, on a window station with these flags,
// has a desktop a person can see: never in session 0 (services, and SYSTEM
// agents started by them), nor on a window station that is not visible
// (WSF_VISIBLE, bit 0, clear).
bool IsInteractiveDesktop(uint32_t sessionId, uint32_t windowStationFlags);

// The decision from the stub's arguments and the desktop.
Attendance DecideAttendance(const std::wstring& arguments, bool interactiveDesktop);

// The decision for this process, from its own command line and desktop. It
// holds for the whole process, so every place that would show something asks
// it; where the desktop can't be examined it counts as interactive, as before.
Attendance ProcessAttendance();

// The record that says why a run shows nothing.
const char* DescribeUnattended(Attendance attendance);
