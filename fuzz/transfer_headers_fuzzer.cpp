// The download's reading of the installer server's response headers, and the
// judgement of a transfer from them: whatever the server sends, the status is
// none or three digits, and a transfer is whole only when it was reported
// done, is not empty, and has the announced length where one counts (a
// part's answer announces the whole file's in its range).
//
// Input: one byte of flags (bit 0: the download reported done, bit 1: the
// file's size is unknown), four bytes of the file's size (little-endian), then
// the header text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "download/download_attempts.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size < 5) return 0;
  const bool done = (input[0] & 1) != 0;
  const uint64_t received = static_cast<uint64_t>(input[1]) | static_cast<uint64_t>(input[2]) << 8 |
                            static_cast<uint64_t>(input[3]) << 16 | static_cast<uint64_t>(input[4]) << 24;
  const TransferHeaders headers = ParseTransferHeaders(fuzz::WideFromBytes(input + 5, size - 5));
  if (headers.status != 0 && (headers.status < 100 || headers.status > 999)) std::abort();
  const bool sizeKnown = (input[0] & 2) == 0;
  const TransferEnd end = ClassifyTransfer(done, headers, sizeKnown ? std::optional<uint64_t>(received) : std::nullopt);
  if (end == TransferEnd::kComplete && sizeKnown) {
    if (!done || received == 0) std::abort();
    const auto announced = AnnouncedFileLength(headers);
    if (announced && *announced != received) std::abort();
  }
  if (IsTriedAgain(end) && (end == TransferEnd::kComplete || end == TransferEnd::kRefused)) std::abort();
  // A transfer's limit is never above the file's length its answer announced.
  const auto limit = TransferLimit(headers, std::nullopt);
  const auto announced = AnnouncedFileLength(headers);
  if (limit && (!announced || *limit > *announced)) std::abort();
  return 0;
}
