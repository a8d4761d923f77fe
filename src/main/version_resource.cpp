#include "main/version_resource.h"

#include <winver.h>

#include <cstdint>

namespace {

// VS_VERSIONINFO: three 16-bit words (the block's length, its value's length,
// its type), the key "VS_VERSION_INFO" in UTF-16 with its terminator, padding
// to 32 bits, then VS_FIXEDFILEINFO, whose file version is its third and
// fourth 32-bit word.
constexpr size_t kValueOffset = 40;
constexpr size_t kFixedInfoSize = 52;
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BD;
const char16_t kKey[] = u"VS_VERSION_INFO";

uint16_t Word(const unsigned char* bytes, size_t at) { return static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8)); }

uint32_t DoubleWord(const unsigned char* bytes, size_t at) {
  return static_cast<uint32_t>(Word(bytes, at)) | (static_cast<uint32_t>(Word(bytes, at + 2)) << 16);
}

}  // namespace

std::optional<std::string> FileVersionOf(const void* data, size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (bytes == nullptr || size < kValueOffset + kFixedInfoSize) return std::nullopt;
  const size_t length = Word(bytes, 0);
  if (length < kValueOffset + kFixedInfoSize || length > size || Word(bytes, 2) < kFixedInfoSize) {
    return std::nullopt;
  }
  for (size_t i = 0; i < sizeof(kKey) / sizeof(kKey[0]); ++i) {
    if (Word(bytes, 6 + 2 * i) != static_cast<uint16_t>(kKey[i])) return std::nullopt;
  }
  if (DoubleWord(bytes, kValueOffset) != kFixedInfoSignature) return std::nullopt;
  const uint32_t high = DoubleWord(bytes, kValueOffset + 8);
  const uint32_t low = DoubleWord(bytes, kValueOffset + 12);
  return std::to_string(high >> 16) + "." + std::to_string(high & 0xFFFF) + "." + std::to_string(low >> 16) + "." +
         std::to_string(low & 0xFFFF);
}

std::optional<std::string> ModuleFileVersion(HMODULE module) {
  // Read from the image in memory: the version functions would load
  // version.dll, and the file on disk may have been replaced since the start.
  const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
  if (found == nullptr) return std::nullopt;
  const HGLOBAL loaded = LoadResource(module, found);
  const void* data = loaded != nullptr ? LockResource(loaded) : nullptr;
  return FileVersionOf(data, SizeofResource(module, found));
}
