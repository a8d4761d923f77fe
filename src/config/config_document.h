// The configuration document: where to download the installer, its CRC-32,
// its version and whether a cancelled installation leaves a way back.
// Parsing and the member reads need no Windows header.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include <jsoncons/json.hpp>

using ConfigDocument = jsoncons::wjson;

// A parse or read that failed, with the library's description.
struct ConfigError {
  std::string description;
};

// Parses the text strictly (comments are tolerated; one value followed only by
// white space). On failure the document is left as it was.
std::optional<ConfigError> ParseConfigDocument(const std::wstring& text, ConfigDocument& document) noexcept;

// Each member is read, by its exact name, at the step that needs it. A root
// that is not an object, a missing member or a value that can't be converted
// is reported, never thrown.
std::optional<ConfigError> ReadShortcutFlag(const ConfigDocument& document, bool& shortcut) noexcept;
std::optional<ConfigError> ReadWrapperUrl(const ConfigDocument& document, std::wstring& url) noexcept;
std::optional<ConfigError> ReadChecksum(const ConfigDocument& document, uint64_t& checksum) noexcept;
std::optional<ConfigError> ReadVersion(const ConfigDocument& document, std::wstring& version) noexcept;

// The optional "sha256": 64 hexadecimal digits, any case. Absent: no value and
// no error; present but malformed: an error.
std::optional<ConfigError> ReadSha256(const ConfigDocument& document,
                                      std::optional<std::array<uint8_t, 32>>& sha256) noexcept;

// Everything the stub takes from a document, read in one go.
struct ConfigValues {
  bool shortcut = false;
  std::wstring wrapper;
  uint64_t checksum = 0;
  std::wstring version;
  std::optional<std::array<uint8_t, 32>> sha256;
};
std::optional<ConfigError> InterpretConfigDocument(const std::wstring& text, ConfigValues& values) noexcept;
