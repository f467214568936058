// init_recorder: a component initialisation library for tests. Its
// component_install_initialize appends what it was given to the file named by
// its first argument followed by ".calls", one call as:
//   library=PATH
//   count=N
//   REGISTERED;STORED      (N lines, in the order of the arrays)
//   end
// Built as a shared object for native tests and as a DLL for Wine (exported
// undecorated). Built with BF_INIT_CDECL it has the wrong calling convention,
// cdecl, for the Wine test that must tell the two apart on i686.
#include <cstdio>
#include <string>

#if defined(_WIN32)
#define BF_INIT_EXPORT extern "C" __declspec(dllexport)
#else
#define BF_INIT_EXPORT extern "C" __attribute__((visibility("default")))
#endif
#if defined(_WIN32) && !defined(BF_INIT_CDECL)
#define BF_INIT_CALL __stdcall
#else
#define BF_INIT_CALL  // cdecl, the compiler's default
#endif

BF_INIT_EXPORT int BF_INIT_CALL
component_install_initialize(const char* library_path, int count,
                             const char** registered, const char** stored) {
  std::string record_path = std::string(library_path) + ".calls";
  std::FILE* record = std::fopen(record_path.c_str(), "ab");
  if (record == nullptr) return 1;
  std::fprintf(record, "library=%s\ncount=%d\n", library_path, count);
  for (int i = 0; i < count; ++i) {
    std::fprintf(record, "%s;%s\n", registered[i], stored[i]);
  }
  std::fprintf(record, "end\n");
  std::fclose(record);
  return 0;
}
