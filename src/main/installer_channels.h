// Start-up of a run: the single-instance guard and the two channels through
// which the installer answers at the end of a cancelled installation.
#pragma once

#include <windows.h>

#include <string>

#include "common/result.h"
#include "common/unique_handle.h"

extern const wchar_t kInstanceMutexName[];
extern const wchar_t kCommunicationEventName[];
extern const wchar_t kCommunicationSlotName[];

// The installer's cancellation message is at most this long.
constexpr DWORD kMaxCancellationMessage = 64;

// How long the stub waits for the installer's cancellation message, which the
// installer posts before it exits.
constexpr DWORD kCancellationMessageWaitMs = 5000;

// The exit status of an unattended run that found another stub running: a
// deployment tool must not read it as a success. An attended run ends with 0,
// as the user sees the other stub's window.
constexpr DWORD kAnotherStubExitStatus = 12;

// Marks a running stub by the existence of a named mutex, which is never
// waited on and is kept until the process ends.
class InstanceGuard {
 public:
  // Creates the mutex under the given name, or opens it when another stub
  // (in any process) has it already.
  explicit InstanceGuard(const wchar_t* name = kInstanceMutexName);
  // True when another stub made the mutex first. Without any mutex (it could
  // not be made) the run goes on unguarded.
  bool AnotherStubIsRunning() const { return anotherStubIsRunning_; }

 private:
  UniqueMutex mutex_;
  bool anotherStubIsRunning_ = false;
};

struct CommunicationChannels {
  // Declared before the slot, so the slot is closed first.
  UniqueEvent event;
  UniqueMailslot slot;
  OVERLAPPED readRecord = {};
  DWORD maxMessageSize = kMaxCancellationMessage;
};

// Creates the communication event and slot, logging each step. A failure
// carries error code 7 or 8 and the system's error.
Status OpenCommunicationChannels(CommunicationChannels& channels);

// Receives the cancellation message (at most one slot message, up to its
// first NUL byte). An error when none arrived within the wait.
Result<std::string> ReceiveCancellationMessage(CommunicationChannels& channels, DWORD waitMs);
