#include "component/prerequisite_check.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "component/component_blob.h"
#include "platform/env.h"

namespace brackenfold {
namespace {

constexpr std::size_t kBlobStreamBuffer = 64 * 1024;

}  // namespace

std::FILE* OpenBlobFile(const FilePath& blob_file) {
  if (blob_file.empty()) return nullptr;
  // Deny-write sharing: the bytes whose signature is checked are the bytes
  // that get installed.
  return CurrentEnv().OpenStreamDenyWrite(blob_file.text(), "rb");
}

BlobFile::BlobFile(const FilePath& blob_file)
    : buffer_(new char[kBlobStreamBuffer]), stream_(OpenBlobFile(blob_file)) {
  if (stream_ != nullptr) {
    std::setvbuf(stream_, buffer_.get(), _IOFBF, kBlobStreamBuffer);
  }
}

BlobFile::~BlobFile() {
  if (stream_ != nullptr) std::fclose(stream_);
}

void MergeRequirements(const InstalledComponents& installed,
                       const std::vector<Prerequisite>& prerequisites,
                       RequiredVersions& required) {
  for (const Prerequisite& prerequisite : prerequisites) {
    bool counts = prerequisite.required ||
                  InstalledVersion(installed, prerequisite.id) != 0;
    if (!counts) continue;
    auto [it, inserted] =
        required.emplace(prerequisite.id, prerequisite.version);
    if (!inserted && it->second < prerequisite.version) {
      it->second = prerequisite.version;
    }
  }
}

bool CheckRequirements(const InstalledComponents& installed,
                       const AvailableVersions& available,
                       const RequiredVersions& required,
                       std::vector<UnmetRequirement>* unmet) {
  bool result = true;
  for (const auto& [id, minimum] : required) {
    if (InstalledVersion(installed, id) >= minimum) continue;
    auto offered = available.find(id);
    if (offered != available.end() && offered->second >= minimum) continue;
    result = false;
    if (unmet) unmet->push_back(UnmetRequirement{id, minimum});
  }
  return result;
}

bool OpenBlobs(const std::vector<FilePath>& blob_files,
               std::vector<OpenedBlob>* blobs, std::string* why) {
  blobs->reserve(blobs->size() + blob_files.size());
  for (const FilePath& blob_file : blob_files) {
    OpenedBlob opened;
    opened.path = blob_file;
    errno = 0;
    opened.file = std::make_unique<BlobFile>(blob_file);
    if (!*opened.file) {
      if (why) {
        *why = "blob '" + blob_file.text() + "': cannot be opened";
        if (errno != 0) *why += std::string(": ") + std::strerror(errno);
      }
      return false;
    }
    opened.blob =
        std::make_unique<ComponentBlob>(StdioBlobStream(opened.file->get()));
    if (!opened.blob->Init(false)) {
      if (why)
        *why = "blob '" + blob_file.text() + "': " + opened.blob->GetFailure();
      return false;
    }
    if (!IndexIdRoundTrips(opened.blob->GetId())) {
      if (why) {
        *why = "blob '" + blob_file.text() + "': the component id '" +
               PrintableName(opened.blob->GetId()) +
               "' is blank or cannot be recorded in the index";
      }
      return false;
    }
    blobs->push_back(std::move(opened));
  }
  return true;
}

bool CheckPrerequisites(const InstalledComponents& installed,
                        const std::vector<OpenedBlob>& blobs,
                        std::vector<UnmetRequirement>* unmet) {
  AvailableVersions available;
  RequiredVersions required;
  for (const OpenedBlob& opened : blobs) {
    MergeRequirements(installed, opened.blob->GetPrerequisites(), required);
    available.emplace(opened.blob->GetId(), opened.blob->GetVersion());
  }
  return CheckRequirements(installed, available, required, unmet);
}

}  // namespace brackenfold
