// Waits of the main thread. The main thread is a single-threaded COM
// apartment, so Windows gives it a hidden top-level window: while it waits
// without taking its messages, every program that broadcasts to all windows
// (an environment change, DDE) waits for it, and an installer that broadcasts
// with no time limit waits for ever. These waits take and dispatch the
// thread's messages meanwhile.
#pragma once

#include <windows.h>

// Waits until one of the handles is signalled or timeoutMs have passed
// (INFINITE: no limit), dispatching the thread's messages meanwhile. Returns
// WAIT_OBJECT_0 + index, WAIT_TIMEOUT or WAIT_FAILED (GetLastError says why),
// as WaitForMultipleObjects does. A WM_QUIT taken during the wait is posted
// again for the thread's own message loop.
DWORD WaitDispatching(DWORD count, const HANDLE* handles, DWORD timeoutMs);

inline DWORD WaitDispatching(HANDLE handle, DWORD timeoutMs) { return WaitDispatching(1, &handle, timeoutMs); }

// A pause that dispatches the thread's messages.
inline void PauseDispatching(DWORD ms) { static_cast<void>(WaitDispatching(0, nullptr, ms)); }
