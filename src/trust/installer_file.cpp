#include "trust/installer_file.h"

#include <bcrypt.h>

#include <vector>

#include "files/block_reader.h"
#include "files/crc32.h"
#include "files/held_folder.h"

namespace {

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

Error ReadError(DWORD systemError) { return Failure(systemError); }

}  // namespace

Result<UniqueFile> OpenInstallerExclusively(const std::wstring& path) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) return ReadError(GetLastError());
  return file;
}

Result<bool> ProcessRunsFile(HANDLE process, HANDLE file) {
  std::vector<wchar_t> name(32768);
  DWORD size = static_cast<DWORD>(name.size());
  if (!QueryFullProcessImageNameW(process, 0, name.data(), &size)) return ReadError(GetLastError());
  const UniqueFile image(CreateFileW(name.data(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!image) return ReadError(GetLastError());
  return IsSameFile(image.get(), file);
}

std::wstring InstallerCommandLine(const std::wstring& path, const std::wstring& parameters) {
  // A path holds no double quote, so quoting it is all it needs.
  return L"\"" + path + L"\" " + parameters;
}

bool ReadFileBlock(HANDLE file, unsigned char* buffer, size_t capacity, size_t* count, DWORD& error) {
  DWORD got = 0;
  if (!ReadFile(file, buffer, static_cast<DWORD>(capacity), &got, nullptr)) {
    error = GetLastError();
    return false;
  }
  *count = got;
  return true;
}

Result<InstallerDigest> DigestInstaller(HANDLE file, bool withSha256) {
  UniqueAlgorithm algorithm;
  UniqueHash hash;
  if (withSha256) {
    NTSTATUS status = BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    if (BCRYPT_SUCCESS(status)) status = BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0, nullptr, 0, 0);
    if (!BCRYPT_SUCCESS(status)) return ReadError(FromStatus(status));
  }

  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return ReadError(GetLastError());
  InstallerDigest digest;
  DWORD error = 0;
  const bool read = ReadInBlocks([&](unsigned char* buffer, size_t capacity,
                                     size_t* count) { return ReadFileBlock(file, buffer, capacity, count, error); },
                                 [&](const unsigned char* buffer, size_t count) {
                                   digest.crc32 = UpdateCrc32(digest.crc32, buffer, count);
                                   if (!hash) return true;
                                   const NTSTATUS status = BCryptHashData(hash.get(), const_cast<PUCHAR>(buffer),
                                                                          static_cast<ULONG>(count), 0);
                                   error = FromStatus(status);
                                   return BCRYPT_SUCCESS(status);
                                 });
  if (!read) return ReadError(error);
  if (hash) {
    const NTSTATUS status = BCryptFinishHash(hash.get(), digest.sha256.data(), static_cast<ULONG>(digest.sha256.size()),
                                             0);
    if (!BCRYPT_SUCCESS(status)) return ReadError(FromStatus(status));
  }
  return digest;
}
