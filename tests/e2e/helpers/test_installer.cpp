// Stands in for the real installer in the end-to-end scenarios and the demo.
// It takes its orders from its own arguments, which reach it through the
// stub's arguments:
//   --record=PATH     write what it was started with (JSON, UTF-8) to PATH
//   --exit=N          end with exit code N (default 0)
//   --post=TEXT       post TEXT to the stub's mailslot before ending
//   --post-count=K    post it K times
//   --post-bytes=N    post one message of exactly N bytes instead
//   --sleep=MS        after posting, wait this long before ending
//   --window=MS       show a small window of its own for this long
//   --hold=MS         leave a program behind that holds this installer's file
//                     (its own image, and a handle with delete sharing) and
//                     its working folder for MS after the installer's end, as
//                     a scanner or an indexer would
// In that order: window, messages, record, holder, sleep, exit. The record
// holds the TEMP and TMP it was started with. Everything it waits
// for is bounded. The record also says whether it ran as a 32-bit program
// (bits, and wow64 on a 64-bit system), which program started it (parent), and
// whether that program still showed its progress window.
#include <windows.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const wchar_t kSlotName[] = L"\\\\.\\mailslot\\orlendt_pexmira";

std::string Utf8(const std::wstring& text) {
  if (text.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                       nullptr);
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], size, nullptr, nullptr);
  return out;
}

std::string JsonString(const std::wstring& text) {
  std::string out = "\"";
  for (unsigned char c : Utf8(text)) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

double UnixNow() {
  FILETIME now = {};
  GetSystemTimePreciseAsFileTime(&now);
  const ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return static_cast<double>(ticks - 116444736000000000ull) / 1e7;
}

bool Option(const std::wstring& arg, const wchar_t* name, std::wstring& value) {
  const std::wstring prefix = std::wstring(L"--") + name + L"=";
  if (arg.compare(0, prefix.size(), prefix) != 0) return false;
  value = arg.substr(prefix.size());
  return true;
}

std::wstring Variable(const wchar_t* name) {
  wchar_t value[32768] = {};
  const DWORD length = GetEnvironmentVariableW(name, value, 32768);
  return length < 32768 ? std::wstring(value, length) : std::wstring();
}

std::wstring OwnPath() {
  wchar_t self[MAX_PATH * 4] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
  return self;
}

// Starts a copy of this program as the holder, and returns once it holds.
void LeaveHolder(DWORD ms) {
  SECURITY_ATTRIBUTES inherited = {sizeof(inherited), nullptr, TRUE};
  HANDLE holding = CreateEventW(&inherited, TRUE, FALSE, nullptr);
  if (holding == nullptr) return;
  std::wstring commandLine = L"\"" + OwnPath() + L"\" --holder=" + std::to_wstring(ms) + L"," +
                             std::to_wstring(reinterpret_cast<uintptr_t>(holding));
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION created = {};
  if (CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &created)) {
    WaitForSingleObject(holding, 10000);
    CloseHandle(created.hThread);
    CloseHandle(created.hProcess);
  }
  CloseHandle(holding);
}

// The holder: keeps its own file open with delete sharing, as scanners do.
int Hold(const std::wstring& value) {
  const DWORD ms = static_cast<DWORD>(_wtoi(value.c_str()));
  const size_t comma = value.find(L',');
  HANDLE held = CreateFileW(OwnPath().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (comma != std::wstring::npos) {
    SetEvent(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(_wtoi64(value.c_str() + comma + 1))));
  }
  Sleep(ms > 30000 ? 30000 : ms);
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  return 0;
}

struct Facts {
  double started = 0;
  bool progressWindow = false;
  std::wstring parent;  // the file name of the program that started this one
  std::vector<std::wstring> args;
  int posted = 0;
};

void Record(const std::wstring& path, const Facts& facts) {
  wchar_t self[MAX_PATH * 4] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH * 4);
  wchar_t folder[MAX_PATH * 4] = {};
  GetCurrentDirectoryW(MAX_PATH * 4, folder);
  BOOL wow64 = FALSE;
  IsWow64Process(GetCurrentProcess(), &wow64);
  std::string json = "{\"start\": " + std::to_string(facts.started) + ", \"path\": " + JsonString(self) +
                     ", \"working_directory\": " + JsonString(folder) +
                     ", \"bits\": " + std::to_string(sizeof(void*) * 8) + ", \"wow64\": " + (wow64 ? "true" : "false") +
                     ", \"progress_window\": " + (facts.progressWindow ? "true" : "false") +
                     ", \"parent\": " + JsonString(facts.parent) + ", \"posted\": " + std::to_string(facts.posted) +
                     ", \"temp\": " + JsonString(Variable(L"TEMP")) + ", \"tmp\": " + JsonString(Variable(L"TMP")) +
                     ", \"command_line\": " + JsonString(GetCommandLineW()) + ", \"args\": [";
  for (size_t i = 0; i < facts.args.size(); ++i) json += (i ? ", " : "") + JsonString(facts.args[i]);
  json += "]}\n";
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, json.data(), static_cast<DWORD>(json.size()), &written, nullptr);
  CloseHandle(file);
}

