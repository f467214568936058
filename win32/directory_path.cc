#include "win32/directory_path.h"

#include <cstring>

#include "platform/env.h"
#include "platform/win_types.h"
#include "win32/fatal_error.h"

namespace brackenfold {

void CreateDirectoryPath(const std::string& path) {
  const std::string invalid =
      "Unable to create directory '" + path + "' because the path is invalid.";
  std::string text = path;
  if (!text.empty() && text.back() == '\\') text.pop_back();
  // Cutting a longer path would create a directory of another name.
  if (text.size() > static_cast<std::size_t>(kMaxPath)) BF_FATAL_ERROR(invalid);
  char buffer[kMaxPath + 1];
  std::memcpy(buffer, text.c_str(), text.size() + 1);

  const bool network = buffer[0] == '\\' && buffer[1] == '\\';
  // The leading components (drive, or server and share) are never created.
  std::string directory;
  const char* first = std::strtok(buffer, "\\/");
  if (network) {
    const char* share =
        first != nullptr ? std::strtok(nullptr, "\\/") : nullptr;
    if (share == nullptr) BF_FATAL_ERROR(invalid);
    directory = std::string("\\\\") + first + "\\" + share;
  } else {
    if (first == nullptr) BF_FATAL_ERROR(invalid);
    directory = first;
  }
  for (const char* part = std::strtok(nullptr, "\\/"); part != nullptr;
       part = std::strtok(nullptr, "\\/")) {
    directory += '\\';
    directory += part;
    CreateOneDirectory(directory);
  }
}

void CreateOneDirectory(const std::string& directory) {
  // Worked on as a MAX_PATH text: longer ones are cut.
  std::string buffer = directory.substr(0, kMaxPath);
  while (!buffer.empty() && buffer.back() == '\\') buffer.pop_back();

  Env& env = CurrentEnv();
  const PathStatus status = env.Stat(buffer);
  if (status.error == 0) {
    if (status.is_directory) return;
    BF_FATAL_ERROR("Unable to create directory '" + buffer +
                   "' because a file with that name already exists.");
  }
  if (status.error != kErrnoNoEntry) {
    BF_FATAL_ERROR("Unable to determine if the directory '" + buffer +
                   "' already exists.");
  }
  if (!env.NewDirectory(buffer)) {
    BF_FATAL_SYSTEM_ERROR("Unable to create the directory '" + buffer + "'.",
                          env.LastError());
  }
}

}  // namespace brackenfold
