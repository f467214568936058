// Helpers of the component engine tests: scratch directories that vanish
// afterwards, whole-file reads and writes, hand-made signed blobs whose forks
// may be broken, the path of the test initialisation library, and a fixture
// with a FakeEnv made current and a scratch directory.
#ifndef BRACKENFOLD_TESTS_COMPONENT_COMPONENT_TEST_SUPPORT_H_
#define BRACKENFOLD_TESTS_COMPONENT_COMPONENT_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "store/file_path.h"
#include "store/index_file.h"
#include "store/installed_components.h"
#include "tests/support/blob_builder.h"
#include "tests/support/fake_env.h"

namespace brackenfold {

// A fresh directory below the system's temporary directory; its text ends in
// the path separator. Removed with everything in it on destruction.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& path() const { return path_; }
  // path() followed by name ("/" inside name is kept as it is).
  std::string Join(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

std::string FileBytes(const std::string& path);  // "" when unreadable
bool WriteFileBytes(const std::string& path, const std::string& bytes);
bool PathExists(const std::string& path);
// Names of the files directly in a directory, sorted.
std::vector<std::string> ListDirectory(const std::string& path);

// One "ALL_MAIN" fork of a hand-made blob: data goes into the data area as
// given, the table of contents records the sizes given.
struct RawFork {
  std::string file_name;
  std::string data;  // zlib stream (or anything, for broken forks)
  std::uint32_t uncompressed_size = 0;
};
// A sound fork for contents.
RawFork GoodFork(const std::string& file_name, const std::string& contents);
// A blob of these forks, with a matching digest and a valid demo signature.
std::string BuildSignedRawBlob(const std::vector<RawFork>& forks);

// The test initialisation library, in the form the system's loader takes.
std::string InitRecorderPath();

// The index text WriteIndexEntry gives for these entries.
std::string IndexText(const std::vector<IndexEntry>& entries);

// A FakeEnv made current and a scratch directory.
class ComponentTest : public ::testing::Test {
 protected:
  // A signed blob file in the scratch directory; returns its path.
  std::string WriteBlob(const std::string& name, const BlobFiles& files);

  ScopedFakeEnv env_;
  ScratchDirectory scratch_;
};

}  // namespace brackenfold

#endif  // BRACKENFOLD_TESTS_COMPONENT_COMPONENT_TEST_SUPPORT_H_
