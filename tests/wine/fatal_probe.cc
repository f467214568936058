// fatal_probe: a stand-in plug-in for Wine tests of the fatal error report and
// of directory path creation. install_host loads it like the installer and
// calls Wise_DoInstall(mode, text, unused):
//   "fatal"   FatalError(text) from this file
//   "system"  FatalSystemError(text, error code 5)
//   "dirpath" CreateDirectoryPath(text), then returns 0
// Any other mode returns -1. The probe registers an exit handler that prints
// "EXIT-HANDLER" on stdout, so a test can see that the report's exit ran them.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "win32/directory_path.h"
#include "win32/fatal_error.h"

namespace {

void SayExitHandlerRan() {
  std::fputs("EXIT-HANDLER\n", stdout);
  std::fflush(stdout);
}

}  // namespace

extern "C" __declspec(dllexport) int WINAPI
    Wise_DoInstall(const char* mode, const char* text, const char*) {
  std::atexit(SayExitHandlerRan);
  if (std::strcmp(mode, "fatal") == 0) BF_FATAL_ERROR(text);
  if (std::strcmp(mode, "system") == 0) BF_FATAL_SYSTEM_ERROR(text, 5);
  if (std::strcmp(mode, "dirpath") == 0) {
    brackenfold::CreateDirectoryPath(text);
    return 0;
  }
  return -1;
}
