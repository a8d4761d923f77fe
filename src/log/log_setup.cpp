#include "log/log_setup.h"

#include <windows.h>
#include <shlobj.h>

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

}  // namespace

std::string LogFilePath() {
  char folder[MAX_PATH + 1] = {};
  if (FAILED(SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder)) ||
      folder[0] == '\0') {
    return std::string();
  }
  return std::string(folder) + "\\Pexmira\\QMXT.log";
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

std::string Quoted(const std::wstring& text) { return "\"" + Utf8(text) + "\""; }
