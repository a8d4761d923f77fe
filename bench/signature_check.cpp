// What the installer's signature check costs: the stub's own check
// (ReadSignatureFacts and DecideSignature, trust/signature.cpp) on a signed
// file held as the stub holds the downloaded installer, timed twice in one
// process, and the stub's CRC-32 pass over the same held file for scale.
//
//   signature_check.exe FILE SIGNER --record=PATH [--crc-first]
//
// The first check pays for loading the trust DLLs and building the chain, as
// in a stub whose installer signer is a build setting; the second is what a
// stub pays that read its own signature first. --crc-first runs the CRC-32
// pass before the checks instead of after them. Writes one line of JSON to
// PATH: {"first_s":..,"second_s":..,"crc_s":..,"crc":..}. Exit status 0 when
// both checks accepted the file from SIGNER, 1 when not, 2 on a wrong command
// line, 3 when the file can't be opened or read.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "files/block_reader.h"
#include "files/crc32.h"
#include "trust/signature.h"

namespace {

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

class Stopwatch {
 public:
  Stopwatch() {
    QueryPerformanceFrequency(&frequency_);
    QueryPerformanceCounter(&start_);
  }
  double Seconds() const {
    LARGE_INTEGER now = {};
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - start_.QuadPart) / static_cast<double>(frequency_.QuadPart);
  }

 private:
  LARGE_INTEGER frequency_ = {};
  LARGE_INTEGER start_ = {};
};

bool CheckAccepts(HANDLE file, const std::wstring& path, const std::wstring& signer) {
  const auto facts = ReadSignatureFacts(file, path);
  return facts && AcceptsSignature(DecideSignature(*facts, signer));
}

// The stub's pass over the held installer, from the file's start.
bool HeldFileCrc32(HANDLE file, uint32_t* crc) {
  LARGE_INTEGER start = {};
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) return false;
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
  *crc = value;
  return ok;
}

bool WriteRecord(const wchar_t* path, double first, double second, double crcSeconds, uint32_t crc) {
  char text[160];
  const int length = std::snprintf(text, sizeof(text),
                                   "{\"first_s\": %.6f, \"second_s\": %.6f, \"crc_s\": %.6f, "
                                   "\"crc\": %lu}\n",
                                   first, second, crcSeconds, static_cast<unsigned long>(crc));
  if (length <= 0 || length >= static_cast<int>(sizeof(text))) return false;
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
  const size_t recordLength = std::wcslen(recordOption);
  if (arguments.count() < 4 || arguments.count() > 5 || std::wcsncmp(arguments[3], recordOption, recordLength) != 0) {
    return 2;
  }
  const bool crcFirst = arguments.count() == 5 && std::wcscmp(arguments[4], L"--crc-first") == 0;
  if (arguments.count() == 5 && !crcFirst) return 2;
  const std::wstring path = arguments[1];
  const std::wstring signer = arguments[2];

  // Held as the stub holds the downloaded installer: others may only read.
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 3;
  uint32_t crc = 0;
  double crcSeconds = 0;
  bool read = true;
  const auto passCrc = [&] {
    const Stopwatch watch;
    read = HeldFileCrc32(file, &crc);
    crcSeconds = watch.Seconds();
  };
  if (crcFirst) passCrc();
  const Stopwatch firstWatch;
  const bool firstAccepted = CheckAccepts(file, path, signer);
  const double first = firstWatch.Seconds();
  const Stopwatch secondWatch;
  const bool secondAccepted = CheckAccepts(file, path, signer);
  const double second = secondWatch.Seconds();
  if (!crcFirst) passCrc();
  CloseHandle(file);
  if (!read) return 3;
  if (!WriteRecord(arguments[3] + recordLength, first, second, crcSeconds, crc)) return 3;
  return firstAccepted && secondAccepted ? 0 : 1;
}
