#include "files/installer_file.h"

#include <bcrypt.h>

#include <ios>
#include <vector>

#include "files/crc32.h"

namespace {

constexpr DWORD kBlockSize = 256 * 1024;

struct AlgorithmTraits {
  using Handle = BCRYPT_ALG_HANDLE;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { BCryptCloseAlgorithmProvider(h, 0); }
};
struct HashTraits {
  using Handle = BCRYPT_HASH_HANDLE;
  static Handle Invalid() noexcept { return nullptr; }
  static void Close(Handle h) noexcept { BCryptDestroyHash(h); }
};
using UniqueAlgorithm = UniqueHandle<AlgorithmTraits>;
using UniqueHash = UniqueHandle<HashTraits>;

// A failed cryptography call reports its NTSTATUS as the error number.
DWORD FromStatus(NTSTATUS status) { return static_cast<DWORD>(status); }

}  // namespace

UniqueFile OpenInstallerExclusively(const std::wstring& path) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) throw std::ios_base::failure("Failed to open the file", std::io_errc::stream);
  return file;
}

bool DigestInstaller(HANDLE file, bool withSha256, InstallerDigest& digest, DWORD& error) {
  UniqueAlgorithm algorithm;
  UniqueHash hash;
  if (withSha256) {
    NTSTATUS status = BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (BCRYPT_SUCCESS(status)) status = BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0, nullptr, 0, 0);
    if (!BCRYPT_SUCCESS(status)) {
      error = FromStatus(status);
      return false;
    }
  }

  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
    error = GetLastError();
    return false;
  }
  std::vector<BYTE> block(kBlockSize);
  uint32_t crc = 0;
  for (;;) {
    DWORD read = 0;
    if (!ReadFile(file, block.data(), kBlockSize, &read, nullptr)) {
      error = GetLastError();
      return false;
    }
    if (read == 0) break;
    crc = UpdateCrc32(crc, block.data(), read);
    if (hash) {
      const NTSTATUS status = BCryptHashData(hash.get(), block.data(), read, 0);
      if (!BCRYPT_SUCCESS(status)) {
        error = FromStatus(status);
        return false;
      }
    }
  }
  digest.crc32 = crc;
  if (hash) {
    const NTSTATUS status = BCryptFinishHash(hash.get(), digest.sha256.data(),
                                             static_cast<ULONG>(digest.sha256.size()), 0);
    if (!BCRYPT_SUCCESS(status)) {
      error = FromStatus(status);
      return false;
    }
  }
  return true;
}
