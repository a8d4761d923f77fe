// The configuration document reader over arbitrary text: the whole
// interpretation in one go, and each member read on its own, so that every
// conversion is reached even when an earlier member is broken.
#include <cstddef>
#include <cstdint>
#include <string>

#include "config/config_document.h"
#include "fuzz_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring text = fuzz::WideFromBytes(data, size);

  ConfigValues values;
  const auto interpreted = InterpretConfigDocument(text, values);
  FUZZ_CHECK(!interpreted || !interpreted->description.empty());

  ConfigDocument document;
  const auto parsed = ParseConfigDocument(text, document);
  if (parsed) {
    FUZZ_CHECK(interpreted.has_value());
    FUZZ_CHECK(!parsed->description.empty());
    return 0;
  }
  bool shortcut = false;
  std::wstring url;
  uint64_t checksum = 0;
  std::wstring version;
  std::optional<std::array<uint8_t, 32>> sha256;
  const bool allRead = !ReadShortcutFlag(document, shortcut) && !ReadWrapperUrl(document, url) &&
                       !ReadChecksum(document, checksum) && !ReadSha256(document, sha256) &&
                       !ReadVersion(document, version);
  // The one-go reading succeeds exactly when every single read does, and
  // hands out the same values.
  FUZZ_CHECK(allRead == !interpreted);
  if (allRead) {
    FUZZ_CHECK(shortcut == values.shortcut && url == values.wrapper && checksum == values.checksum &&
               version == values.version && sha256 == values.sha256);
  }
  return 0;
}
