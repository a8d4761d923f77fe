// The end of a run: acting on the installer's exit code, then the common tail.
#pragma once

#include <string>

#include "main/stub_run.h"

enum class Outcome { kSuccess, kCancelled, kFailed };

Outcome ClassifyExitCode(DWORD exitCode);

// Acts on the run's exit status, deletes the installer and closes COM. The
// exit status is left as the installer's exit code.
void HandleOutcome(StubRun& run);

// How long the stub waits for the installer's cancellation message, which the
// installer posts before it exits.
constexpr DWORD kCancellationMessageWaitMs = 5000;

// Receives the cancellation message into text (at most one slot message,
// NUL-terminated). False when none arrived within the wait.
bool ReceiveCancellationMessage(CommunicationChannels& channels, DWORD waitMs, std::string& text);

std::wstring FailedHitUrl(const std::wstring& sessionId, DWORD exitCode);
std::wstring CancellationPageUrl(const std::wstring& version);
