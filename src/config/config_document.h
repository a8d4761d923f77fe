// The configuration document: where to download the installer, its CRC-32,
// its version and whether a cancelled installation leaves a way back.
// Parsing and the member reads need no Windows header.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include <jsoncons/json.hpp>

#include "common/result.h"

using ConfigDocument = jsoncons::wjson;
using Sha256Digest = std::array<uint8_t, 32>;

// Parses the text strictly (comments are tolerated; one value followed only by
// white space). A failure carries error code 3 and the library's description.
Result<ConfigDocument> ParseConfigDocument(const std::wstring& text) noexcept;

// Each member is read, by its exact name, at the step that needs it. A root
// that is not an object, a missing member or a value that can't be converted
// is reported as error code 3 with the library's description, never thrown.
Result<bool> ReadShortcutFlag(const ConfigDocument& document) noexcept;
// "wrapper" must be an https or http address: the installer is fetched from a
// web server, never from a file, a share or another protocol.
Result<std::wstring> ReadWrapperUrl(const ConfigDocument& document) noexcept;
bool IsWebAddress(const std::wstring& url);
Result<uint64_t> ReadChecksum(const ConfigDocument& document) noexcept;
Result<std::wstring> ReadVersion(const ConfigDocument& document) noexcept;

// "sha256": 64 hexadecimal digits, any case. Absent: no value and no error,
// unless it is required (a build with STUB_RELEASE), then an error; present but
// malformed: an error.
Result<std::optional<Sha256Digest>> ReadSha256(const ConfigDocument& document, bool required = false) noexcept;

// The optional "size": the installer's length in bytes, which no transfer of
// it may go past. Absent: no value and no error; zero, negative or not a
// number: an error.
Result<std::optional<uint64_t>> ReadSize(const ConfigDocument& document) noexcept;
