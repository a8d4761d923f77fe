// Start-up of a run: the single-instance guard and the two channels through
// which the installer answers at the end of a cancelled installation.
#pragma once

#include <windows.h>

#include <optional>

#include "common/unique_handle.h"
#include "main/fatal_error.h"

extern const wchar_t kInstanceMutexName[];
extern const wchar_t kCommunicationEventName[];
extern const wchar_t kCommunicationSlotName[];

// The installer's cancellation message is at most this long.
constexpr DWORD kMaxCancellationMessage = 64;

struct CommunicationChannels {
  // Declared before the slot, so the slot is closed first.
  UniqueEvent event;
  UniqueMailslot slot;
  OVERLAPPED readRecord = {};
  DWORD maxMessageSize = kMaxCancellationMessage;
};

// True when another stub holds the instance mutex. The opened handle is
// deliberately kept until the process ends.
bool IsAnotherStubRunning();

// Creates the instance mutex, which marks a running stub by its existence
// alone; it is never waited on and stays open until the process ends.
void MarkStubRunning();

// Creates the communication event and slot, logging each step. Returns the
// error code of a step that failed.
std::optional<ErrorCode> OpenCommunicationChannels(CommunicationChannels& channels);
