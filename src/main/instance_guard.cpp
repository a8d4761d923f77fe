#include "main/instance_guard.h"

// Machine-wide, as the mailslot's name is: a stub in another session (another
// user switched to, a remote desktop) would otherwise pass the guard and then
// find the mailslot taken.
const wchar_t kInstanceMutexName[] = L"Global\\7b1d4e2a-93c0-4f58-8a6e-d25c0f4e9b31";

InstanceGuard::InstanceGuard(const wchar_t* name) {
  // One call that creates or opens, so that two stubs started at the same
  // moment can't both find no mutex and then both make one.
  mutex_.reset(CreateMutexW(nullptr, FALSE, name));
  anotherStubIsRunning_ = GetLastError() == ERROR_ALREADY_EXISTS && mutex_.valid();
  // Made under another account it can't be opened, but it is there all the same.
  if (!mutex_ && GetLastError() == ERROR_ACCESS_DENIED) anotherStubIsRunning_ = true;
}
