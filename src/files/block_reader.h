// The one way the stub reads a file whole: in blocks of a fixed size, so that
// memory stays the same whatever the file's size. Needs no Windows header.
#pragma once

#include <cstddef>
#include <vector>

constexpr size_t kFileBlockSize = size_t{256} * 1024;

// Calls read(buffer, capacity, &count) until it gives 0 bytes, handing each
// block to consume(buffer, count). read returns false on a failed read, and
// consume false to stop; the first false is returned.
template <typename Read, typename Consume>
bool ReadInBlocks(Read read, Consume consume) {
  std::vector<unsigned char> block(kFileBlockSize);
  for (;;) {
    size_t count = 0;
    if (!read(block.data(), block.size(), &count)) return false;
    if (count == 0) return true;
    if (!consume(block.data(), count)) return false;
  }
}
