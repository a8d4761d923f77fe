#include "files/crc32.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <ios>
#include <string>
#include <vector>

namespace {

class TempFile {
 public:
  explicit TempFile(const std::string& bytes) {
    // Tests run in parallel processes: the name carries the process and a count.
    static int count = 0;
    path_ = "crc32-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++count) + ".bin";
    std::ofstream(path_, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  ~TempFile() { std::remove(path_.c_str()); }
  std::wstring WidePath() const { return std::wstring(path_.begin(), path_.end()); }

 private:
  std::string path_;
};

uint32_t FileCrc(const std::string& bytes) {
  TempFile file(bytes);
  return ComputeFileCrc32(file.WidePath().c_str());
}

// The textbook bit-at-a-time CRC-32, to check the table-driven one against.
uint32_t BitwiseCrc32(const std::string& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ ((crc & 1u) ? 0xEDB88320u : 0u);
  }
  return ~crc;
}

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + 7) % 251);
  return bytes;
}

}  // namespace

TEST(ComputeFileCrc32, KnownValues) {
  EXPECT_EQ(FileCrc(""), 0x00000000u);
  EXPECT_EQ(FileCrc("123456789"), 0xCBF43926u);
  EXPECT_EQ(FileCrc("abc"), 0x352441C2u);
}

TEST(ComputeFileCrc32, ReadsRawBytesWithoutTranslation) {
  // zlib.crc32 of the same bytes.
  EXPECT_EQ(FileCrc(std::string("\r\n\x1a\0line\r\nnext\n\x1a\r", 17)), 0x159A8057u);
}

TEST(ComputeFileCrc32, FileLargerThanABlockAndNotAMultipleOfIt) {
  const std::string bytes = Pattern(1000003);
  EXPECT_EQ(FileCrc(bytes), 0xAC01ADF2u);  // zlib.crc32 of the same bytes
  EXPECT_EQ(FileCrc(bytes), BitwiseCrc32(bytes)) << "calls are independent";
}

TEST(ComputeFileCrc32, MissingFileRaisesTheOpenFailure) {
  try {
    ComputeFileCrc32(L"Z:\\no\\such\\folder\\installer.exe");
    FAIL() << "no exception";
  } catch (const std::ios_base::failure& failure) {
    EXPECT_EQ(std::string(failure.what()).rfind("Failed to open the file", 0), 0u) << failure.what();
    EXPECT_EQ(failure.code(), std::io_errc::stream);
  }
}

// Short lengths take the byte tables, longer ones the carry-less folding where
// the processor has it; every length and split must agree with the definition.
TEST(UpdateCrc32, MatchesTheBitwiseDefinitionAtEveryLengthAndSplit) {
  const std::string bytes = Pattern(300);
  for (size_t length = 0; length <= bytes.size(); ++length) {
    const std::string part = bytes.substr(0, length);
    ASSERT_EQ(UpdateCrc32(0, part.data(), part.size()), BitwiseCrc32(part)) << length;
    const size_t split = length / 3;
    const uint32_t first = UpdateCrc32(0, part.data(), split);
    ASSERT_EQ(UpdateCrc32(first, part.data() + split, length - split), BitwiseCrc32(part)) << length;
  }
}