// True when the slot took the whole message.
bool Post(const std::string& message) {
  HANDLE slot = CreateFileW(kSlotName, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (slot == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(slot, message.data(), static_cast<DWORD>(message.size()), &written, nullptr);
  CloseHandle(slot);
  return ok && written == message.size();
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_TIMER) {
    DestroyWindow(window);
    return 0;
  }
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

void ShowWindowFor(DWORD ms) {
  WNDCLASSW windowClass = {};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = GetModuleHandleW(nullptr);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = L"TessaloomDemoInstaller";
  RegisterClassW(&windowClass);
  HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"Tessaloom Installer (demo)",
                                WS_OVERLAPPED | WS_CAPTION | WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT, 420, 140,
                                nullptr, nullptr, windowClass.hInstance, nullptr);
  if (window == nullptr) return;
  CreateWindowExW(0, L"STATIC", L"Installing Tessaloom... (a stand-in for the real installer)", WS_CHILD | WS_VISIBLE,
                  16, 30, 380, 40, window, nullptr, windowClass.hInstance, nullptr);
  SetTimer(window, 1, ms, nullptr);
  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

// The process that started this one (the stub): its id (0 when it can't be
// told) and its program's file name.
struct Parent {
  DWORD id = 0;
  std::wstring program;
};

Parent FindParent() {
  Parent parent;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return parent;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more && parent.id == 0; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == GetCurrentProcessId()) parent.id = entry.th32ParentProcessID;
  }
  for (BOOL more = Process32FirstW(snapshot, &entry); more && parent.id != 0; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ProcessID == parent.id) {
      parent.program = entry.szExeFile;
      break;
    }
  }
  CloseHandle(snapshot);
  return parent;
}

// Whether the stub that started this installer still shows its progress
// window; a window of the same title that another program shows is not it.
// Without a known parent any such window counts, so that the check can fail.
bool ParentShowsWindow(const Parent& parent, const wchar_t* title) {
  if (parent.id == 0) return FindWindowW(nullptr, title) != nullptr;
  HWND window = nullptr;
  while ((window = FindWindowExW(nullptr, window, nullptr, title)) != nullptr) {
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == parent.id) return true;
  }
  return false;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  Facts facts;
  facts.started = UnixNow();
  // The stub's progress window must be gone by the time the installer runs.
  const Parent parent = FindParent();
  facts.parent = parent.program;
  facts.progressWindow = ParentShowsWindow(parent, L"Downloading QMX Installer...");
  int count = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
  for (int i = 1; argv != nullptr && i < count; ++i) facts.args.push_back(argv[i]);
  LocalFree(argv);

  std::wstring value, record, post;
  if (!facts.args.empty() && Option(facts.args[0], L"holder", value)) return Hold(value);
  int exitCode = 0, postCount = 1, postBytes = -1;
  DWORD sleepMs = 0, windowMs = 0, holdMs = 0;
  for (const std::wstring& arg : facts.args) {
    if (Option(arg, L"record", value)) record = value;
    if (Option(arg, L"exit", value)) exitCode = _wtoi(value.c_str());
    if (Option(arg, L"post", value)) post = value;
    if (Option(arg, L"post-count", value)) postCount = _wtoi(value.c_str());
    if (Option(arg, L"post-bytes", value)) postBytes = _wtoi(value.c_str());
    if (Option(arg, L"sleep", value)) sleepMs = static_cast<DWORD>(_wtoi(value.c_str()));
    if (Option(arg, L"window", value)) windowMs = static_cast<DWORD>(_wtoi(value.c_str()));
    if (Option(arg, L"hold", value)) holdMs = static_cast<DWORD>(_wtoi(value.c_str()));
  }
  const DWORD kLongest = 60000;
  if (windowMs > 0) ShowWindowFor(windowMs > kLongest ? kLongest : windowMs);
  if (postBytes >= 0) {
    if (Post(std::string(static_cast<size_t>(postBytes), 'x'))) ++facts.posted;
  } else if (!post.empty()) {
    for (int i = 0; i < postCount && i < 100; ++i) {
      if (Post(Utf8(post))) ++facts.posted;
    }
  }
  if (!record.empty()) Record(record, facts);
  if (holdMs > 0) LeaveHolder(holdMs);
  if (sleepMs > 0) Sleep(sleepMs > kLongest ? kLongest : sleepMs);
  return exitCode;
}
