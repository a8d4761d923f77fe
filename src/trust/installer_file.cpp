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

struct InstallerDigester::Hash {
  UniqueAlgorithm algorithm;
  UniqueHash hash;
};

InstallerDigester::InstallerDigester() = default;
InstallerDigester::InstallerDigester(InstallerDigester&&) noexcept = default;
InstallerDigester& InstallerDigester::operator=(InstallerDigester&&) noexcept = default;
InstallerDigester::~InstallerDigester() = default;

Result<InstallerDigester> InstallerDigester::Start(bool withSha256) {
  InstallerDigester digester;
  if (!withSha256) return digester;
  digester.hash_ = std::make_unique<Hash>();
  NTSTATUS status = BCryptOpenAlgorithmProvider(digester.hash_->algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  if (BCRYPT_SUCCESS(status)) {
    status = BCryptCreateHash(digester.hash_->algorithm.get(), digester.hash_->hash.put(), nullptr, 0, nullptr, 0, 0);
  }
  if (!BCRYPT_SUCCESS(status)) return ReadError(FromStatus(status));
  return digester;
}

Status InstallerDigester::Add(const unsigned char* data, size_t count) {
  crc32_ = UpdateCrc32(crc32_, data, count);
  if (!hash_) return Status();
  const NTSTATUS status = BCryptHashData(hash_->hash.get(), const_cast<PUCHAR>(data), static_cast<ULONG>(count), 0);
  if (!BCRYPT_SUCCESS(status)) return ReadError(FromStatus(status));
  return Status();
}

Result<InstallerDigest> InstallerDigester::Finish() {
  InstallerDigest digest;
  digest.crc32 = crc32_;
  if (hash_) {
    const NTSTATUS status = BCryptFinishHash(hash_->hash.get(), digest.sha256.data(),
                                             static_cast<ULONG>(digest.sha256.size()), 0);
    hash_.reset();
    if (!BCRYPT_SUCCESS(status)) return ReadError(FromStatus(status));
  }
  return digest;
}

Result<InstallerDigest> DigestInstaller(HANDLE file, bool withSha256) {
  auto digester = InstallerDigester::Start(withSha256);
  if (!digester) return digester.error();
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return ReadError(GetLastError());
  DWORD error = 0;
  const bool read = ReadInBlocks([&](unsigned char* buffer, size_t capacity,
                                     size_t* count) { return ReadFileBlock(file, buffer, capacity, count, error); },
                                 [&](const unsigned char* buffer, size_t count) {
                                   const Status added = digester->Add(buffer, count);
                                   if (!added) error = added.error().systemError;
                                   return static_cast<bool>(added);
                                 });
  if (!read) return ReadError(error);
  return digester->Finish();
}
