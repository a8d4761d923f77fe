// Running a helper program (osslsigncode) and collecting what it printed.
#pragma once

#include <string>
#include <vector>

struct ProgramRun {
  bool started = false;  // false: the program could not be run at all
  int status = -1;       // its exit status; -1 when it was killed or timed out
  std::string output;    // standard output and standard error, interleaved
};

// Runs arguments[0] (found on PATH) with the rest as its arguments, standard
// input empty; ends it after timeoutSeconds.
ProgramRun RunProgram(const std::vector<std::string>& arguments, int timeoutSeconds = 300);
