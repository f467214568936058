// The install driver: the sequence that one call of Wise_DoInstall runs
// (DoInstall), the two process-wide handles that the user interface uses
// (ModuleInstance, HostWindow), the cancel confirmation every cancel passes
// through, and the blob-list parser. DoInstall answers 0 or -1 and reports
// failures as values; a fatal error ends the process inside the call instead.
#ifndef BRACKENFOLD_WIN32_BRACKENFOLD_H_
#define BRACKENFOLD_WIN32_BRACKENFOLD_H_

#include <string>
#include <vector>

#include "platform/win_types.h"
#include "store/file_path.h"

namespace brackenfold {

inline constexpr const char* kHostWindowClass = "GLBSInstall";
inline constexpr const char* kHostWindowTitle = "Vantorium 3D Player";
inline constexpr const char* kPlayerRegistryKey =
    "SOFTWARE\\Vantorium\\Vantorium Player\\";
inline constexpr const char* kSystemDataPathValue = "SystemDataPath";
inline constexpr const char* kPluginLibraryName = "NPAXVnt.dll";
inline constexpr const char* kComponentsDirectoryName = "components";

// This library's module handle, set by the load handler; never cleared.
ModuleHandle& ModuleInstance();
// The host's main window: null until DoInstall's wait finds it; never cleared
// afterwards. Owner of the running-browser warnings and parent of the
// directory dialog.
WindowHandle& HostWindow();

// Asks "Are you sure?" (Yes/No, question icon) owned by owner, which may be
// null. True only for Yes: the cancel stands.
bool ConfirmCancel(WindowHandle owner);

// EnumWindows callback: stores the first window titled kHostWindowTitle of
// class kHostWindowClass (both exact and case-sensitive) through host_window,
// a WindowHandle*, and stops the enumeration.
bool HostWindowEnumProc(WindowHandle window, void* host_window);

// Enumerates the top-level windows every 100 ms until HostWindowEnumProc finds
// the host's window; sleeps once even when it is there at once. No time limit.
void WaitForHostWindow();

// Appends the comma-separated paths of text to list: commas plus one paths,
// in order, nothing trimmed, empty items kept as empty paths, items of any
// length kept whole. A null text counts as the empty text.
void ParseBlobList(const char* text, std::vector<FilePath>* list);

// Creates or opens HKLM\kPlayerRegistryKey and sets kSystemDataPathValue to
// data_directory (REG_SZ, exactly as given). Nothing is reported; false when
// the key could not be created or the value not set.
bool RecordSystemDataPath(const char* data_directory);

// The box shown, without owner, when the plug-in library could not be copied
// into the data directory: source, target and the system's text for the errno
// error.
void ShowPluginCopyError(const FilePath& source, const FilePath& target,
                         int error);

// The "Error" box shown, without owner, when the components could not be
// installed.
void ShowComponentInstallError();

// One installation, on the caller's thread: 0 when the sequence ran to its
// end, -1 when the user cancelled, the plug-in library could not be copied
// into the data directory, or the components could not be installed.
// Null arguments count as empty texts.
int DoInstall(const char* data_directory, const char* blob_list,
              const char* plugin_library);

// Makes every directory along path exist, outermost first; "\" and "/" both
// separate, runs of them count as one. The drive, or the \\server\share of a
// network path, is taken as existing. Returns only when all exist; an invalid
// path or any failure ends the process through FatalError.
void CreateDirectoryPath(const std::string& path);
// Makes one directory exist (trailing backslashes ignored); returns only when
// it exists as a directory, otherwise ends the process through FatalError.
void CreateOneDirectory(const std::string& directory);

}  // namespace brackenfold

#endif  // BRACKENFOLD_WIN32_BRACKENFOLD_H_
