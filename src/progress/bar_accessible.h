// What a screen reader is told about the progress bar: its name (the bar's
// text), the role of a progress bar and its value as a percentage, through
// Active Accessibility. The system's own object for the window answers the
// rest.
#pragma once

#include <windows.h>

#include <string>

// Makes `bar` answer WM_GETOBJECT for its client area with that object. For
// a bar on the calling thread; it stays so until the bar is destroyed.
bool MakeBarAccessible(HWND bar);

// The bar's value as a screen reader reads it, in the user's language:
// "42%" for position 42 of the range 0 to 100.
std::wstring BarValueText(HWND bar);
