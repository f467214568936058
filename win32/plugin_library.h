// The name the player's browser plug-in library takes wherever the installer
// copies it: the data directory and Navigator's Plugins directory.
#ifndef BRACKENFOLD_WIN32_PLUGIN_LIBRARY_H_
#define BRACKENFOLD_WIN32_PLUGIN_LIBRARY_H_

namespace brackenfold {

inline constexpr const char* kPluginLibraryName = "NPAXVnt.dll";

}  // namespace brackenfold

#endif  // BRACKENFOLD_WIN32_PLUGIN_LIBRARY_H_
