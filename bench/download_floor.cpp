// The platform's floor for the stub's design: the least a Windows program can
// do to fetch an installer with URL monikers and check its CRC-32. One call to
// URLDownloadToFileW (no callback, no window), then the stub's own CRC-32
// over the file, read in the stub's blocks; then the moment it finished, in
// Unix seconds, goes to the file named by --record=PATH, as the benchmark
// installer records its first instant.
//
//   download_floor.exe URL FILE EXPECTED_CRC32 --record=PATH
//
// Exit status 0 when the file's CRC-32 is the expected one, 1 when the
// download failed, 2 on a wrong command line, 3 when the file can't be read,
// 4 on a wrong checksum (so that a timed run is never a failed one).
#include <windows.h>
#include <shellapi.h>
#include <urlmon.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "files/block_reader.h"
#include "files/crc32.h"

namespace {

// FILETIME counts 100-nanosecond intervals since 1601-01-01.
constexpr unsigned long long kUnixEpochAsFileTime = 116444736000000000ull;
constexpr unsigned long long kTicksPerSecond = 10000000ull;

unsigned long long PreciseFileTimeNow() {
  FILETIME now = {};
  GetSystemTimePreciseAsFileTime(&now);
  return (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

class Arguments {
 public:
  Arguments() : values_(CommandLineToArgvW(GetCommandLineW(), &count_)) {}
  ~Arguments() {
    if (values_ != nullptr) LocalFree(values_);
  }
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;
  int count() const { return values_ == nullptr ? 0 : count_; }
  const wchar_t* operator[](int index) const { return values_[index]; }

 private:
  int count_ = 0;
  wchar_t** values_;
};

// The CRC-32 of the whole file, read as the stub reads the held installer;
// false when it can't be opened or read.
bool FileCrc32(const wchar_t* path, uint32_t* crc) {
  const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  uint32_t value = 0;
  const bool ok = ReadInBlocks(
      [&](unsigned char* buffer, size_t capacity, size_t* count) {
        DWORD got = 0;
        if (!ReadFile(file, buffer, static_cast<DWORD>(capacity), &got, nullptr)) return false;
        *count = got;
        return true;
      },
      [&](const unsigned char* buffer, size_t count) {
        value = UpdateCrc32(value, buffer, count);
        return true;
      });
  CloseHandle(file);
  *crc = value;
  return ok;
}

bool WriteRecord(const wchar_t* path, unsigned long long fileTime) {
  const unsigned long long sinceEpoch = fileTime - kUnixEpochAsFileTime;
  char text[64];
  const int length = std::snprintf(text, sizeof(text), "%llu.%07llu\n", sinceEpoch / kTicksPerSecond,
                                   sinceEpoch % kTicksPerSecond);
  if (length <= 0) return false;
  const HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr) &&
                  written == static_cast<DWORD>(length);
  CloseHandle(file);
  return ok;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const Arguments arguments;
  const wchar_t* const recordOption = L"--record=";
  if (arguments.count() != 5 || std::wcsncmp(arguments[4], recordOption, std::wcslen(recordOption)) != 0) {
    return 2;
  }
  const wchar_t* url = arguments[1];
  const wchar_t* path = arguments[2];
  const unsigned long expected = std::wcstoul(arguments[3], nullptr, 10);
  if (URLDownloadToFileW(nullptr, url, path, 0, nullptr) != S_OK) return 1;
  uint32_t crc = 0;
  if (!FileCrc32(path, &crc)) return 3;
  const unsigned long long finished = PreciseFileTimeNow();
  if (crc != static_cast<uint32_t>(expected)) return 4;
  return WriteRecord(arguments[4] + std::wcslen(recordOption), finished) ? 0 : 3;
}
