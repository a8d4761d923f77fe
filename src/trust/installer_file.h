// The downloaded installer from its check to its launch. Any program of the
// user can write to the temporary folder, so the file is held open, denying
// others write and delete access, from the moment it is checked until the
// installer's process has started: the file that runs is the file that was
// checked.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "common/result.h"
#include "common/unique_handle.h"

using Sha256Digest = std::array<uint8_t, 32>;

struct InstallerDigest {
  uint32_t crc32 = 0;
  Sha256Digest sha256 = {};
};

// Opens the file for reading, sharing it with readers only. A failure carries
// the system's error.
Result<UniqueFile> OpenInstallerExclusively(const std::wstring& path);

// True when the process (created suspended, say) runs the open file: the
// file under the process's image name is that file, by volume and file
// identifier. The held file can be neither renamed nor deleted, so no other
// file can be under that name.
Result<bool> ProcessRunsFile(HANDLE process, HANDLE file);

// The installer's command line: its path in double quotes, a blank and its
// parameters, which Windows' own splitting reads as the path and then the
// parameters' arguments.
std::wstring InstallerCommandLine(const std::wstring& path, const std::wstring& parameters);

// Reads block after block of the open file into buffer, for ReadInBlocks
// (files/block_reader.h); a failed read keeps the system's error in error.
bool ReadFileBlock(HANDLE file, unsigned char* buffer, size_t capacity, size_t* count, DWORD& error);

// The CRC-32 and, when asked, the SHA-256 of bytes handed over block after
// block: of a download as it arrives, or of a file as it is read.
class InstallerDigester {
 public:
  // A failed hash provider gives its NTSTATUS as the error.
  static Result<InstallerDigester> Start(bool withSha256);
  InstallerDigester(InstallerDigester&&) noexcept;
  InstallerDigester& operator=(InstallerDigester&&) noexcept;
  ~InstallerDigester();

  Status Add(const unsigned char* data, size_t count);
  // The digests of everything added; the digester is spent.
  Result<InstallerDigest> Finish();

 private:
  InstallerDigester();
  struct Hash;
  std::unique_ptr<Hash> hash_;  // none without SHA-256
  uint32_t crc32_ = 0;
};

// Reads the open file from its start in fixed-size blocks and computes its
// CRC-32 and, when asked, its SHA-256 in the same pass. A failed read or hash
// provider gives the system's error (an NTSTATUS for the provider).
Result<InstallerDigest> DigestInstaller(HANDLE file, bool withSha256);
