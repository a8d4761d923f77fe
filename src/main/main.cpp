#include <windows.h>

#include "main/stub.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
  return static_cast<int>(RunStub(instance, commandLine));
}
