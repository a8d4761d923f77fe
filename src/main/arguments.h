// The stub's own command line (without the program name). It is passed to the
// installer unchanged; the stub itself only looks for its "-ns" switch.
#pragma once

#include <string>
#include <vector>

// Splits an argument string the way a program's command line is read on
// Windows: blanks and tabs separate arguments, double quotes group blanks into
// one argument and are removed, backslashes before a quote escape it.
std::vector<std::wstring> SplitArguments(const std::wstring& args);

// True when "-ns" (any letter case) is one whole argument: the user asks for
// no stub copy and no "Continue installation" shortcut after a cancellation.
bool HasNoShortcutSwitch(const std::wstring& args);
