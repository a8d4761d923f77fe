// The stub's own version, as its version resource gives it, for the log: a
// user's mailed log then says which stub wrote it.
#pragma once

#include <windows.h>

#include <cstddef>
#include <optional>
#include <string>

// The file version ("1.0.0.7") of a version resource's data (VS_VERSIONINFO
// with its fixed file information); none where the data is not one.
std::optional<std::string> FileVersionOf(const void* data, size_t size);

// The file version of the module's version resource; none where it has none.
std::optional<std::string> ModuleFileVersion(HMODULE module);
