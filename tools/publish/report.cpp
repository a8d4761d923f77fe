#include "report.h"

#include <cstdio>

std::string BoxText(int errorCode) {
  const std::string code = std::to_string(errorCode);
  switch (errorCode) {
    case 1:
    case 3: return "Cannot obtain configuration. Error code " + code;
    case 4:
    case 5: return "Cannot obtain installer. Error code " + code;
    case 6: return "The installation file is corrupted. Error code " + code;
    default: return "Error code " + code;
  }
}

void Report::Line(const char* mark, const std::string& step, const std::string& text) {
  std::printf("%-5s %-9s %s\n", mark, step.c_str(), text.c_str());
  std::fflush(stdout);
}

void Report::Fail(const std::string& step, int errorCode, const std::string& text) {
  failed_ = true;
  if (firstErrorCode_ == 0 && errorCode != 0) firstErrorCode_ = errorCode;
  Line("FAIL", step, errorCode != 0 ? "error code " + std::to_string(errorCode) + ": " + text : text);
}

int Report::Finish(bool installerChecked) {
  if (firstErrorCode_ != 0) {
    Line("FAIL", "result", "a user's stub would show \"" + BoxText(firstErrorCode_) + "\" and not run the installer");
  } else if (failed_) {
    Line("FAIL", "result", "what a user's stub reads depends on the user's machine: mend the failures above");
  } else if (!installerChecked) {
    Line("ok", "result", "a user's stub reads the document without an error (the installer was not checked)");
  } else {
    Line("ok", "result", "a user's stub would run the installer");
  }
  return failed_ ? 1 : 0;
}
