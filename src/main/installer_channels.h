// The two channels through which the installer answers at the end of a
// cancelled installation: an event and a mailslot, opened at the start of a
// run so that another program can't take their names first.
#pragma once

#include <windows.h>

#include <string>

#include "common/result.h"
#include "common/unique_handle.h"

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

// Creates the communication event and slot, logging each step. A failure
// carries error code 7 or 8 and the system's error.
Status OpenCommunicationChannels(CommunicationChannels& channels);

// Receives the cancellation message (at most one slot message, up to its
// first NUL byte). An error when none arrived within the wait.
Result<std::string> ReceiveCancellationMessage(CommunicationChannels& channels, DWORD waitMs);
