// CRC-32 of the installer file: the checksum of zlib and PNG (reflected
// polynomial 0xEDB88320, initial value and final XOR 0xFFFFFFFF).
#pragma once

#include <cstddef>
#include <cstdint>
#include <istream>

// Continues a CRC-32 over more bytes. Start with 0 for a fresh checksum; the
// result after the last block is the checksum.
uint32_t UpdateCrc32(uint32_t crc, const void* data, size_t size) noexcept;

// The CRC-32 of everything a stream yields from its current position on, read
// in fixed-size blocks, so memory stays the same whatever the size.
// Sets the stream's bad bit when a read fails before the end.
uint32_t ComputeStreamCrc32(std::istream& stream);

// The CRC-32 of a whole file, opened in binary mode for reading (others may
// go on reading and writing it). Throws std::ios_base::failure with the text
// "Failed to open the file" when it can't be opened.
uint32_t ComputeFileCrc32(const wchar_t* path);
