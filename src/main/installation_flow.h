// The middle of a run: from the configuration document to the installer's
// exit code.
#pragma once

#include <optional>
#include <string>

#include "main/fatal_error.h"
#include "main/stub_run.h"

// Runs the flow; on success the run's exit status holds the installer's exit
// code. Returns the error code of the step that ended the run.
std::optional<ErrorCode> RunInstallationFlow(StubRun& run);

// The installer's address with the cache-busting "rn" parameter.
std::wstring AppendCacheBuster(const std::wstring& url, int number);

// The installer's parameters: "-id <session> -v "<version>" <arguments>".
std::wstring FormatInstallerParameters(const std::wstring& sessionId, const std::wstring& version,
                                       const std::wstring& arguments);

// A fresh session identifier: 36 lower-case characters, 8-4-4-4-12.
std::wstring MakeSessionId();
