// The installed-component search: which components are installed, and in
// which version, across the registered stores and the directories listed in
// the search list file. Every index is read under its store lock when the lock
// can be had within 250 ms, and without it otherwise. Nothing is reported.
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

// The search list file: "c:\\ComponentSearch.txt" in the Windows build; none
// (empty) in the POSIX build, where the tools pass directories themselves.
const std::string& SearchListFile();
// Tests and tools only: another list file (empty for none).
void SetSearchListFile(const std::string& path);

// Tools only: directories searched after the stores in place of those of the
// search list file, given as values (null: back to the list file). The
// vector must outlive its use.
void SetSearchDirectoriesInsteadOfList(
    const std::vector<FilePath>* directories);

// Appends the directories named by list_file, one a line, each trimmed;
// blank lines are passed over. A missing file (or an empty name) adds nothing.
void ReadSearchList(const std::string& list_file,
                    std::vector<FilePath>* directories);

// The registered system store, the user store unless machine_store_only, then
// the directories of the search list file.
std::vector<FilePath> SearchDirectories(bool machine_store_only);
// Merges the index of one directory into the table, keeping the higher
// version of an id.
void ReadStoreIndex(InstalledComponents& table, FilePath directory);
void SearchInstalledComponents(InstalledComponents& table,
                               bool machine_store_only);
// The version for id upper-cased; 0 when it was not found.
std::int32_t InstalledVersion(const InstalledComponents& table, std::string id);

}  // namespace brackenfold

#endif  // BRACKENFOLD_STORE_INSTALLED_COMPONENTS_H_
