// The installed-component search: which components are installed, and in
// which version, across a list of store directories (for the installer: the
// registered stores and the directories of the search list file). Every
// index is read under its store lock when the lock can be had within 250 ms,
// and without it otherwise. Nothing is reported.
#ifndef BRACKENFOLD_STORE_INSTALLED_COMPONENTS_H_
#define BRACKENFOLD_STORE_INSTALLED_COMPONENTS_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "store/file_path.h"

namespace brackenfold {

// Upper-case id -> highest version found.
using InstalledComponents = std::map<std::string, std::int32_t>;

// The machine's search list file: "c:\\ComponentSearch.txt" in the Windows
// build; none (empty) in the POSIX build, where the tools pass directories
// themselves.
const std::string& SearchListFile();

// Appends the directories named by list_file, one a line, each trimmed; a
// blank line adds the empty path (the index in the current directory), and a
// last line without its line end is passed over. A missing file (or an empty
// name) adds nothing.
void ReadSearchList(const std::string& list_file,
                    std::vector<FilePath>* directories);

// The machine's own search directories, in order: the registered system
// store, the user store unless machine_store_only, then the directories of
// list_file (SearchListFile() for the machine's own; empty for none).
std::vector<FilePath> SearchDirectories(bool machine_store_only,
                                        const std::string& list_file);
// Merges the index of one directory into the table, keeping the higher
// version of an id.
void ReadStoreIndex(InstalledComponents& table, FilePath directory);
// The components installed in the given directories, searched in order.
InstalledComponents SearchInstalledComponents(
    const std::vector<FilePath>& directories);
// The version for id upper-cased; 0 when it was not found.
std::int32_t InstalledVersion(const InstalledComponents& table, std::string id);

}  // namespace brackenfold

#endif  // BRACKENFOLD_STORE_INSTALLED_COMPONENTS_H_
