// The load handler of Brackenfold.dll: it records the module handle, which the
// directory dialog loads its template from, and does nothing else at load or
// unload.
#include <windows.h>

#include "win32/host_window.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason,
                               LPVOID reserved) {
  (void)reason;
  (void)reserved;
  brackenfold::ModuleInstance() = instance;
  return TRUE;
}
