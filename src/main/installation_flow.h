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
#include "progress/progress_window.h"
#include "trust/installer_file.h"
#include "trust/run_folder.h"

// The exit status of an installer whose outcome can't be read: none of the
// codes of a success or a cancellation, so it counts as a failure.
constexpr DWORD kOutcomeUnknown = 10;

// What a run that started the installer made: what its outcome acts on.
struct InstallerRun {
  DWORD exitCode = 0;          // the installer's, or kOutcomeUnknown
  std::wstring sessionId;      // passed to the installer after "-id"
  std::wstring version;        // the document's "version", passed after "-v"
  bool shortcut = false;       // the document's "shortcut"
  RunFolder folder;            // held until the outcome removes it
  std::wstring installerPath;  // the installer, in that folder
};

// Fetches and reads the configuration document; the error is that of the
// step that failed, its record written.
Result<ConfigDocument> FetchConfigDocument();

// Downloads and verifies the document's installer behind the window, starts
// it with the arguments (the stub's own command line) and waits for its end.
// The error is that of the step that ended the run, its record written; the
// run's folder is let go with it.
Result<InstallerRun> RunInstallationFlow(HINSTANCE instance, const ConfigDocument& document,
                                         const std::wstring& arguments, ProgressWindow& window);

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
