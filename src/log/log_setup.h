// The run's log: one file per Windows user, written through the logger
// "default". Records are built from pieces streamed one after another:
//   LOG(INFO) << "Wrapper successfully downloaded to " << Quoted(path);
#pragma once

#include <easylogging++.h>

#include <string>

#include "common/unique_handle.h"

// Configures the "default" logger: records go to standard output and, where
// file is open, are appended through that handle (each ending in CR LF).
// The stub opens its log file itself (files/log_file.h), so the logging
// library never opens a file by name. Without a file the run goes on
// without a log file.
void ConfigureLog(UniqueFile file);

// Wide pieces of a record are written as UTF-8, so a path with a non-Latin
// user name stays readable; a null string reads "nullptr".
std::string Utf8(const std::wstring& text);
std::string Utf8(const wchar_t* text);

// A value from outside (the network, the configuration document, the command
// line) as a record shows it: control characters written visibly ("\r",
// "\n", "\t", "\x1b"), and the characters that end a line or reorder text
// in a viewer too ("\u2028", "\u0085", "\u202e"), so that one record is
// always one line and reads as it was written.
std::string LogText(const std::string& text);
std::string LogText(const std::wstring& text);

// A value in double quotes, as the records show paths and URLs, escaped as
// LogText does.
std::string Quoted(const std::wstring& text);
