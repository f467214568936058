// fatal_probe: a stand-in plug-in for the Wine session of the fatal error
// report. install_host loads it like the installer; its Wise_DoInstall(text,
// ...) raises FatalSystemError(text, error code 5) after registering an exit
// handler that prints "EXIT-HANDLER", so the session sees the report end the
// process through exit().
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "win32/fatal_error.h"

extern "C" __declspec(dllexport) int WINAPI
    Wise_DoInstall(const char* text, const char*, const char*) {
  std::atexit([] {
    std::puts("EXIT-HANDLER");
    std::fflush(stdout);
  });
  BF_FATAL_SYSTEM_ERROR(text, 5);
}
