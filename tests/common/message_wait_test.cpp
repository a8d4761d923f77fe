#include "common/message_wait.h"

#include <gtest/gtest.h>

#include <thread>

#include "common/unique_handle.h"

namespace {

constexpr UINT kProbeMessage = WM_APP + 7;

LRESULT CALLBACK ProbeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == kProbeMessage) return 42;
  return DefWindowProcW(window, message, wParam, lParam);
}

// A top-level window of the waiting thread, as COM's hidden window is.
HWND MakeProbeWindow() {
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = ProbeProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.lpszClassName = L"MessageWaitProbe";
  RegisterClassW(&windowClass);
  return CreateWindowExW(0, L"MessageWaitProbe", L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, windowClass.hInstance,
                         nullptr);
}

}  // namespace

// Another thread sends to the waiting thread's window and signals only once
// its send has been answered: a wait that does not dispatch times out.
TEST(WaitDispatching, AnswersSentMessagesWhileItWaits) {
  HWND window = MakeProbeWindow();
  ASSERT_NE(window, nullptr);
  const UniqueEvent answered(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  LRESULT reply = 0;
  std::thread sender([&] {
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(window, kProbeMessage, 0, 0, SMTO_BLOCK, 10000, &result) != 0) reply = result;
    SetEvent(answered.get());
  });
  const DWORD woken = WaitDispatching(answered.get(), 20000);
  sender.join();
  EXPECT_EQ(woken, WAIT_OBJECT_0);
  EXPECT_EQ(reply, 42) << "the send was answered while the thread waited";
  DestroyWindow(window);
}

TEST(WaitDispatching, OutcomesOfTheWait) {
  const UniqueEvent set(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  const UniqueEvent unset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HANDLE both[] = {unset.get(), set.get()};
  EXPECT_EQ(WaitDispatching(2, both, 1000), WAIT_OBJECT_0 + 1);
  EXPECT_EQ(WaitDispatching(unset.get(), 100), static_cast<DWORD>(WAIT_TIMEOUT));
  // Messages keep arriving during the whole wait, which ends only with its time.
  const UINT_PTR timer = SetTimer(nullptr, 0, 10, nullptr);
  EXPECT_EQ(WaitDispatching(unset.get(), 300), static_cast<DWORD>(WAIT_TIMEOUT));
  KillTimer(nullptr, timer);
  HANDLE invalid = nullptr;
  EXPECT_EQ(WaitDispatching(invalid, 100), WAIT_FAILED);
}

TEST(WaitDispatching, KeepsAQuitRequestForTheThreadsLoop) {
  PostQuitMessage(3);
  PauseDispatching(50);
  MSG message = {};
  ASSERT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(message.wParam, 3u);
}
