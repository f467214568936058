// InstallComponents: installs a set of component blobs into one store
// directory. After the whole set passes the prerequisite check against the
// installed components the caller found, it takes the store lock, writes
// every blob's payload under unique names, replaces the index compindx.dat
// atomically with the old entries plus one per blob (streamed from the old
// index, never held whole), and calls each component's initialisation
// library. Each blob is opened once and
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

// Opens every blob, checks the set against installed and installs it. On
// failure writes "InstallComponents: " and the cause to stderr.
bool InstallComponents(const InstalledComponents& installed,
                       FilePath components_directory,
                       const std::vector<FilePath>& blob_files);

// As above, for blobs the caller opened with OpenBlobs and reports on itself
// (nothing is written to stderr): unmet (optional) receives the unmet
// requirements when the check fails, and why (optional) the cause of any
// failure.
bool InstallComponents(const InstalledComponents& installed,
                       FilePath components_directory,
                       std::vector<OpenedBlob>& blobs,
                       std::vector<UnmetRequirement>* unmet, std::string* why);

// Writes the index at index_path anew: every entry that kept (optional, a
// reader open on the old index) still gives, copied as it is read so that
// the old entries are never held together, then the entries added. Written
// into a temporary file beside the index (created exclusively; a leftover of
// a crash, or a link, at its name is removed first, never followed), flushed
// to disk, then moved over the old index; kept is closed before the move. On
// failure the old index is untouched, the temporary file is removed and why
// (optional) says what failed.
bool ReplaceIndexFile(const FilePath& index_path, IndexReader* kept,
                      const std::vector<IndexEntry>& added,
                      std::string* why = nullptr);
// ReplaceIndexFile with entries as the whole new index.
inline bool ReplaceIndexFile(const FilePath& index_path,
                             const std::vector<IndexEntry>& entries,
                             std::string* why = nullptr) {
  return ReplaceIndexFile(index_path, nullptr, entries, why);
}

// Loads the job's library, calls its component_install_initialize with the
// files in ascending registered-name order, and releases it. A library that
// cannot be loaded or lacks the entry is passed over.
void RunInitialisationJob(const InitialisationJob& job);

}  // namespace brackenfold

#endif  // BRACKENFOLD_COMPONENT_COMPONENT_INSTALL_H_
