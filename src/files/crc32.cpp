#include "files/crc32.h"

#include <array>
#include <fstream>
#include <ios>
#include <string>
#include <vector>

#include "files/block_reader.h"

#if defined(__x86_64__) || defined(_M_X64)
#define STUB_CRC32_CLMUL 1
#include <emmintrin.h>
#include <wmmintrin.h>
#if defined(_MSC_VER)
#include <intrin.h>
#else
#include <cpuid.h>
#endif
#endif

namespace {

constexpr uint32_t kPolynomial = 0xEDB88320u;

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

uint32_t SliceBy8(uint32_t reg, const unsigned char* bytes, size_t size) noexcept;

#ifdef STUB_CRC32_CLMUL

// Folding with carry-less multiplication: the register of the CRC is carried
// in 128-bit lanes that are multiplied forward by x^n mod P over the data,
// then reduced to 32 bits (Barrett reduction). The constants are powers of x
// modulo the reflected polynomial, bit-reflected as the lanes are.
constexpr uint64_t kFold512Low = 0x154442bd4ull;  // fold four lanes by 512 bits
constexpr uint64_t kFold512High = 0x1c6e41596ull;
constexpr uint64_t kFold128Low = 0x1751997d0ull;  // fold one lane by 128 bits
constexpr uint64_t kFold128High = 0x0ccaa009eull;
constexpr uint64_t kFold32 = 0x163cd6124ull;
constexpr uint64_t kPolynomialReflected = 0x1db710641ull;
constexpr uint64_t kBarrettMu = 0x1f7011641ull;

bool HasCarrylessMultiply() {
#if defined(_MSC_VER)
  int info[4] = {};
  __cpuid(info, 1);
  return (info[2] & (1 << 1)) != 0;
#else
  unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
  return __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0 && (ecx & bit_PCLMUL) != 0;
#endif
}

const bool kHasCarrylessMultiply = HasCarrylessMultiply();

// GCC and clang compile the instruction only where it is asked for; MSVC always.
#if defined(__GNUC__) || defined(__clang__)
#define STUB_TARGET_CLMUL __attribute__((target("pclmul")))
#else
#define STUB_TARGET_CLMUL
#endif

STUB_TARGET_CLMUL inline __m128i Fold(__m128i lane, __m128i constants) {
  return _mm_xor_si128(_mm_clmulepi64_si128(lane, constants, 0x00), _mm_clmulepi64_si128(lane, constants, 0x11));
}

inline __m128i Load(const unsigned char* bytes) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes)); }

// Takes at least 64 bytes and a multiple of 16; returns the new register.
STUB_TARGET_CLMUL uint32_t FoldBlocks(uint32_t reg, const unsigned char* bytes, size_t size) noexcept {
  const __m128i fold512 = _mm_set_epi64x(static_cast<long long>(kFold512High), static_cast<long long>(kFold512Low));
  const __m128i fold128 = _mm_set_epi64x(static_cast<long long>(kFold128High), static_cast<long long>(kFold128Low));
  __m128i x0 = _mm_xor_si128(Load(bytes), _mm_cvtsi32_si128(static_cast<int>(reg)));
  __m128i x1 = Load(bytes + 16);
  __m128i x2 = Load(bytes + 32);
  __m128i x3 = Load(bytes + 48);
  bytes += 64;
  size -= 64;
  while (size >= 64) {
    x0 = _mm_xor_si128(Fold(x0, fold512), Load(bytes));
    x1 = _mm_xor_si128(Fold(x1, fold512), Load(bytes + 16));
    x2 = _mm_xor_si128(Fold(x2, fold512), Load(bytes + 32));
    x3 = _mm_xor_si128(Fold(x3, fold512), Load(bytes + 48));
    bytes += 64;
    size -= 64;
  }
  __m128i x = _mm_xor_si128(Fold(x0, fold128), x1);
  x = _mm_xor_si128(Fold(x, fold128), x2);
  x = _mm_xor_si128(Fold(x, fold128), x3);
  while (size >= 16) {
    x = _mm_xor_si128(Fold(x, fold128), Load(bytes));
    bytes += 16;
    size -= 16;
  }
  // 128 to 64 bits, appending the 32 zero bits of the CRC's definition.
  x = _mm_xor_si128(_mm_srli_si128(x, 8), _mm_clmulepi64_si128(x, fold128, 0x10));
  // 64 to 32 bits.
  const __m128i mask32 = _mm_set_epi32(0, 0, 0, -1);
  x = _mm_xor_si128(
      _mm_srli_si128(x, 4),
      _mm_clmulepi64_si128(_mm_and_si128(x, mask32), _mm_set_epi64x(0, static_cast<long long>(kFold32)), 0x00));
  // Barrett reduction to the 32-bit register.
  const __m128i barrett = _mm_set_epi64x(static_cast<long long>(kBarrettMu),
                                         static_cast<long long>(kPolynomialReflected));
  __m128i t = _mm_clmulepi64_si128(_mm_and_si128(x, mask32), barrett, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, mask32), barrett, 0x00);
  x = _mm_xor_si128(x, t);
  return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x, 4)));
}

