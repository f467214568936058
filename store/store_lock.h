// The store lock: whoever holds the lock file beside a store's index (the
// index path followed by ".lock") holds the store. AcquireStoreLock tries every
// 100 ms until the time-out; the lock file disappears when released or when
// the holder dies. The lock file is made exclusively below the store
// directory and never opened through a link. StoreLockGuard releases on every
// way out of a scope.
#ifndef BRACKENFOLD_STORE_STORE_LOCK_H_
#define BRACKENFOLD_STORE_STORE_LOCK_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/env.h"
#include "store/file_path.h"

namespace brackenfold {

struct StoreLock {
  std::unique_ptr<HeldLockFile> file;
};

inline constexpr std::uint32_t kInstallLockTimeoutMs = 1000;
inline constexpr std::uint32_t kSearchLockTimeoutMs = 250;

// Null when the index's directory is missing or the time ran out, and at
// once when the lock's name is a link or not a plain file; why (optional)
// then says which.
StoreLock* AcquireStoreLock(const FilePath& index_path,
                            std::uint32_t timeout_ms,
                            std::string* why = nullptr);
void ReleaseStoreLock(StoreLock* lock);

class StoreLockGuard {
 public:
  explicit StoreLockGuard(StoreLock* lock = nullptr) : lock_(lock) {}
  ~StoreLockGuard() { Release(); }
  StoreLockGuard(const StoreLockGuard&) = delete;
  StoreLockGuard& operator=(const StoreLockGuard&) = delete;
  void Release() {
    if (lock_) ReleaseStoreLock(lock_);
    lock_ = nullptr;
  }
  bool held() const { return lock_ != nullptr; }

 private:
  StoreLock* lock_;
};

}  // namespace brackenfold

#endif  // BRACKENFOLD_STORE_STORE_LOCK_H_
