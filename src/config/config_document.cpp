#include "config/config_document.h"

#include <exception>
#include <stdexcept>
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

// A fractional checksum is truncated, and a negative one is taken in its
// two's complement, as a negative integer is. A number beyond the 64-bit range
// (an infinity from a huge exponent included) has no such reading, and the
// library's plain cast of it would be undefined, so it is refused.
uint64_t ChecksumFromDouble(double value) {
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (!(value >= -kTwoTo63 && value < 2 * kTwoTo63)) {
    throw std::out_of_range("\"checksum\" is out of range");
  }
  return value < 0 ? static_cast<uint64_t>(static_cast<int64_t>(value)) : static_cast<uint64_t>(value);
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
  return Guarded([&] {
    const ConfigDocument& value = Member(document, L"checksum");
    checksum = value.is_double() ? ChecksumFromDouble(value.as<double>()) : value.as<uint64_t>();
  });
}

std::optional<ConfigError> ReadVersion(const ConfigDocument& document, std::wstring& version) noexcept {
  return Guarded([&] { version = Member(document, L"version").as<std::wstring>(); });
}

std::optional<ConfigError> ReadSha256(const ConfigDocument& document,
                                      std::optional<std::array<uint8_t, 32>>& sha256) noexcept {
  return Guarded([&] {
    sha256.reset();
    if (!document.is_object() || !document.contains(L"sha256")) return;
    const ConfigDocument& value = document.at(L"sha256");
    const auto digits = value.is_string() ? value.as<std::wstring>() : std::wstring();
    std::array<uint8_t, 32> bytes = {};
    bool valid = digits.size() == 64;
    for (size_t i = 0; valid && i < digits.size(); ++i) {
      const wchar_t c = digits[i];
      int nibble = -1;
      if (c >= L'0' && c <= L'9') nibble = c - L'0';
      else if (c >= L'a' && c <= L'f') nibble = c - L'a' + 10;
      else if (c >= L'A' && c <= L'F') nibble = c - L'A' + 10;
      valid = nibble >= 0;
      if (valid) bytes[i / 2] = static_cast<uint8_t>(bytes[i / 2] << 4 | nibble);
    }
    if (!valid) throw std::invalid_argument("\"sha256\" must be 64 hexadecimal digits");
    sha256 = bytes;
  });
}

std::optional<ConfigError> InterpretConfigDocument(const std::wstring& text, ConfigValues& values) noexcept {
  ConfigDocument document;
  if (auto error = ParseConfigDocument(text, document)) return error;
  if (auto error = ReadShortcutFlag(document, values.shortcut)) return error;
  if (auto error = ReadWrapperUrl(document, values.wrapper)) return error;
  if (auto error = ReadChecksum(document, values.checksum)) return error;
  if (auto error = ReadSha256(document, values.sha256)) return error;
  return ReadVersion(document, values.version);
}
