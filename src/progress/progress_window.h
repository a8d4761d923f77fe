// The progress window shown while the installer downloads. It runs its modal
// loop on a thread of its own, because the main thread is blocked in the
// download; the download callback moves its bar and ends it.
#pragma once

#include <windows.h>

#include <atomic>

// Published once by the window thread when the window opens, read by the
// download callback on the main thread. Never reset.
extern std::atomic<HWND> g_progressDialog;
extern std::atomic<HWND> g_progressBar;

// The thread routine: runs the dialog modally and returns 0 when it ends.
// The parameter is the module instance that holds the dialog template.
DWORD WINAPI ProgressThreadProc(LPVOID instance);

INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// Starts the window thread and waits, for a bounded time, until the window has
// published its handles (or failed to open), so that the download's end can't
// be missed.
void StartProgressWindow(HINSTANCE instance);

// Ends the window once the download has ended, whatever the order of the two
// threads: a window that opens after this call ends itself at once.
void EndProgressWindow();

// Like EndProgressWindow, then waits (bounded) until the window is gone, so
// that no progress window stays up beside an error message.
void CloseProgressWindow();
