// The single-instance guard: one stub runs at a time on the machine.
#pragma once

#include <windows.h>

#include "common/unique_handle.h"

extern const wchar_t kInstanceMutexName[];

// The exit status of an unattended run that found another stub running: a
// deployment tool must not read it as a success. An attended run ends with 0,
// as the user sees the other stub's window.
constexpr DWORD kAnotherStubExitStatus = 12;

// Marks a running stub by the existence of a named mutex, which is never
// waited on and is kept until the process ends.
class InstanceGuard {
 public:
  // Creates the mutex under the given name, or opens it when another stub
  // (in any process) has it already.
  explicit InstanceGuard(const wchar_t* name = kInstanceMutexName);
  // True when another stub made the mutex first. Without any mutex (it could
  // not be made) the run goes on unguarded.
  bool AnotherStubIsRunning() const { return anotherStubIsRunning_; }

 private:
  UniqueMutex mutex_;
  bool anotherStubIsRunning_ = false;
};
