// The stub's own version, as its version resource gives it, for the log: a
// user's mailed log then says which stub wrote it.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

// The file version ("1.0.0.7") of a version resource's data (VS_VERSIONINFO
// with its fixed file information); empty where the data is not one.
std::string FileVersionOf(const void* data, size_t size);

// The file version of the module's version resource; empty where it has none.
std::string ModuleFileVersion(HMODULE module);
