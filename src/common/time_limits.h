// Every time limit of the stub, in milliseconds, in the order a run meets
// them. A run must never hang: each wait on another program, a server or the
// system ends at one of these, but the wait for the installer's own run,
// which takes as long as the user takes. README's table of time limits lists
// each of them by name, and a test reads both. Cadences (how often a wait
// looks again) stay beside the code that polls.
// Needs no Windows header, so the portable pieces use it too.
#pragma once

#include <cstdint>

// The configuration request, its attempts and the proxy fallback together,
// name resolution included: the document is a few hundred bytes, no window
// is shown meanwhile, and the stub holds its single-instance mutex.
constexpr uint32_t kConfigRequestDeadlineMs = 30000;

// WinHTTP's own limits of each single call of a request (WinHTTP's defaults;
// name resolution has none). A server that trickles a byte now and then
// keeps every call alive: the request's deadline bounds the whole.
constexpr int kWinHttpConnectTimeoutMs = 60000;
constexpr int kWinHttpSendTimeoutMs = 30000;
constexpr int kWinHttpReceiveTimeoutMs = 30000;

// How long the start of the run waits for the progress window's thread to
// show the window, and its end for that thread to finish.
constexpr uint32_t kProgressWindowOpenWaitMs = 10000;
constexpr uint32_t kProgressWindowCloseWaitMs = 5000;

// A transfer of the installer that gets no notification for this long is
// aborted, like a request that times out.
constexpr uint64_t kDownloadStallMs = 30000;
// How long an aborted transfer may take to return before the download is given
// up without it (the run then ends as a failed download does).
constexpr uint64_t kAbortGraceMs = 15000;
// A transfer that brings fewer than 60 KiB over this long is given up,
// however steadily it trickles.
constexpr uint64_t kSlowWindowMs = 60000;
// How long the attempts may go on without any of them getting further.
constexpr uint64_t kNoProgressLimitMs = 60000;
// The pause before the second attempt, doubled for each one after it up to
// the longest; each pause is drawn between half and all of it.
constexpr uint32_t kFirstRetryPauseMs = 1000;
constexpr uint32_t kLongestRetryPauseMs = 16000;
// How long a downloaded file that another program holds open (a scanner
// looking at a new executable) is waited for.
constexpr uint64_t kHeldByOthersLimitMs = 60000;

// How long ending a process that was created suspended and never ran waits
// for its end.
constexpr uint32_t kUnstartedProcessEndWaitMs = 5000;

// How long the stub waits for the installer's cancellation message, which the
// installer posts before it exits.
constexpr uint32_t kCancellationMessageWaitMs = 5000;
// A cancelled read of the mailslot completes at once; this only bounds a
// system that doesn't.
constexpr uint32_t kCancelledReadWaitMs = 5000;

// The failed hit, its attempts and the proxy fallback together: the installer
// has ended, and the user waits for nothing else.
constexpr uint32_t kFailedHitDeadlineMs = 10000;

// The shell's answer to the cancellation page must come within this time: a
// hung or suspended Explorer never answers, and the end of the run would
// wait with it.
constexpr uint32_t kPageOpeningDeadlineMs = 10000;
// How long a call into the shell that was given up may take to unwind:
// releasing the shell's objects are calls into it too, each one cancelled in
// turn.
constexpr uint32_t kShellCallCancelGraceMs = 2000;

// How long the end of the run waits for the installer's folder to be let go
// (by the installer's leftovers, a scanner or an indexer) before it leaves
// the folder for the next restart to remove.
constexpr uint32_t kRunFolderReleaseWaitMs = 10000;
