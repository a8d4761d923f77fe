#include "main/installer_channels.h"

#include <memory>

#include "common/message_wait.h"
#include "common/time_limits.h"
#include "log/log_setup.h"

const wchar_t kCommunicationEventName[] = L"orlendt_pexmira";
const wchar_t kCommunicationSlotName[] = L"\\\\.\\mailslot\\orlendt_pexmira";

namespace {

constexpr DWORD kPollMs = 50;

}  // namespace

Status OpenCommunicationChannels(CommunicationChannels& channels) {
  channels.event.reset(CreateEventW(nullptr, FALSE, FALSE, kCommunicationEventName));
  if (!channels.event) {
    const DWORD error = GetLastError();
    LOG(ERROR) << "CreateEvent failed with error code " << error;
    return MakeError(ErrorCode::kNoCompletionEvent, error);
  }

  channels.readRecord = OVERLAPPED{};
  channels.readRecord.hEvent = channels.event.get();

  channels.slot.reset(CreateMailslotW(kCommunicationSlotName, channels.maxMessageSize, MAILSLOT_WAIT_FOREVER, nullptr));
  if (!channels.slot) {
    const DWORD error = GetLastError();
    LOG(ERROR) << "CreateMailslot failed with error code " << error;
    return MakeError(ErrorCode::kNoMailslot, error);
  }
  LOG(INFO) << "Mailslot created successfully";

  if (!GetMailslotInfo(channels.slot.get(), &channels.maxMessageSize, nullptr, nullptr, nullptr)) {
    const DWORD error = GetLastError();
    LOG(WARNING) << "GetMailslotInfo failed with error code " << error;
  }
  return Status();
}

Result<std::string> ReceiveCancellationMessage(CommunicationChannels& channels, DWORD waitMs) {
  const auto noMessage = [](DWORD error) { return Failure(error); };
  // A read of an empty slot would block under Wine, so first make sure that a
  // message is waiting.
  DWORD nextSize = MAILSLOT_NO_MESSAGE;
  for (DWORD waited = 0;; waited += kPollMs) {
    if (!GetMailslotInfo(channels.slot.get(), nullptr, &nextSize, nullptr, nullptr)) {
      return noMessage(GetLastError());
    }
    if (nextSize != MAILSLOT_NO_MESSAGE) break;
    if (waited >= waitMs) return noMessage(WAIT_TIMEOUT);
    PauseDispatching(kPollMs);
  }
  // Room for the largest message the slot takes, and a terminating zero.
  const size_t size = static_cast<size_t>(channels.maxMessageSize) + 1;
  std::unique_ptr<char[]> buffer(new char[size]());
  ResetEvent(channels.event.get());
  channels.readRecord.Offset = 0;
  channels.readRecord.OffsetHigh = 0;
  const BOOL read = ReadFile(channels.slot.get(), buffer.get(), channels.maxMessageSize, nullptr, &channels.readRecord);
  if (!read && GetLastError() != ERROR_IO_PENDING) return noMessage(GetLastError());
  if (WaitDispatching(channels.event.get(), waitMs) != WAIT_OBJECT_0) {
    // The buffer and the read record must outlive the read: wait until the
    // cancelled read has completed before they go.
    CancelIo(channels.slot.get());
    if (WaitDispatching(channels.event.get(), kCancelledReadWaitMs) != WAIT_OBJECT_0) {
      // Never free what the system may still write into; the slot's closing
      // at the end of the run ends the read.
      static_cast<void>(buffer.release());
      return noMessage(WAIT_TIMEOUT);
    }
    // The message may have arrived just before the cancellation.
    DWORD transferred = 0;
    if (!GetOverlappedResult(channels.slot.get(), &channels.readRecord, &transferred, FALSE)) {
      return noMessage(WAIT_TIMEOUT);
    }
  }
  return std::string(buffer.get());
}
