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

// The log file's path in the form the logging library opens, or an empty
// string when the application-data folder can't be obtained.
std::string LogFilePath();

// The same under a given application-data folder: the path in the ANSI code
// page, or, where the folder's name has characters beyond it, the file's
// short path (the folder and an empty file are made for it).
std::string LogFilePathFor(const std::wstring& folder);

// Wide pieces of a record are written as UTF-8, so a path with a non-Latin
// user name stays readable; a null string reads "nullptr".
std::string Utf8(const std::wstring& text);
std::string Utf8(const wchar_t* text);

// A value from outside (the network, the configuration document, the command
// line) as a record shows it: control characters written visibly ("\r",
// "\n", "\t", "\x1b"), so that one record is always one line.
std::string LogText(const std::string& text);
std::string LogText(const std::wstring& text);

// A value in double quotes, as the records show paths and URLs, escaped as
// LogText does.
std::string Quoted(const std::wstring& text);
