#include "log/log_setup.h"

#include <windows.h>
#include <mutex>

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

// Appends each record through the log file's handle. The download watchdog
// writes from a thread of its own, so writes are serialised here.
class FileRecordWriter : public el::LogDispatchCallback {
 public:
  void Attach(UniqueFile file) {
    const std::lock_guard<std::mutex> lock(mutex_);
    file_ = std::move(file);
  }

 protected:
  void handle(const el::LogDispatchData* data) override {
    if (data->dispatchAction() != el::base::DispatchAction::NormalLog) return;
    const el::LogMessage* message = data->logMessage();
    const std::string record = message->logger()->logBuilder()->build(message, true);
    std::string line;
    line.reserve(record.size() + 1);
    for (const char c : record) {
      if (c == '\n') line += '\r';
      line += c;
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!file_) return;
    DWORD written = 0;
    // A record that can't be written is lost; the run is not affected.
    static_cast<void>(WriteFile(file_.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr));
  }

 private:
  std::mutex mutex_;
  UniqueFile file_;
};

const char kFileWriterId[] = "stub-log-file";

}  // namespace

void ConfigureLog(UniqueFile file) {
  if (!el::Helpers::hasCustomFormatSpecifier(kLevelSpecifier)) {
    el::Helpers::installCustomFormatSpecifier(el::CustomFormatSpecifier(kLevelSpecifier, LevelColumn));
  }
  el::Helpers::installLogDispatchCallback<FileRecordWriter>(kFileWriterId);
  el::Helpers::logDispatchCallback<FileRecordWriter>(kFileWriterId)->Attach(std::move(file));
  el::Configurations config;
  config.setToDefault();
  config.set(el::Level::Global, el::ConfigurationType::Format, std::string("%datetime ") + kLevelSpecifier + " %msg");
  config.set(el::Level::Global, el::ConfigurationType::ToStandardOutput, "true");
  // The library's own file output opens files by name; the writer above
  // takes its place.
  config.set(el::Level::Global, el::ConfigurationType::ToFile, "false");
  el::Loggers::reconfigureLogger("default", config);
}

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
