#include "download/arriving_file.h"

Result<ArrivingFile> ArrivingFile::Create(const std::wstring& path, bool withSha256) {
  auto digester = InstallerDigester::Start(withSha256);
  if (!digester) return digester.error();
  // The name is fresh in a folder only administrators can write to: one that
  // is there already is not the stub's.
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return Failure(GetLastError());
  return ArrivingFile(std::move(file), *std::move(digester), withSha256);
}

Status ArrivingFile::Append(const unsigned char* data, size_t count) {
  while (count > 0) {
    const DWORD piece = static_cast<DWORD>(count < 0x40000000 ? count : 0x40000000);
    DWORD written = 0;
    if (!WriteFile(file_.get(), data, piece, &written, nullptr)) return Failure(GetLastError());
    if (written == 0) return Failure(ERROR_WRITE_FAULT);
    Status added = digester_.Add(data, written);
    if (!added) return added;
    data += written;
    count -= written;
    size_ += written;
  }
  return Status();
}

Status ArrivingFile::StartOver() {
  auto digester = InstallerDigester::Start(withSha256_);
  if (!digester) return digester.error();
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN) || !SetEndOfFile(file_.get())) {
    return Failure(GetLastError());
  }
  digester_ = *std::move(digester);
  size_ = 0;
  return Status();
}

Result<InstallerDigest> ArrivingFile::Finish() {
  // Closed before the file is held for reading: that open shares with
  // readers only, which a writing handle would refuse.
  file_.reset();
  return digester_.Finish();
}
