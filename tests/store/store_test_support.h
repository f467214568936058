// Helpers of the native store tests: a scratch directory removed afterwards,
// and whole-file reads and writes in binary mode.
#ifndef BRACKENFOLD_TESTS_STORE_STORE_TEST_SUPPORT_H_
#define BRACKENFOLD_TESTS_STORE_STORE_TEST_SUPPORT_H_

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace brackenfold {

class ScratchDirectory {
 public:
  ScratchDirectory() {
    char pattern[] = "/tmp/bf_store_XXXXXX";
    const char* made = ::mkdtemp(pattern);
    path_ = made ? std::string(made) + "/" : std::string();
  }
  ~ScratchDirectory() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  // The directory, ending in "/".
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

inline void WriteWholeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline bool PathExists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(path, ignored);
}

}  // namespace brackenfold

#endif  // BRACKENFOLD_TESTS_STORE_STORE_TEST_SUPPORT_H_
