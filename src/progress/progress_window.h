// The progress window shown while the installer downloads. It runs its modal
// loop on a thread of its own, because the main thread is blocked in the
// download; the download callback moves its bar and ends it.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "common/unique_handle.h"

class ProgressWindow {
 public:
  // A hidden window is never opened (a run nobody watches); the rest of its
  // interface works, and the user can't close it.
  enum Visibility { kShown, kHidden };

  explicit ProgressWindow(Visibility visibility = kShown);
  // Ends the window and waits, bounded, for its thread.
  ~ProgressWindow();
  ProgressWindow(const ProgressWindow&) = delete;
  ProgressWindow& operator=(const ProgressWindow&) = delete;

  // Starts the window thread and waits, for a bounded time, until the window
  // has published its handles (or failed to open), so that the download's end
  // can't be missed.
  void Start(HINSTANCE instance);

  // Ends the window once the download has ended, whatever the order of the two
  // threads: a window that opens after this call ends itself at once. Any
  // thread may call it.
  void End();

  // Like End, then waits (bounded) until the window is gone, so that no
  // progress window stays up beside an error message.
  void Close();

  // Moves the bar (0 to 100); nothing while the window is not open.
  void SetPosition(int percent) const;

  // The line under the bar. When no new line comes for kStalledLineMs (the
  // server sends nothing), the window shows `whenStalled` instead: the time
  // left is no longer known. A screen reader is told of a change (a polite
  // live region) at most every kAnnounceIntervalMs, so it is not flooded.
  void SetLine(const std::wstring& text, const std::wstring& whenStalled);
  static constexpr ULONGLONG kAnnounceIntervalMs = 5000;
  static constexpr ULONGLONG kStalledLineMs = 5000;

  // Signalled when the user has closed the window, which cancels the whole
  // installation; the window has then ended itself.
  HANDLE ClosedByUserEvent() const;
  bool ClosedByUser() const;

  // Published once by the window thread when the window opens; null before.
  HWND Dialog() const;
  HWND Bar() const;
  HWND Line() const;

 private:
  // Everything the window thread touches. The thread holds it as long as it
  // runs, so that an object that ended while its thread was still busy (the
  // bounded wait of Close ran out) leaves the thread nothing freed.
  struct State;
  static DWORD WINAPI ProgressThreadProc(LPVOID state);
  static INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

  const Visibility visibility_;
  std::shared_ptr<State> state_;
  ULONGLONG announcedAt_ = 0;  // the last announcement of the line; SetLine's caller's thread only
  bool announced_ = false;
  UniqueThread thread_;
};
