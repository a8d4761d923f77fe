// UpdateCrc32 over data cut into pieces at arbitrary points equals one pass,
// and equals the bit-at-a-time definition; the stream version agrees.
//
// Input: one byte giving the number of cuts (0 to 15), two bytes per cut
// (little-endian, taken modulo the data size), then the data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "files/crc32.h"
#include "fuzz_input.h"

namespace {

uint32_t BitwiseCrc32(const uint8_t* data, size_t size) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < size; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1u) ? 0xEDB88320u : 0u);
  }
  return ~crc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  if (size == 0) return 0;
  size_t cutCount = input[0] & 0x0F;
  size_t header = 1 + 2 * cutCount;
  if (header > size) {
    cutCount = 0;
    header = 1;
  }
  const uint8_t* data = input + header;
  const size_t length = size - header;

  std::vector<size_t> cuts{0, length};
  for (size_t i = 0; i < cutCount; ++i) {
    const size_t value = input[1 + 2 * i] | size_t{input[2 + 2 * i]} << 8;
    cuts.push_back(length == 0 ? 0 : value % (length + 1));
  }
  std::sort(cuts.begin(), cuts.end());

  const uint32_t whole = UpdateCrc32(0, data, length);
  FUZZ_CHECK(whole == BitwiseCrc32(data, length));

  uint32_t pieces = 0;
  for (size_t i = 0; i + 1 < cuts.size(); ++i) {
    pieces = UpdateCrc32(pieces, data + cuts[i], cuts[i + 1] - cuts[i]);
  }
  FUZZ_CHECK(pieces == whole);

  std::istringstream stream(std::string(reinterpret_cast<const char*>(data), length));
  FUZZ_CHECK(ComputeStreamCrc32(stream) == whole);
  FUZZ_CHECK(!stream.bad());
  return 0;
}
