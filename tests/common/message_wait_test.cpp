#include "common/message_wait.h"

#include <gtest/gtest.h>

#include <thread>

#include "common/unique_handle.h"

// Another thread sends to a top-level window of the waiting thread (as
// COM's hidden window is) and signals only once its send has been answered:
// a wait that does not dispatch times out.
TEST(WaitDispatching, AnswersSentMessagesWhileItWaits) {
  HWND window = CreateWindowExW(0, L"STATIC", L"probe", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  const UniqueEvent answered(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  DWORD_PTR length = 0;
  std::thread sender([&] {
    SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_BLOCK, 10000, &length);
    SetEvent(answered.get());
  });
  const DWORD woken = WaitDispatching(answered.get(), 20000);
  sender.join();
  EXPECT_EQ(woken, WAIT_OBJECT_0);
  EXPECT_EQ(length, 5u) << "the send was answered while the thread waited";
  DestroyWindow(window);
}

TEST(WaitDispatching, OutcomesOfTheWait) {
  const UniqueEvent set(CreateEventW(nullptr, TRUE, TRUE, nullptr));
  const UniqueEvent unset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  HANDLE both[] = {unset.get(), set.get()};
  EXPECT_EQ(WaitDispatching(2, both, 1000), WAIT_OBJECT_0 + 1);
  // Messages keep arriving during the whole wait, which ends only with its time.
  const UINT_PTR timer = SetTimer(nullptr, 0, 10, nullptr);
  EXPECT_EQ(WaitDispatching(unset.get(), 300), static_cast<DWORD>(WAIT_TIMEOUT));
  KillTimer(nullptr, timer);
  EXPECT_EQ(WaitDispatching(static_cast<HANDLE>(nullptr), 100), WAIT_FAILED);
  // A quit request taken by the wait is left for the thread's own loop.
  PostQuitMessage(3);
  PauseDispatching(50);
  MSG message = {};
  ASSERT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(message.wParam, 3u);
}
