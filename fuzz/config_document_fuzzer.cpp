// The configuration document reader over arbitrary text: the whole
// interpretation in one go, and each member read on its own, so that every
// conversion is reached even when an earlier member is broken.
#include <cstddef>
#include <cstdint>
#include <string>

#include "config/config_document.h"
#include "fuzz_input.h"
#include "support/config_values.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::wstring text = fuzz::WideFromBytes(data, size);

  const auto interpreted = InterpretConfigDocument(text);
  FUZZ_CHECK(interpreted || !interpreted.error().text.empty());

  const auto document = ParseConfigDocument(text);
  if (!document) {
    FUZZ_CHECK(!interpreted);
    FUZZ_CHECK(!document.error().text.empty());
    FUZZ_CHECK(document.error().code == ErrorCode::kConfigInvalid);
    return 0;
  }
  const auto shortcut = ReadShortcutFlag(*document);
  const auto url = ReadWrapperUrl(*document);
  const auto checksum = ReadChecksum(*document);
  const auto sha256 = ReadSha256(*document);
  const auto version = ReadVersion(*document);
  const bool allRead = shortcut && url && checksum && sha256 && version;
  // The one-go reading succeeds exactly when every single read does, and
  // hands out the same values.
  FUZZ_CHECK(allRead == interpreted.ok());
  if (allRead) {
    FUZZ_CHECK(*shortcut == interpreted->shortcut && *url == interpreted->wrapper &&
               *checksum == interpreted->checksum && *version == interpreted->version &&
               *sha256 == interpreted->sha256);
  }
  return 0;
}
