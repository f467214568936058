// A BlobStream over bytes in memory for the blob tests, counting what the
// reader asks of it.
#ifndef BRACKENFOLD_TESTS_BLOB_BLOB_STREAM_FIXTURE_H_
#define BRACKENFOLD_TESTS_BLOB_BLOB_STREAM_FIXTURE_H_

#include <cstring>
#include <string>

#include "blob/blob_reader.h"

namespace brackenfold {

class MemoryBlob {
 public:
  explicit MemoryBlob(std::string bytes) : bytes_(std::move(bytes)) {}

  BlobStream stream() { return BlobStream{&Read, &Seek, &Tell, this}; }
  std::size_t reads() const { return reads_; }

 private:
  static std::size_t Read(void* handle, void* buffer, std::size_t count) {
    auto* self = static_cast<MemoryBlob*>(handle);
    ++self->reads_;
    if (self->position_ >= self->bytes_.size()) return 0;
    std::size_t left = self->bytes_.size() - self->position_;
    if (count > left) count = left;
    std::memcpy(buffer, self->bytes_.data() + self->position_, count);
    self->position_ += count;
    return count;
  }
  static bool Seek(void* handle, std::uint32_t position) {
    static_cast<MemoryBlob*>(handle)->position_ = position;
    return true;
  }
  static std::uint32_t Tell(void* handle) {
    return static_cast<std::uint32_t>(
        static_cast<MemoryBlob*>(handle)->position_);
  }

  std::string bytes_;
  std::size_t position_ = 0;
  std::size_t reads_ = 0;
};

}  // namespace brackenfold

#endif  // BRACKENFOLD_TESTS_BLOB_BLOB_STREAM_FIXTURE_H_
