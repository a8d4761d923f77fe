// The middle of a run: from the configuration document to the installer's
// exit code.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/result.h"
#include "config/config_document.h"
#include "config/version_rule.h"  // VersionUnfitForCommandLine
#include "main/stub_run.h"
#include "progress/progress_window.h"
#include "trust/installer_file.h"

// The exit status of an installer whose outcome can't be read: none of the
// codes of a success or a cancellation, so it counts as a failure.
constexpr DWORD kOutcomeUnknown = 10;

// Runs the flow; on success the run's exit status holds the installer's exit
// code. The error is that of the step that ended the run, its record written.
Status RunInstallationFlow(StubRun& run, ProgressWindow& window);

// The installer's environment: the given one ("NAME=value" entries) with
// TEMP and TMP pointing at tempFolder in place of any in any letter case, at
// the places a block sorted by name would have them.
std::vector<std::wstring> InstallerEnvironment(const std::vector<std::wstring>& current,
                                               const std::wstring& tempFolder);

// The installer's parameters: "-id <session> -v "<version>" <arguments>".
std::wstring FormatInstallerParameters(const std::wstring& sessionId, const std::wstring& version,
                                       const std::wstring& arguments);

// A fresh session identifier: 36 lower-case characters, 8-4-4-4-12.
std::wstring MakeSessionId();

// The file matches the document: the low 32 bits of "checksum" are its CRC-32
// and, where the document has one, "sha256" is its SHA-256.
bool DigestsMatch(uint64_t checksum, const std::optional<Sha256Digest>& sha256, const InstallerDigest& digest);
