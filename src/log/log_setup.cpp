#include "log/log_setup.h"

#include <windows.h>
#include <shlobj.h>

#include "common/unique_handle.h"

INITIALIZE_EASYLOGGINGPP

namespace {

// The level column has a fixed width of five characters, so the messages line
// up: "INFO ", "WARN ", "ERROR".
std::string LevelColumn(const el::LogMessage* message) {
  switch (message->level()) {
    case el::Level::Info: return "INFO ";
    case el::Level::Warning: return "WARN ";
    case el::Level::Error: return "ERROR";
    case el::Level::Debug: return "DEBUG";
    case el::Level::Fatal: return "FATAL";
    case el::Level::Verbose: return "VER";
    case el::Level::Trace: return "TRACE";
    default: return "";
  }
}

const char kLevelSpecifier[] = "%stublevel";

// The path in the ANSI code page, which the logging library opens files in;
// empty when a character has no place in it.
std::string InAnsiCodePage(const std::wstring& path) {
  BOOL lossy = FALSE;
  const int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.c_str(), -1, nullptr, 0, nullptr, &lossy);
  if (size <= 1 || lossy) return std::string();
  std::string narrow(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, path.c_str(), -1, &narrow[0], size, nullptr, &lossy);
  narrow.resize(static_cast<size_t>(size) - 1);
  return lossy ? std::string() : narrow;
}

std::wstring ShortPath(const std::wstring& path) {
  const DWORD size = GetShortPathNameW(path.c_str(), nullptr, 0);
  if (size == 0) return std::wstring();
  std::wstring shortPath(size, L'\0');
  const DWORD length = GetShortPathNameW(path.c_str(), &shortPath[0], size);
  if (length == 0 || length >= size) return std::wstring();
  shortPath.resize(length);
  return shortPath;
}

}  // namespace

std::string LogFilePathFor(const std::wstring& folder) {
  if (folder.empty()) return std::string();
  const std::wstring directory = folder + L"\\Pexmira";
  const std::wstring file = directory + L"\\QMXT.log";
  std::string path = InAnsiCodePage(file);
  if (!path.empty()) return path;
  // A folder name beyond the code page (a Cyrillic user name on a Western
  // system, say) is reached through its short name, which has none of those
  // characters. The short name exists only once the file does.
  CreateDirectoryW(directory.c_str(), nullptr);
  UniqueFile created(CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  return created ? InAnsiCodePage(ShortPath(file)) : std::string();
}

std::string LogFilePath() {
  wchar_t folder[MAX_PATH + 1] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) return std::string();
  return LogFilePathFor(folder);
}

void ConfigureLogFile(const std::string& path) {
  if (!el::Helpers::hasCustomFormatSpecifier(kLevelSpecifier)) {
    el::Helpers::installCustomFormatSpecifier(
        el::CustomFormatSpecifier(kLevelSpecifier, LevelColumn));
  }
  el::Configurations config;
  config.setToDefault();
  config.set(el::Level::Global, el::ConfigurationType::Format,
             std::string("%datetime ") + kLevelSpecifier + " %msg");
  config.set(el::Level::Global, el::ConfigurationType::ToStandardOutput, "true");
  if (path.empty()) {
    config.set(el::Level::Global, el::ConfigurationType::ToFile, "false");
  } else {
    config.set(el::Level::Global, el::ConfigurationType::Filename, path);
  }
  el::Loggers::reconfigureLogger("default", config);
}

void ConfigureLog() { ConfigureLogFile(LogFilePath()); }

std::string Utf8(const wchar_t* text) {
  if (text == nullptr) return "nullptr";
  const int length = static_cast<int>(wcslen(text));
  if (length == 0) return std::string();
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string result(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, &result[0], size, nullptr, nullptr);
  return result;
}

std::string Utf8(const std::wstring& text) { return Utf8(text.c_str()); }

std::string LogText(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\r': escaped += "\\r"; break;
      case '\n': escaped += "\\n"; break;
      case '\t': escaped += "\\t"; break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          escaped += "\\x";
          escaped += kHex[byte >> 4];
          escaped += kHex[byte & 0xF];
        } else {
          escaped += c;
        }
    }
  }
  return escaped;
}

std::string LogText(const std::wstring& text) { return LogText(Utf8(text)); }

std::string Quoted(const std::wstring& text) { return "\"" + LogText(text) + "\""; }
