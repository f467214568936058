// The install driver: the sequence that one call of Wise_DoInstall runs
// (DoInstall) and the boxes only it shows. DoInstall answers 0 or -1 and
// reports failures as values; a fatal error ends the process inside the call
// instead. The host window (host_window.h), the blob list (blob_list.h) and
// directory creation (directory_path.h) are units of their own.
#ifndef BRACKENFOLD_WIN32_BRACKENFOLD_H_
#define BRACKENFOLD_WIN32_BRACKENFOLD_H_

#include "store/file_path.h"

namespace brackenfold {

// Creates or opens HKLM\kProductKey and sets kSystemDataPathValue to
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

}  // namespace brackenfold

#endif  // BRACKENFOLD_WIN32_BRACKENFOLD_H_
