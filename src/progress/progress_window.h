// The progress window shown while the installer downloads. It runs its modal
// loop on a thread of its own, because the main thread is blocked in the
// download; the download callback moves its bar and ends it.
#pragma once

#include <windows.h>

#include <atomic>
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
  HANDLE ClosedByUserEvent() const { return closedByUser_.get(); }
  bool ClosedByUser() const;

  // Published once by the window thread when the window opens; null before.
  HWND Dialog() const { return dialog_.load(); }
  HWND Bar() const { return bar_.load(); }
  HWND Line() const { return line_.load(); }

 private:
  static DWORD WINAPI ProgressThreadProc(LPVOID window);
  static INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
  void OnOpened(HWND dialog);
  void AddLine(HWND dialog);
  void ShowLine(const std::wstring& text, const std::wstring& whenStalled);
  void CheckStall();
  void SignalSettled() const;

  const Visibility visibility_;
  HINSTANCE instance_ = nullptr;
  std::atomic<HWND> dialog_{nullptr};
  std::atomic<HWND> bar_{nullptr};
  std::atomic<HWND> line_{nullptr};
  ULONGLONG announcedAt_ = 0;  // the last announcement of the line; SetLine's caller's thread only
  bool announced_ = false;
  // The window thread's own: the line's text for a stall, and since when the line stands.
  std::wstring whenStalled_;
  ULONGLONG lineShownAt_ = 0;
  bool stallShown_ = false;
  std::atomic<bool> downloadEnded_{false};
  UniqueEvent settled_;       // the handles are published, or the window could not open
  UniqueEvent closedByUser_;
  UniqueThread thread_;
};
