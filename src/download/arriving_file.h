// The installer's file as the download writes it. The stub opens it in the
// run's own folder and writes every byte through its own handle, so no copy
// of the download lies anywhere else, and the CRC-32 (and the SHA-256 where
// the document names one) run over the bytes as they are written: once the
// download is whole, the digests are known without reading the file again.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/result.h"
#include "common/unique_handle.h"
#include "trust/installer_file.h"

class ArrivingFile {
 public:
  // Makes the file at path (a fresh name in the run's folder), shared with
  // readers only; withSha256 adds that digest to the CRC-32. A failure
  // carries the system's error.
  static Result<ArrivingFile> Create(const std::wstring& path, bool withSha256);

  // The bytes the file holds.
  uint64_t size() const noexcept { return size_; }

  // Adds bytes at the end; the digests take them in.
  Status Append(const unsigned char* data, size_t count);
  // Throws away what the file holds: a whole file is coming instead.
  Status StartOver();
  // Closes the file and gives the digests of what it holds.
  Result<InstallerDigest> Finish();

 private:
  ArrivingFile(UniqueFile file, InstallerDigester digester, bool withSha256)
      : file_(std::move(file)), digester_(std::move(digester)), withSha256_(withSha256) {}

  UniqueFile file_;
  InstallerDigester digester_;
  bool withSha256_;
  uint64_t size_ = 0;
};
