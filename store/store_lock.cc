#include "store/store_lock.h"

#include <string>
#include <utility>

namespace brackenfold {

StoreLock* AcquireStoreLock(const FilePath& index_path,
                            std::uint32_t timeout_ms) {
  Env& env = CurrentEnv();
  const std::uint32_t start = env.TickCount();

  // No lock file is ever made in a directory that is not there.
  FilePath directory(index_path);
  directory.ToParent();
  bool is_directory = false;
  if (!directory.Exists(&is_directory) || !is_directory) return nullptr;

  const std::string lock_path = index_path.PathText() + ".lock";
  for (;;) {
    std::unique_ptr<HeldLockFile> file = env.CreateLockFile(lock_path);
    if (file) return new StoreLock{std::move(file)};
    env.SleepMs(100);
    // Unsigned difference: a wrap of the tick count does no harm.
    if (env.TickCount() - start >= timeout_ms) return nullptr;
  }
}

void ReleaseStoreLock(StoreLock* lock) { delete lock; }

}  // namespace brackenfold
