#include "config/config_document.h"

#include <exception>
#include <initializer_list>
#include <new>
#include <stdexcept>

#include "common/text.h"

namespace {

// The library reports by exceptions; they end here, as the document's error.
template <typename Read>
auto Guarded(Read read) noexcept -> Result<decltype(read())> {
  try {
    return read();
  } catch (const std::exception& error) {
    return MakeError(ErrorCode::kConfigInvalid, 0, error.what());
  } catch (...) {
    return MakeError(ErrorCode::kConfigInvalid, 0, "unknown error");
  }
}

const ConfigDocument& Member(const ConfigDocument& document, const wchar_t* name) { return document.at(name); }

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

std::string Utf8ForRecord(const std::wstring& text) {
  std::string out;
  jsoncons::unicode_traits::convert(text.data(), text.size(), out, jsoncons::unicode_traits::conv_flags::lenient);
  return out;
}

}  // namespace

bool IsWebAddress(const std::wstring& url) {
  for (const wchar_t* scheme : {L"https://", L"http://"}) {
    if (!StartsWithIgnoringCase(url, scheme)) continue;
    // A host must follow: "http:///x" and "http://\\share" name none.
    const size_t host = std::char_traits<wchar_t>::length(scheme);
    return host < url.size() && url[host] != L'/' && url[host] != L'\\';
  }
  return false;
}

Result<ConfigDocument> ParseConfigDocument(const std::wstring& text) noexcept {
  return Guarded([&] { return ConfigDocument::parse(text); });
}

Result<bool> ReadShortcutFlag(const ConfigDocument& document) noexcept {
  return Guarded([&] { return Member(document, L"shortcut").as<bool>(); });
}

Result<std::wstring> ReadWrapperUrl(const ConfigDocument& document) noexcept {
  return Guarded([&] {
    std::wstring url = Member(document, L"wrapper").as<std::wstring>();
    if (!IsWebAddress(url)) {
      throw std::invalid_argument("\"wrapper\" is not an https or http address: \"" + Utf8ForRecord(url) + "\"");
    }
    return url;
  });
}

Result<uint64_t> ReadChecksum(const ConfigDocument& document) noexcept {
  return Guarded([&] {
    const ConfigDocument& value = Member(document, L"checksum");
    return value.is_double() ? ChecksumFromDouble(value.as<double>()) : value.as<uint64_t>();
  });
}

Result<std::wstring> ReadVersion(const ConfigDocument& document) noexcept {
  return Guarded([&] { return Member(document, L"version").as<std::wstring>(); });
}

Result<std::optional<Sha256Digest>> ReadSha256(const ConfigDocument& document, bool required) noexcept {
  return Guarded([&]() -> std::optional<Sha256Digest> {
    if (!document.is_object() || !document.contains(L"sha256")) {
      if (required)
        throw std::invalid_argument("\"sha256\" is missing: this stub runs no installer without its SHA-256");
      return std::nullopt;
    }
    const ConfigDocument& value = document.at(L"sha256");
    const auto digits = value.is_string() ? value.as<std::wstring>() : std::wstring();
    Sha256Digest bytes = {};
    bool valid = digits.size() == 64;
    for (size_t i = 0; valid && i < digits.size(); ++i) {
      const int nibble = HexDigitValue(digits[i]);
      valid = nibble >= 0;
      if (valid) bytes[i / 2] = static_cast<uint8_t>(bytes[i / 2] << 4 | nibble);
    }
    if (!valid) throw std::invalid_argument("\"sha256\" must be 64 hexadecimal digits");
    return bytes;
  });
}

Result<std::optional<uint64_t>> ReadSize(const ConfigDocument& document) noexcept {
  return Guarded([&]() -> std::optional<uint64_t> {
    if (!document.is_object() || !document.contains(L"size")) return std::nullopt;
    const ConfigDocument& value = document.at(L"size");
    // as<uint64_t> would wrap a negative number into a huge one.
    if ((value.is_int64() && value.as<int64_t>() < 0) || (value.is_double() && value.as<double>() < 0)) {
      throw std::invalid_argument("\"size\" must be a positive number of bytes");
    }
    const uint64_t size = value.as<uint64_t>();
    if (size == 0) throw std::invalid_argument("\"size\" must be a positive number of bytes");
    return size;
  });
}
