// A BlobStream over bytes in memory, for the blob and component tests and the
// fuzz targets. A seek anywhere succeeds; reads beyond the end give 0 bytes,
// as fread after fseek does.
#ifndef BRACKENFOLD_TESTS_BLOB_BLOB_STREAM_FIXTURE_H_
#define BRACKENFOLD_TESTS_BLOB_BLOB_STREAM_FIXTURE_H_

#include <algorithm>
#include <cstring>
#include <string>

#include "blob/blob_reader.h"

namespace brackenfold {

class MemoryBlob {
 public:
  explicit MemoryBlob(std::string bytes) : bytes_(std::move(bytes)) {}

  BlobStream stream() { return BlobStream{&Read, &Seek, &Tell, this}; }
  // Bytes handed out since the last seek.
  std::size_t read_since_seek() const { return read_since_seek_; }

 private:
  static std::size_t Read(void* handle, void* buffer, std::size_t count) {
    auto* self = static_cast<MemoryBlob*>(handle);
    const std::size_t size = self->bytes_.size(), at = self->position_;
    count = at >= size ? 0 : std::min(count, size - at);
    std::memcpy(buffer, self->bytes_.data() + std::min(at, size), count);
    self->position_ += count;
    self->read_since_seek_ += count;
    return count;
  }
  static bool Seek(void* handle, std::uint32_t position) {
    auto* self = static_cast<MemoryBlob*>(handle);
    self->position_ = position;
    self->read_since_seek_ = 0;
    return true;
  }
  static std::uint32_t Tell(void* handle) {
    return static_cast<std::uint32_t>(
        static_cast<MemoryBlob*>(handle)->position_);
  }

  std::string bytes_;
  std::size_t position_ = 0, read_since_seek_ = 0;
};

}  // namespace brackenfold

#endif  // BRACKENFOLD_TESTS_BLOB_BLOB_STREAM_FIXTURE_H_
