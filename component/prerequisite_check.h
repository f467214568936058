// The prerequisite check of a whole set of blobs before installation: every
// required prerequisite, and every optional one on a component that is
// already installed, must be met by an installed copy or by a blob of the
// set. The blobs are opened and verified once (OpenBlobs) and held open for
// the installation; nothing is written and nothing is reported except
// ComponentBlob::Init's own lines.
#ifndef BRACKENFOLD_COMPONENT_PREREQUISITE_CHECK_H_
#define BRACKENFOLD_COMPONENT_PREREQUISITE_CHECK_H_

#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "component/component_blob.h"
#include "store/file_path.h"
#include "store/installed_components.h"

namespace brackenfold {

// Component id -> version offered by the first blob of the set with that id.
using AvailableVersions = std::map<std::string, std::int32_t>;
// Component id -> highest minimum version asked for.
using RequiredVersions = std::map<std::string, std::int32_t>;

struct UnmetRequirement {
  std::string id;
  std::int32_t version = 0;  // the minimum asked for

  bool operator==(const UnmetRequirement& other) const {
    return id == other.id && version == other.version;
  }
};

// Merges one blob's prerequisites into required: a prerequisite counts when
// it is required or its component is installed; the highest version wins.
void MergeRequirements(const InstalledComponents& installed,
                       const std::vector<Prerequisite>& prerequisites,
                       RequiredVersions& required);

bool CheckRequirements(const InstalledComponents& installed,
                       const AvailableVersions& available,
                       const RequiredVersions& required,
                       std::vector<UnmetRequirement>* unmet);

// Opens a blob file for reading so that nobody can write it meanwhile; null
// for the empty path or when it cannot be opened. The caller closes it.
std::FILE* OpenBlobFile(const FilePath& blob_file);

// A blob file opened by OpenBlobFile, with a stdio buffer of 64 KiB of its
// own: the digest and the extraction read the blob whole in pieces of 1024
// and 8192 bytes, and the larger buffer turns them into far fewer system
// calls. Closes the stream when it goes; get() is null when it did not open.
class BlobFile {
 public:
  explicit BlobFile(const FilePath& blob_file);
  ~BlobFile();
  BlobFile(const BlobFile&) = delete;
  BlobFile& operator=(const BlobFile&) = delete;

  std::FILE* get() const { return stream_; }
  explicit operator bool() const { return stream_ != nullptr; }

 private:
  std::unique_ptr<char[]> buffer_;
  std::FILE* stream_;
};

// One blob opened and checked once, then held open until it is installed.
// The prerequisite check and the installation read the same open file, never
// the name again, so the blob installed is the blob checked; and the file is
// opened by OpenBlobFile, so the bytes extracted are the bytes whose digest
// and signature were checked (a deny-write share mode on Windows, a private
// snapshot on POSIX). The blob's digest is therefore checked once per run.
struct OpenedBlob {
  FilePath path;
  std::unique_ptr<BlobFile> file;
  std::unique_ptr<ComponentBlob> blob;
};

// Opens every blob and Inits it; refuses an id that the index cannot hold
// (blank, or with a line end). False, with why (optional) naming the first
// blob that failed and the cause, before anything is written.
bool OpenBlobs(const std::vector<FilePath>& blob_files,
               std::vector<OpenedBlob>* blobs, std::string* why);

// True when every counted prerequisite of the blobs (opened by OpenBlobs) is
// met by installed or by the blobs; unmet (optional) receives the
// requirements that are not, in ascending id order.
bool CheckPrerequisites(const InstalledComponents& installed,
                        const std::vector<OpenedBlob>& blobs,
                        std::vector<UnmetRequirement>* unmet);

}  // namespace brackenfold

#endif  // BRACKENFOLD_COMPONENT_PREREQUISITE_CHECK_H_
