// Throughput of the stub's CRC-32 against zlib's crc32 over the same bytes,
// natively, both built with the same compiler and flags:
//   UpdateCrc32/<size>       the checksum loop alone on a buffer in memory
//   ZlibCrc32/<size>         zlib's crc32 on the same buffer
//   ComputeFileCrc32         the stub's whole-file checksum, file in the page cache
//   ZlibFileCrc32            zlib's crc32 over the same file, read in the same blocks
// Before anything is timed, every checksum is compared with zlib's; a
// difference ends the program with status 1.
//
// The file is given with --crc_file=PATH (it is made by the caller and read
// once before timing, so it is in the page cache).
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "files/crc32.h"

namespace {

constexpr size_t kLargestBuffer = 16 * 1024 * 1024;
constexpr size_t kFileBlock = 256 * 1024;

std::string g_filePath;
uint64_t g_fileSize = 0;

const std::vector<unsigned char>& Buffer() {
  static const std::vector<unsigned char> buffer = [] {
    std::vector<unsigned char> bytes(kLargestBuffer);
    std::mt19937_64 random(20240607);
    for (auto& b : bytes) b = static_cast<unsigned char>(random());
    return bytes;
  }();
  return buffer;
}

uint32_t ZlibOf(const unsigned char* data, size_t size) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // zlib takes 32-bit lengths.
  while (size > 0) {
    const uInt piece = static_cast<uInt>(size > (1u << 30) ? (1u << 30) : size);
    crc = crc32(crc, data, piece);
    data += piece;
    size -= piece;
  }
  return static_cast<uint32_t>(crc);
}

uint32_t ZlibOfFile(const std::string& path, uint64_t& size) {
  std::ifstream file(path, std::ios::in | std::ios::binary);
  std::vector<char> block(kFileBlock);
  uLong crc = crc32(0L, Z_NULL, 0);
  size = 0;
  while (file) {
    file.read(block.data(), static_cast<std::streamsize>(block.size()));
    const std::streamsize got = file.gcount();
    if (got <= 0) break;
    crc = crc32(crc, reinterpret_cast<const Bytef*>(block.data()), static_cast<uInt>(got));
    size += static_cast<uint64_t>(got);
  }
  return static_cast<uint32_t>(crc);
}

uint32_t StubOfFile(const std::string& path) {
  const std::wstring wide(path.begin(), path.end());
  return ComputeFileCrc32(wide.c_str());
}

// Every length from 0 to 300 (the tails and the switch to folding), a few
// offsets (alignment), pieces fed in uneven steps, the large buffer and the file.
bool ResultsAgree() {
  const auto& bytes = Buffer();
  for (size_t offset = 0; offset < 16; offset += 5) {
    for (size_t size = 0; size <= 300; ++size) {
      if (UpdateCrc32(0, bytes.data() + offset, size) != ZlibOf(bytes.data() + offset, size)) {
        std::fprintf(stderr, "UpdateCrc32 differs from zlib at offset %zu, size %zu\n", offset, size);
        return false;
      }
    }
  }
  uint32_t pieces = 0;
  size_t done = 0;
  for (size_t step = 1; done < bytes.size(); step = step * 3 + 1) {
    const size_t size = std::min(step, bytes.size() - done);
    pieces = UpdateCrc32(pieces, bytes.data() + done, size);
    done += size;
  }
  if (pieces != ZlibOf(bytes.data(), bytes.size()) ||
      UpdateCrc32(0, bytes.data(), bytes.size()) != ZlibOf(bytes.data(), bytes.size())) {
    std::fprintf(stderr, "UpdateCrc32 differs from zlib on the %zu-byte buffer\n", bytes.size());
    return false;
  }
  if (UpdateCrc32(0, "123456789", 9) != 0xCBF43926u) {
    std::fprintf(stderr, "UpdateCrc32 misses the check value of \"123456789\"\n");
    return false;
  }
  if (!g_filePath.empty()) {
    const uint32_t expected = ZlibOfFile(g_filePath, g_fileSize);
    if (g_fileSize == 0 || StubOfFile(g_filePath) != expected) {
      std::fprintf(stderr, "ComputeFileCrc32 differs from zlib on %s\n", g_filePath.c_str());
      return false;
    }
  }
  return true;
}

void BM_UpdateCrc32(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  const auto& bytes = Buffer();
  for (auto _ : state) benchmark::DoNotOptimize(UpdateCrc32(0, bytes.data(), size));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

void BM_ZlibCrc32(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  const auto& bytes = Buffer();
  for (auto _ : state) benchmark::DoNotOptimize(ZlibOf(bytes.data(), size));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

void BM_ComputeFileCrc32(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(StubOfFile(g_filePath));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(g_fileSize));
}

void BM_ZlibFileCrc32(benchmark::State& state) {
  uint64_t size = 0;
  for (auto _ : state) benchmark::DoNotOptimize(ZlibOfFile(g_filePath, size));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}

void RegisterBenchmarks() {
  for (const auto* name : {"UpdateCrc32", "ZlibCrc32"}) {
    auto* benchmark = benchmark::RegisterBenchmark(
        name, std::strcmp(name, "UpdateCrc32") == 0 ? BM_UpdateCrc32 : BM_ZlibCrc32);
    benchmark->Arg(4 * 1024)->Arg(256 * 1024)->Arg(static_cast<int64_t>(kLargestBuffer));
  }
  if (!g_filePath.empty()) {
    benchmark::RegisterBenchmark("ComputeFileCrc32", BM_ComputeFileCrc32)->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("ZlibFileCrc32", BM_ZlibFileCrc32)->Unit(benchmark::kMillisecond);
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<char*> rest;
  static const char kFileOption[] = "--crc_file=";
  for (int i = 0; i < argc; ++i) {
    if (std::strncmp(argv[i], kFileOption, sizeof(kFileOption) - 1) == 0) {
      g_filePath = argv[i] + sizeof(kFileOption) - 1;
    } else {
      rest.push_back(argv[i]);
    }
  }
  int restCount = static_cast<int>(rest.size());
  benchmark::Initialize(&restCount, rest.data());
  if (benchmark::ReportUnrecognizedArguments(restCount, rest.data())) return 2;
  if (!ResultsAgree()) return 1;
  std::fprintf(stderr, "checksums agree with zlib\n");
  RegisterBenchmarks();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
