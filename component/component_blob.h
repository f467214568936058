// ComponentBlob: the component carried by one blob. Init opens the blob with
// its signature checked and reads the descriptor files under "component/"
// (id, version, title, description, prerequisites, initialisation library,
// platform); Install writes the payload files into a store directory. Init
// writes one line to stderr per failure; nothing else is ever reported. The
// caller owns the blob stream and closes it after the object is gone.
#ifndef BRACKENFOLD_COMPONENT_COMPONENT_BLOB_H_
#define BRACKENFOLD_COMPONENT_COMPONENT_BLOB_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "blob/blob_reader.h"
#include "component/descriptor.h"
#include "store/file_path.h"
#include "store/index_file.h"

namespace brackenfold {

class ComponentBlob {
 public:
  explicit ComponentBlob(const BlobStream& stream);
  ComponentBlob(const ComponentBlob&) = delete;
  ComponentBlob& operator=(const ComponentBlob&) = delete;

  bool Init(bool skip_checks);

  std::string GetId() const { return id_; }
  std::int32_t GetVersion() const { return version_; }
  std::vector<Prerequisite> GetPrerequisites() const { return prerequisites_; }
  void ReadExposeMap(ExposeMap& map);

  // Writes every payload file into directory under a new unique name and adds
  // (registered name -> stored name) to files; init_library receives the
  // stored path of the initialisation library when the component names one.
  // Refuses unsafe payload names before writing anything; a payload that
  // cannot be written whole fails the call and leaves no file behind.
  bool Install(FilePath directory, FileMap& files, std::string& init_library);
  // As Install, making the files with maker (below its directory, which
  // exists); why (optional) receives the payload and the cause of a failure.
  bool Install(UniqueFileMaker& maker, FileMap& files,
               std::string& init_library, std::string* why);

  // Why Init failed: the check that refused the blob, or the descriptor
  // problem; empty after a successful Init.
  const std::string& GetFailure() const { return failure_; }

  const std::string& GetTitle() const { return title_; }
  const std::string& GetDescription() const { return description_; }
  const std::string& GetPlatform() const { return platform_; }
  // The payload file named by "component/initialize"; empty when none is.
  const std::string& GetInitializeFile() const { return initialize_; }
  bool IsInitialised() const { return initialised_; }

 private:
  bool ReadText(const std::string& file_name, std::string* text);
  // Reads id, title, description, version, initialize and platform, each
  // normalised; false when any file present could not be read (all are
  // still tried).
  bool ReadValues();
  std::vector<std::string> PayloadNames() const;

  bool initialised_ = false;
  BlobReader reader_;
  std::int32_t version_ = 0;
  std::string id_;
  std::string title_;
  std::string description_;
  std::string platform_;
  std::string initialize_;
  std::vector<Prerequisite> prerequisites_;
  std::string failure_;
};

}  // namespace brackenfold

#endif  // BRACKENFOLD_COMPONENT_COMPONENT_BLOB_H_
