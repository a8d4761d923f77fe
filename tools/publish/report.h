// What tessaloom-publish prints: one line per step, with the error code a
// user's stub would show where the step fails, and a last line that says
// whether a user's stub would run the installer.
#pragma once

#include <string>

class Report {
 public:
  void Ok(const std::string& step, const std::string& text) { Line("ok", step, text); }
  void Warn(const std::string& step, const std::string& text) { Line("WARN", step, text); }
  void Skip(const std::string& step, const std::string& text) { Line("skip", step, text); }
  // errorCode: the stub's error code for this failure, 0 where the stub would
  // go on but the publication is still wrong (it depends on the user's machine).
  void Fail(const std::string& step, int errorCode, const std::string& text);

  bool Failed() const { return failed_; }
  // The error code a user would see: that of the first failure the stub meets.
  int UserErrorCode() const { return firstErrorCode_; }

  // Prints the last line; returns the command's exit status (0 or 1).
  // Without the installer, only the document's reading can be vouched for.
  int Finish(bool installerChecked = true);

 private:
  static void Line(const char* mark, const std::string& step, const std::string& text);
  bool failed_ = false;
  int firstErrorCode_ = 0;
};

// The text of the stub's box for an error code.
std::string BoxText(int errorCode);
