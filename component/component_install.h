// InstallComponents: installs a set of component blobs into one store
// directory. After the whole set passes the prerequisite check, it takes the
// store lock, writes every blob's payload under unique names, replaces the
// index compindx.dat atomically with the old entries plus one per blob, and
// calls each component's initialisation library. One bool result; nothing is
// reported and nothing already written is rolled back.
#ifndef BRACKENFOLD_COMPONENT_COMPONENT_INSTALL_H_
#define BRACKENFOLD_COMPONENT_COMPONENT_INSTALL_H_

#include <string>
#include <vector>

#include "store/file_path.h"
#include "store/index_file.h"

namespace brackenfold {

// The exported entry of an initialisation library.
inline constexpr const char* kComponentInitializeEntry =
    "component_install_initialize";

// One initialisation library to call once all blobs are installed.
struct InitialisationJob {
  FilePath library;  // stored path of the library
  FileMap files;     // the component's files
};

bool InstallComponents(bool machine_store_only, FilePath components_directory,
                       std::vector<FilePath> blob_files);

// InstallComponents after its prerequisite check: for a caller that has just
// checked the set itself (opening every blob once) and reports the outcome.
bool InstallCheckedComponents(FilePath components_directory,
                              std::vector<FilePath> blob_files);

// Writes entries as the whole index at index_path: into a temporary file
// beside it, flushed to disk, then moved over the old index. On failure the
// old index is untouched and the temporary file is removed.
bool ReplaceIndexFile(const FilePath& index_path,
                      const std::vector<IndexEntry>& entries);

// Loads the job's library, calls its component_install_initialize with the
// files in ascending registered-name order, and releases it. A library that
// cannot be loaded or lacks the entry is passed over.
void RunInitialisationJob(const InitialisationJob& job);

}  // namespace brackenfold

#endif  // BRACKENFOLD_COMPONENT_COMPONENT_INSTALL_H_
