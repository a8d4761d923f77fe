// How long each phase of a run took (the configuration's fetch, the download,
// the checks, the installer's run), one record at the phase's end whatever its
// outcome: a mailed log then shows where a slow or failed run spent its time.
#pragma once

#include <chrono>
#include <utility>

// Writes "The <phase> took <N> ms".
void LogPhaseTime(const char* phase, std::chrono::steady_clock::duration took);

// Runs the step, records its phase's time and returns what the step returned.
template <typename Step>
auto TimePhase(const char* phase, Step&& step) -> decltype(step()) {
  const auto started = std::chrono::steady_clock::now();
  auto result = std::forward<Step>(step)();
  LogPhaseTime(phase, std::chrono::steady_clock::now() - started);
  return result;
}
