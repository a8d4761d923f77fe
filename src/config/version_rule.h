// Whether the document's "version" can travel to the installer between double
// quotes on its command line. Needs no Windows header: tessaloom-publish
// applies the same rule before a document is published.
#pragma once

#include <optional>
#include <string>

// Why a version can't be put between double quotes on a command line (a
// double quote, a trailing backslash or a control character would change how
// the installer splits it); none when it can.
std::optional<std::string> VersionUnfitForCommandLine(const std::wstring& version);
