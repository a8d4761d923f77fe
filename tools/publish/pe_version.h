// The version an installer carries in its version resource, read from the
// Windows program's file (no Windows needed).
#pragma once

#include <optional>
#include <string>

// The "ProductVersion" string of the first string table, else the fixed
// product version as "a.b.c.d"; none when the file is no Windows program or
// has no version resource.
std::optional<std::wstring> ReadProductVersion(const std::string& fileBytes);
