// Creation of the directories that the user names (Netscape's Plugins
// directory, the directory dialog's choice). Every failure is fatal: it ends
// the process through FatalError, and the reports name this module
// (win32/directory_path.cc) as their source.
#ifndef BRACKENFOLD_WIN32_DIRECTORY_PATH_H_
#define BRACKENFOLD_WIN32_DIRECTORY_PATH_H_

#include <string>

namespace brackenfold {

// Makes every directory along path exist, outermost first; "\" and "/" both
// separate, runs of them count as one. The drive, or the \\server\share of a
// network path, is taken as existing. Returns only when all exist; an invalid
// path or any failure ends the process through FatalError.
void CreateDirectoryPath(const std::string& path);
// Makes one directory exist (trailing backslashes ignored); returns only when
// it exists as a directory, otherwise ends the process through FatalError.
void CreateOneDirectory(const std::string& directory);

}  // namespace brackenfold

#endif  // BRACKENFOLD_WIN32_DIRECTORY_PATH_H_
