// The run's log: one file per Windows user, written through the logger
// "default". Records are built from pieces streamed one after another:
//   LOG(INFO) << "Wrapper successfully downloaded to " << Quoted(path);
#pragma once

#include <easylogging++.h>

#include <string>

// Configures the "default" logger to append to the user's log file
// (<roaming application data>\Pexmira\QMXT.log). Without an application-data
// folder the run goes on without a log file.
void ConfigureLog();

// The same, for a given narrow file path; an empty path means no log file.
void ConfigureLogFile(const std::string& path);

// The log file's path, or an empty string when the application-data folder
// can't be obtained.
std::string LogFilePath();

// Wide pieces of a record are written as UTF-8, so a path with a non-Latin
// user name stays readable; a null string reads "nullptr".
std::string Utf8(const std::wstring& text);
std::string Utf8(const wchar_t* text);

// A value in double quotes, as the records show paths and URLs.
std::string Quoted(const std::wstring& text);
