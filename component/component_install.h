// InstallComponents: installs a set of component blobs into one store
// directory. After the whole set passes the prerequisite check, it takes the
// store lock, writes every blob's payload under unique names, replaces the
// index compindx.dat atomically with the old entries plus one per blob, and
// calls each component's initialisation library. Each blob is opened once and
// held open from the check to the install. Every file made in the store is
// created exclusively below the store directory, never through a link, and
// written through the handle that created it. One bool result (and a line
// on stderr naming the blob, the file and the cause); nothing already
// written is rolled back.
#ifndef BRACKENFOLD_COMPONENT_COMPONENT_INSTALL_H_
#define BRACKENFOLD_COMPONENT_COMPONENT_INSTALL_H_

#include <string>
#include <vector>

#include "component/prerequisite_check.h"
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

// On failure writes "InstallComponents: " and the cause to stderr.
bool InstallComponents(bool machine_store_only, FilePath components_directory,
                       std::vector<FilePath> blob_files);

// InstallComponents after its prerequisite check, for a caller that opened
// and checked the set itself with OpenBlobs and reports the outcome: why
// (optional) receives the cause of a failure.
bool InstallOpenedBlobs(FilePath components_directory,
                        std::vector<OpenedBlob>& blobs, std::string* why);

// Writes entries as the whole index at index_path: into a temporary file
// beside it (created exclusively; a leftover of a crash, or a link, at its
// name is removed first, never followed), flushed to disk, then moved over
// the old index. On failure the old index is untouched, the temporary file
// is removed and why (optional) says what failed.
bool ReplaceIndexFile(const FilePath& index_path,
                      const std::vector<IndexEntry>& entries,
                      std::string* why = nullptr);

// Loads the job's library, calls its component_install_initialize with the
// files in ascending registered-name order, and releases it. A library that
// cannot be loaded or lacks the entry is passed over.
void RunInitialisationJob(const InitialisationJob& job);

}  // namespace brackenfold

#endif  // BRACKENFOLD_COMPONENT_COMPONENT_INSTALL_H_
