// The stub's own command line (without the program name). It is passed to the
// installer unchanged; the stub itself looks for its "-ns" switch and for the
// installer's silent switches.
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

// True when one whole argument is a silent switch of the common installer
// toolkits: /S, /SILENT, /VERYSILENT, /quiet or /qn, in any letter case.
bool HasSilentSwitch(const std::wstring& args);

// The arguments of a whole command line (GetCommandLineW): what follows the
// program's name, which is quoted or ends at the first blank, and the blanks
// after it; as wWinMain receives them.
std::wstring ArgumentsAfterProgramName(const std::wstring& commandLine);
