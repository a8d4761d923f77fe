// The end of a run: acting on the installer's exit code, then the common tail.
#pragma once

#include <optional>
#include <string>

#include "files/signed_in_user.h"
#include "main/installation_flow.h"
#include "main/installer_channels.h"

enum class Outcome { kSuccess, kCancelled, kFailed };

Outcome ClassifyExitCode(DWORD exitCode);

// Whether a write refused with this error (a Win32 error or its HRESULT) was
// blocked rather than failed: access denied on the user's own desktop, where
// the user may write, is what Microsoft Defender's controlled folder access
// (or another protection of the desktop) answers an unknown program.
bool WriteWasBlocked(uint32_t error);

// Acts on the installer's exit code for the user: a success removes a
// left-over shortcut; a cancellation waits for the installer's message on the
// channels and, in a run someone watches, opens the cancellation page and
// leaves the shortcut the document asks for (unless -ns); a failure sends the
// failed hit. Then deletes the installer and the run's folder.
void HandleOutcome(InstallerRun& installer, const SignedInUser& user, CommunicationChannels& channels, bool unattended,
                   bool noShortcutSwitch);

// The visitor id Matomo keeps for a session identifier: its first 16
// hexadecimal digits, dashes left out ("4f34395d-6f19-487e-..." gives
// "4f34395d6f19487e"); none where the identifier has no such digits.
std::optional<std::wstring> MatomoVisitorId(const std::wstring& sessionId);

// The failed hit: the visitor id in "_id" and the whole identifier in "uid",
// so the installer's own hits of the run can be joined to it.
std::wstring FailedHitUrl(const std::wstring& sessionId, DWORD exitCode);
std::wstring CancellationPageUrl(const std::wstring& version);

// A value for a query parameter: characters that would change the address's
// meaning or are not allowed in it (space, control characters, '"', '#', '%',
// '&', '+', '<', '>' and everything beyond ASCII) as percent-encoded UTF-8,
// the rest as it is.
std::wstring PercentEncodeForQuery(const std::wstring& value);
