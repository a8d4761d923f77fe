#include "config/config_document.h"

#include <exception>
#include <new>

namespace {

template <typename Read>
std::optional<ConfigError> Guarded(Read read) noexcept {
  try {
    read();
    return std::nullopt;
  } catch (const std::exception& error) {
    return ConfigError{error.what()};
  } catch (...) {
    return ConfigError{"unknown error"};
  }
}

const ConfigDocument& Member(const ConfigDocument& document, const wchar_t* name) {
  return document.at(name);
}

}  // namespace

std::optional<ConfigError> ParseConfigDocument(const std::wstring& text, ConfigDocument& document) noexcept {
  return Guarded([&] { document = ConfigDocument::parse(text); });
}

std::optional<ConfigError> ReadShortcutFlag(const ConfigDocument& document, bool& shortcut) noexcept {
  return Guarded([&] { shortcut = Member(document, L"shortcut").as<bool>(); });
}

std::optional<ConfigError> ReadWrapperUrl(const ConfigDocument& document, std::wstring& url) noexcept {
  return Guarded([&] { url = Member(document, L"wrapper").as<std::wstring>(); });
}

std::optional<ConfigError> ReadChecksum(const ConfigDocument& document, uint64_t& checksum) noexcept {
  return Guarded([&] { checksum = Member(document, L"checksum").as<uint64_t>(); });
}

std::optional<ConfigError> ReadVersion(const ConfigDocument& document, std::wstring& version) noexcept {
  return Guarded([&] { version = Member(document, L"version").as<std::wstring>(); });
}

std::optional<ConfigError> InterpretConfigDocument(const std::wstring& text, ConfigValues& values) noexcept {
  ConfigDocument document;
  if (auto error = ParseConfigDocument(text, document)) return error;
  if (auto error = ReadShortcutFlag(document, values.shortcut)) return error;
  if (auto error = ReadWrapperUrl(document, values.wrapper)) return error;
  if (auto error = ReadChecksum(document, values.checksum)) return error;
  return ReadVersion(document, values.version);
}
