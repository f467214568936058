// init_without_entry: a library that exports something, but not
// component_install_initialize. Loading it must be harmless.
#if defined(_WIN32)
#define BF_INIT_EXPORT extern "C" __declspec(dllexport)
#else
#define BF_INIT_EXPORT extern "C" __attribute__((visibility("default")))
#endif

BF_INIT_EXPORT int component_install_initialise_misspelt(void) { return 0; }
