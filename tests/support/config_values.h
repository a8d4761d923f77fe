// Everything the stub takes from a configuration document, read in one go, for
// the tests and the fuzz target that compare the member reads as a whole.
#pragma once

#include <optional>
#include <string>

#include "config/config_document.h"

struct ConfigValues {
  bool shortcut = false;
  std::wstring wrapper;
  uint64_t checksum = 0;
  std::wstring version;
  std::optional<Sha256Digest> sha256;
};

// The values, or the first failure in the stub's order of reads.
inline Result<ConfigValues> InterpretConfigDocument(const std::wstring& text) {
  auto document = ParseConfigDocument(text);
  if (!document) return document.error();
  ConfigValues values;
  auto shortcut = ReadShortcutFlag(*document);
  if (!shortcut) return shortcut.error();
  values.shortcut = *shortcut;
  auto wrapper = ReadWrapperUrl(*document);
  if (!wrapper) return wrapper.error();
  values.wrapper = *wrapper;
  auto checksum = ReadChecksum(*document);
  if (!checksum) return checksum.error();
  values.checksum = *checksum;
  auto sha256 = ReadSha256(*document);
  if (!sha256) return sha256.error();
  values.sha256 = *sha256;
  auto version = ReadVersion(*document);
  if (!version) return version.error();
  values.version = *version;
  return values;
}
