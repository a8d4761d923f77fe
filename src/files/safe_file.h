// Deleting and placing files where a program without administrator rights may
// have put a link or junction under the name (the desktop): the elevated stub
// never follows such a name to another file.
#pragma once

#include <windows.h>

#include <string>

#include "common/result.h"

// What a name stands for, read without following a link at it.
enum class RemovalDecision {
  kDeletePlainFile,  // an ordinary file
  kDeleteLinkOnly,   // a symbolic link or other reparse point to a file: the link goes, never its target
  kRefuseFolder,     // a folder or a junction: nothing is deleted
};

// The decision for the attributes of the name itself.
RemovalDecision DecideRemoval(DWORD attributes);

// Deletes what is at path when the decision allows it, through a handle
// opened without following a link (FILE_FLAG_OPEN_REPARSE_POINT), so the
// name that was checked is the name that goes. False when nothing is there;
// a folder gives ERROR_DIRECTORY, another failure the system's
// error (code kSideEffect).
Result<bool> DeleteWithoutFollowingLinks(const std::wstring& path);

// Moves a finished file to path, which must not exist (a link planted there
// in the meantime makes the move fail rather than write through it).
Status PlaceWithoutFollowingLinks(const std::wstring& finished, const std::wstring& path);
