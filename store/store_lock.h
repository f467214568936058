// The store lock: whoever holds the lock file beside a store's index (the
// index path followed by ".lock") holds the store. AcquireStoreLock tries every
// 100 ms until the time-out; the lock file disappears when released or when
// the holder dies. The lock file is made exclusively below the store
// directory and never opened through a link. A StoreLock is a move-only value
// that releases the lock when it goes, on every way out of a scope.
#ifndef BRACKENFOLD_STORE_STORE_LOCK_H_
#define BRACKENFOLD_STORE_STORE_LOCK_H_

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "platform/env.h"
#include "store/file_path.h"

namespace brackenfold {

class [[nodiscard]] StoreLock {
 public:
  StoreLock() = default;  // holds nothing
  explicit StoreLock(std::unique_ptr<HeldLockFile> file)
      : file_(std::move(file)) {}
  StoreLock(StoreLock&&) = default;
  StoreLock& operator=(StoreLock&&) = default;

  bool held() const { return file_ != nullptr; }
  void Release() { file_.reset(); }

 private:
  std::unique_ptr<HeldLockFile> file_;
};

inline constexpr std::uint32_t kInstallLockTimeoutMs = 1000;
inline constexpr std::uint32_t kSearchLockTimeoutMs = 250;

// Not held when the index's directory is missing or the time ran out, and at
// once when the lock's name is a link or not a plain file; why (optional)
// then says which.
StoreLock AcquireStoreLock(const FilePath& index_path, std::uint32_t timeout_ms,
                           std::string* why = nullptr);

}  // namespace brackenfold

#endif  // BRACKENFOLD_STORE_STORE_LOCK_H_
