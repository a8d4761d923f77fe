// The installer of the benchmarks: it writes the moment it started, in Unix
// seconds, to the file named by its --record=PATH argument and exits 0. With
// --hold=MS it waits that long before exiting, so that the benchmark can look
// at the stub while it waits for the installer.
//
// It imports nothing beyond kernel32 and the C runtime, so that the time
// stamp is taken as soon after process creation as possible. The benchmark
// serves this program followed by filler bytes to reach each installer size;
// the appended data does not keep it from running.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <string_view>

namespace {

// FILETIME counts 100-nanosecond intervals since 1601-01-01.
constexpr unsigned long long kUnixEpochAsFileTime = 116444736000000000ull;
constexpr unsigned long long kTicksPerSecond = 10000000ull;

unsigned long long PreciseFileTimeNow() {
  FILETIME now = {};
  GetSystemTimePreciseAsFileTime(&now);
  return (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// The value of an option such as --record= on the command line: up to the
// closing quote when the argument was quoted, otherwise up to the next blank.
std::wstring_view OptionValue(const wchar_t* commandLine, std::wstring_view option) {
  const wchar_t* start = std::wcsstr(commandLine, std::wstring(option).c_str());
  if (start == nullptr) return {};
  const bool quoted = start > commandLine && start[-1] == L'"';
  start += option.size();
  const wchar_t* end = start;
  while (*end != L'\0' && (quoted ? *end != L'"' : (*end != L' ' && *end != L'\t'))) ++end;
  return std::wstring_view(start, static_cast<size_t>(end - start));
}

bool WriteRecord(std::wstring_view path, unsigned long long fileTime) {
  const std::wstring name(path);
  const unsigned long long sinceEpoch = fileTime - kUnixEpochAsFileTime;
  char text[64];
  const int length = std::snprintf(text, sizeof(text), "%llu.%07llu\n", sinceEpoch / kTicksPerSecond,
                                   sinceEpoch % kTicksPerSecond);
  if (length <= 0) return false;
  const HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const bool ok = WriteFile(file, text, static_cast<DWORD>(length), &written, nullptr) &&
                  written == static_cast<DWORD>(length);
  CloseHandle(file);
  return ok;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const unsigned long long started = PreciseFileTimeNow();
  const wchar_t* commandLine = GetCommandLineW();
  const std::wstring_view path = OptionValue(commandLine, L"--record=");
  if (path.empty() || !WriteRecord(path, started)) return 1;
  const std::wstring hold(OptionValue(commandLine, L"--hold="));
  if (!hold.empty()) Sleep(static_cast<DWORD>(std::wcstoul(hold.c_str(), nullptr, 10)));
  return 0;
}
