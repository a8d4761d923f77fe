#include "main/session.h"

#include "log/log_setup.h"

const wchar_t kInstanceMutexName[] = L"7b1d4e2a-93c0-4f58-8a6e-d25c0f4e9b31";
const wchar_t kCommunicationEventName[] = L"orlendt_pexmira";
const wchar_t kCommunicationSlotName[] = L"\\\\.\\mailslot\\orlendt_pexmira";

bool IsAnotherStubRunning() {
  return OpenMutexW(MUTEX_ALL_ACCESS, FALSE, kInstanceMutexName) != nullptr;
}

void MarkStubRunning() {
  // Whether this succeeds is not examined: without the mutex the run simply
  // goes on unguarded.
  CreateMutexW(nullptr, FALSE, kInstanceMutexName);
}

std::optional<ErrorCode> OpenCommunicationChannels(CommunicationChannels& channels) {
  channels.event.reset(CreateEventW(nullptr, FALSE, FALSE, kCommunicationEventName));
  if (!channels.event) {
    const DWORD error = GetLastError();
    LOG(ERROR) << "CreateEvent failed with error code " << error;
    return ErrorCode::kCommunicationEvent;
  }

  channels.readRecord = OVERLAPPED{};
  channels.readRecord.hEvent = channels.event.get();

  channels.slot.reset(CreateMailslotW(kCommunicationSlotName, channels.maxMessageSize,
                                      MAILSLOT_WAIT_FOREVER, nullptr));
  if (!channels.slot) {
    const DWORD error = GetLastError();
    LOG(ERROR) << "CreateMailslot failed with error code " << error;
    return ErrorCode::kCommunicationSlot;
  }
  LOG(INFO) << "Mailslot created successfully";

  if (!GetMailslotInfo(channels.slot.get(), &channels.maxMessageSize, nullptr, nullptr, nullptr)) {
    const DWORD error = GetLastError();
    LOG(WARNING) << "GetMailslotInfo failed with error code " << error;
  }
  return std::nullopt;
}
