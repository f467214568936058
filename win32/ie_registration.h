// Internet Explorer registration: the HKEY_LOCAL_MACHINE entries that make
// Internet Explorer load the installed plug-in library for the .vtvm and .kfvm
// applet extensions and the "application/x-Vantorium-3D-Applet" content type.
// A failure is told to the user (with the failing step on request) and
// returned; entries written before it stay.
#ifndef BRACKENFOLD_WIN32_IE_REGISTRATION_H_
#define BRACKENFOLD_WIN32_IE_REGISTRATION_H_

#include <string>

namespace brackenfold {

// Writes the entries naming library_path; on failure shows the boxes and
// returns false. Shows nothing on success.
bool RegisterInternetExplorerPlugin(const std::string& library_path);

// Writes the entries in order, stopping at the first step that fails and
// leaving its detail text in *detail. Shows nothing.
bool WriteInternetExplorerKeys(const std::string& library_path,
                               std::string* detail);

}  // namespace brackenfold

#endif  // BRACKENFOLD_WIN32_IE_REGISTRATION_H_
