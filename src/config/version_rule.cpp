#include "config/version_rule.h"

std::optional<std::string> VersionUnfitForCommandLine(const std::wstring& version) {
  for (const wchar_t c : version) {
    if (c == L'"') return "it contains a double quote";
    if (c < 0x20 || c == 0x7F) return "it contains a control character";
  }
  if (!version.empty() && version.back() == L'\\') return "it ends with a backslash";
  return std::nullopt;
}
