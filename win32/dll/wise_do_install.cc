// The library's one export. The host calls it with the standard calling
// convention and cannot handle a C++ exception, so nothing escapes: whatever
// is thrown below (std::bad_alloc when memory runs out) ends the call with -1,
// the same answer as a failed installation.
#include <windows.h>

#include "win32/brackenfold.h"

extern "C" int WINAPI Wise_DoInstall(const char* data_directory,
                                     const char* blob_list,
                                     const char* plugin_library);

extern "C" int WINAPI Wise_DoInstall(const char* data_directory,
                                     const char* blob_list,
                                     const char* plugin_library) {
  try {
    return brackenfold::DoInstall(data_directory, blob_list, plugin_library);
  } catch (...) {
    return -1;
  }
}
