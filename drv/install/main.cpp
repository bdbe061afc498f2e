// install.exe: one command word, one job, one exit code.
#include <windows.h>

#include "dispatch.h"
#include "platform/platform.h"
#include "session/log_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  RestrictDllSearchToSystemDirectory();
  SetProgramInstance(instance);
  return Dispatch();
}