#endif  // STUB_CRC32_CLMUL

}  // namespace

uint32_t UpdateCrc32(uint32_t crc, const void* data, size_t size) noexcept {
  const auto* bytes = static_cast<const unsigned char*>(data);
  uint32_t reg = ~crc;
#ifdef STUB_CRC32_CLMUL
  if (kHasCarrylessMultiply && size >= 64) {
    const size_t folded = size & ~static_cast<size_t>(15);
    reg = FoldBlocks(reg, bytes, folded);
    bytes += folded;
    size -= folded;
  }
#endif
  return ~SliceBy8(reg, bytes, size);
}

namespace {

uint32_t SliceBy8(uint32_t reg, const unsigned char* bytes, size_t size) noexcept {
  // Eight bytes per step, assembled little-endian byte by byte so that the
  // result does not depend on the machine's byte order or alignment.
  while (size >= 8) {
    const uint32_t low = reg ^ (uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
                                uint32_t{bytes[3]} << 24);
    reg = kTables[7][low & 0xFFu] ^ kTables[6][(low >> 8) & 0xFFu] ^ kTables[5][(low >> 16) & 0xFFu] ^
          kTables[4][low >> 24] ^ kTables[3][bytes[4]] ^ kTables[2][bytes[5]] ^ kTables[1][bytes[6]] ^
          kTables[0][bytes[7]];
    bytes += 8;
    size -= 8;
  }
  while (size-- > 0) reg = kTables[0][(reg ^ *bytes++) & 0xFFu] ^ (reg >> 8);
  return reg;
}

}  // namespace

uint32_t ComputeStreamCrc32(std::istream& stream) {
  uint32_t crc = 0;
  ReadInBlocks(
      [&](unsigned char* buffer, size_t capacity, size_t* count) {
        if (!stream) {
          *count = 0;
        } else {
          stream.read(reinterpret_cast<char*>(buffer), static_cast<std::streamsize>(capacity));
          *count = static_cast<size_t>(stream.gcount());
        }
        return true;
      },
      [&](const unsigned char* buffer, size_t count) {
        crc = UpdateCrc32(crc, buffer, count);
        return true;
      });
  if (!stream.eof()) stream.setstate(std::ios_base::badbit);
  return crc;
}

uint32_t ComputeFileCrc32(const wchar_t* path) {
  std::ifstream file;
#ifdef _WIN32
  file.open(path, std::ios::in | std::ios::binary);
#else
  file.open(std::string(path, path + std::char_traits<wchar_t>::length(path)), std::ios::in | std::ios::binary);
#endif
  if (!file) throw std::ios_base::failure("Failed to open the file", std::io_errc::stream);
  return ComputeStreamCrc32(file);
}
