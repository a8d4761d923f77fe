// The two digests the stub compares with the document: its own CRC-32 and
// the SHA-256 (from OpenSSL).
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

struct FileDigests {
  uint32_t crc32 = 0;
  std::array<uint8_t, 32> sha256 = {};
  uint64_t size = 0;
};

// Reads the file twice: once through the stub's ComputeFileCrc32, once for the
// SHA-256. None when it can't be read; error then says why.
std::optional<FileDigests> DigestFile(const std::string& path, std::string& error);

std::string HexDigits(const std::array<uint8_t, 32>& digest);
