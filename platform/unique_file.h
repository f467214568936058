// UniqueFile: a stdio stream that is closed when it goes. A caller that must
// know whether the close succeeded (a written file) calls
// std::fclose(file.release()) itself.
#ifndef BRACKENFOLD_PLATFORM_UNIQUE_FILE_H_
#define BRACKENFOLD_PLATFORM_UNIQUE_FILE_H_

#include <cstdio>
#include <memory>
#include <string>

namespace brackenfold {

struct StreamCloser {
  void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using UniqueFile = std::unique_ptr<std::FILE, StreamCloser>;

// std::fopen; empty when the file cannot be opened (errno says why).
inline UniqueFile OpenUniqueFile(const std::string& path, const char* mode) {
  return UniqueFile(std::fopen(path.c_str(), mode));
}

}  // namespace brackenfold

#endif  // BRACKENFOLD_PLATFORM_UNIQUE_FILE_H_
