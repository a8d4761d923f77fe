#include "common/message_wait.h"

#include "common/deadline.h"

namespace {

// Dispatches what is waiting; false once WM_QUIT was taken (its exit code in *quitCode).
bool DispatchWaitingMessages(WPARAM* quitCode) {
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      *quitCode = message.wParam;
      return false;
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  return true;
}

DWORD TimeLeftMs(ULONGLONG startedAt, DWORD timeoutMs) {
  return timeoutMs == INFINITE ? INFINITE : RemainingMs(startedAt, timeoutMs, GetTickCount64());
}

}  // namespace

DWORD WaitDispatching(DWORD count, const HANDLE* handles, DWORD timeoutMs) {
  const ULONGLONG startedAt = GetTickCount64();
  bool quit = false;
  WPARAM quitCode = 0;
  DWORD woken = WAIT_TIMEOUT;
  for (;;) {
    // Input already seen by an earlier peek wakes the wait too, so no message
    // is left lying while the wait sleeps.
    woken = MsgWaitForMultipleObjectsEx(count, handles, TimeLeftMs(startedAt, timeoutMs), QS_ALLINPUT,
                                        MWMO_INPUTAVAILABLE);
    if (woken != WAIT_OBJECT_0 + count) break;
    if (!DispatchWaitingMessages(&quitCode)) quit = true;
    // The handles are checked before the clock: a handle signalled as the
    // time ran out still counts.
    if (TimeLeftMs(startedAt, timeoutMs) == 0) {
      woken = count == 0 ? WAIT_TIMEOUT : WaitForMultipleObjects(count, handles, FALSE, 0);
      break;
    }
  }
  const DWORD error = GetLastError();
  if (quit) PostQuitMessage(static_cast<int>(quitCode));
  SetLastError(error);
  return woken;
}
