#include "files/crc32.h"

#include <array>
#include <fstream>
#include <ios>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;
constexpr size_t kBlockSize = 256 * 1024;

// Eight tables for slicing-by-8: table 0 is the standard byte table
// (entry 1 0x77073096, entry 255 0x2D02EF8D); table k advances a byte that
// lies k positions further back. Computed by the compiler, kept in read-only
// data.
using Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Tables MakeTables() {
  Tables tables{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t crc = i;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1u) ? kPolynomial : 0u);
    tables[0][i] = crc;
  }
  for (size_t k = 1; k < 8; ++k) {
    for (uint32_t i = 0; i < 256; ++i) {
      const uint32_t previous = tables[k - 1][i];
      tables[k][i] = (previous >> 8) ^ tables[0][previous & 0xFFu];
    }
  }
  return tables;
}

constexpr Tables kTables = MakeTables();
static_assert(kTables[0][1] == 0x77073096u && kTables[0][255] == 0x2D02EF8Du,
              "the byte table must be the standard CRC-32 table");

}  // namespace

uint32_t UpdateCrc32(uint32_t crc, const void* data, size_t size) noexcept {
  const auto* bytes = static_cast<const unsigned char*>(data);
  uint32_t reg = ~crc;
  // Eight bytes per step, assembled little-endian byte by byte so that the
  // result does not depend on the machine's byte order or alignment.
  while (size >= 8) {
    const uint32_t low = reg ^ (uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 |
                                uint32_t{bytes[2]} << 16 | uint32_t{bytes[3]} << 24);
    reg = kTables[7][low & 0xFFu] ^ kTables[6][(low >> 8) & 0xFFu] ^
          kTables[5][(low >> 16) & 0xFFu] ^ kTables[4][low >> 24] ^ kTables[3][bytes[4]] ^
          kTables[2][bytes[5]] ^ kTables[1][bytes[6]] ^ kTables[0][bytes[7]];
    bytes += 8;
    size -= 8;
  }
  while (size-- > 0) reg = kTables[0][(reg ^ *bytes++) & 0xFFu] ^ (reg >> 8);
  return ~reg;
}

uint32_t ComputeStreamCrc32(std::istream& stream) {
  std::vector<char> block(kBlockSize);
  uint32_t crc = 0;
  while (stream) {
    stream.read(block.data(), static_cast<std::streamsize>(block.size()));
    const std::streamsize got = stream.gcount();
    if (got > 0) crc = UpdateCrc32(crc, block.data(), static_cast<size_t>(got));
  }
  if (!stream.eof()) stream.setstate(std::ios_base::badbit);
  return crc;
}

uint32_t ComputeFileCrc32(const wchar_t* path) {
  std::ifstream file;
#ifdef _WIN32
  file.open(path, std::ios::in | std::ios::binary);
#else
  file.open(std::string(path, path + std::char_traits<wchar_t>::length(path)),
            std::ios::in | std::ios::binary);
#endif
  if (!file) throw std::ios_base::failure("Failed to open the file", std::io_errc::stream);
  return ComputeStreamCrc32(file);
}
