// Sends the "default" logger's records to a file of the test's own and reads
// them back as messages (without date, time and level).
#pragma once

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "log/log_setup.h"

// The log file as the stub opens it: for appending, through a handle.
inline UniqueFile OpenLogForAppend(const std::string& path) {
  return UniqueFile(CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
}

class LogCapture {
 public:
  LogCapture() : path_(UniquePath()) {
    std::remove(path_.c_str());
    ConfigureLog(OpenLogForAppend(path_));
  }
  ~LogCapture() {
    ConfigureLog(UniqueFile());
    std::remove(path_.c_str());
  }

  // Each record as "LEVEL message", e.g. "INFO  Begin download".
  std::vector<std::string> Records() const {
    el::Loggers::flushAll();
    std::ifstream file(path_, std::ios::binary);
    std::vector<std::string> records;
    std::string line;
    while (std::getline(file, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.size() > 24) records.push_back(line.substr(24));
    }
    return records;
  }

  const std::string& Path() const { return path_; }

 private:
  // Tests run in parallel processes: the name carries the process and a count.
  static std::string UniquePath() {
    static int count = 0;
    char folder[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, folder);
    return std::string(folder) + "log-capture-" + std::to_string(GetCurrentProcessId()) + "-" +
           std::to_string(++count) + ".log";
  }

  std::string path_;
};
