#include "store/store_lock.h"

#include <string>
#include <utility>

namespace brackenfold {

StoreLock AcquireStoreLock(const FilePath& index_path, std::uint32_t timeout_ms,
                           std::string* why) {
  Env& env = CurrentEnv();
  const std::uint32_t start = env.TickCount();

  // No lock file is ever made in a directory that is not there.
  FilePath directory(index_path);
  directory.ToParent();
  bool is_directory = false;
  if (!directory.Exists(&is_directory) || !is_directory) {
    if (why) *why = "the store directory does not exist";
    return StoreLock();
  }

  std::string store, name;
  SplitStorePath(FilePath(index_path.PathText() + ".lock"), &store, &name);
  for (;;) {
    int error = 0;
    std::unique_ptr<HeldLockFile> file =
        env.CreateLockFileIn(store, name, &error);
    if (file) return StoreLock(std::move(file));
    if (error == kErrnoLink) {
      if (why) {
        *why = "the lock file '" + index_path.PathText() +
               ".lock' is a link or not a plain file";
      }
      return StoreLock();
    }
    env.SleepMs(100);
    // Unsigned difference: a wrap of the tick count does no harm.
    if (env.TickCount() - start >= timeout_ms) {
      if (why) *why = "the store is locked by another process";
      return StoreLock();
    }
  }
}

}  // namespace brackenfold
