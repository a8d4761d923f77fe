#include "log/log_setup.h"

#include <windows.h>

#include <cstdint>
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

namespace {

// Characters beyond ASCII that end a line or reorder text in a viewer (the
// line and paragraph separators, NEL, the bidirectional marks, embeddings,
// overrides and isolates): a value holding one could make its record look
// like two, or show its text in another order. Returns the length of such a
// character's UTF-8 form at text[at], or 0.
size_t LineOrDirectionControlAt(const std::string& text, size_t at, uint32_t& codePoint) {
  const auto byte = [&](size_t i) { return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u; };
  if (byte(0) == 0xC2 && byte(1) == 0x85) {
    codePoint = 0x85;  // NEL
    return 2;
  }
  if (byte(0) == 0xD8 && byte(1) == 0x9C) {
    codePoint = 0x61C;  // ARABIC LETTER MARK
    return 2;
  }
  if (byte(0) != 0xE2 || (byte(1) != 0x80 && byte(1) != 0x81) || (byte(2) & 0xC0) != 0x80) return 0;
  codePoint = 0x2000 | ((byte(1) & 0x3Fu) << 6) | (byte(2) & 0x3Fu);
  const bool control = codePoint == 0x200E || codePoint == 0x200F || (codePoint >= 0x2028 && codePoint <= 0x202E) ||
                       (codePoint >= 0x2066 && codePoint <= 0x2069);
  return control ? 3 : 0;
}

}  // namespace

std::string LogText(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string escaped;
  escaped.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    uint32_t codePoint = 0;
    if (const size_t length = LineOrDirectionControlAt(text, i, codePoint)) {
      escaped += "\\u";
      for (int shift = 12; shift >= 0; shift -= 4) escaped += kHex[(codePoint >> shift) & 0xF];
      i += length - 1;
      continue;
    }
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
