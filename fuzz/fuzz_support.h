// Helpers shared by the fuzz targets: a BlobStream over bytes in memory, a
// ForkSink that counts what it is given (and refuses past a cap, so a small
// input cannot make a target inflate gigabytes), and a stop that every target
// uses when an invariant breaks, so libFuzzer reports it as a crash.
#ifndef BRACKENFOLD_FUZZ_FUZZ_SUPPORT_H_
#define BRACKENFOLD_FUZZ_FUZZ_SUPPORT_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "blob/blob_reader.h"

namespace brackenfold {
namespace fuzz {

[[noreturn]] inline void Broken(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

#define BF_FUZZ_CHECK(condition) \
  ((condition) ? (void)0 : ::brackenfold::fuzz::Broken(#condition))

// Reads are clamped to the bytes there are; a seek anywhere succeeds, and
// reads from beyond the end give 0 bytes, as fread after fseek does.
class MemoryBlobStream {
 public:
  MemoryBlobStream(const std::uint8_t* data, std::size_t size)
      : data_(data), size_(size) {}
  MemoryBlobStream(const MemoryBlobStream&) = delete;
  MemoryBlobStream& operator=(const MemoryBlobStream&) = delete;

  BlobStream stream() { return BlobStream{&Read, &Seek, &Tell, this}; }
  // Bytes handed out by reads since the last seek.
  std::size_t read_since_seek() const { return read_since_seek_; }

 private:
  static std::size_t Read(void* handle, void* buffer, std::size_t count) {
    auto* self = static_cast<MemoryBlobStream*>(handle);
    if (self->position_ >= self->size_) return 0;
    std::size_t left = self->size_ - self->position_;
    if (count > left) count = left;
    std::memcpy(buffer, self->data_ + self->position_, count);
    self->position_ += count;
    self->read_since_seek_ += count;
    return count;
  }
  static bool Seek(void* handle, std::uint32_t position) {
    auto* self = static_cast<MemoryBlobStream*>(handle);
    self->position_ = position;
    self->read_since_seek_ = 0;
    return true;
  }
  static std::uint32_t Tell(void* handle) {
    return static_cast<std::uint32_t>(
        static_cast<MemoryBlobStream*>(handle)->position_);
  }

  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
  std::size_t read_since_seek_ = 0;
};

struct CountingSinkContext {
  std::size_t total = 0;
  std::size_t cap = 0;
  std::size_t calls = 0;
};

inline bool CountingSink(void* context, const char* bytes, std::size_t count) {
  auto* sink = static_cast<CountingSinkContext*>(context);
  BF_FUZZ_CHECK(bytes != nullptr);
  BF_FUZZ_CHECK(count >= 1 && count <= 8192);
  ++sink->calls;
  sink->total += count;
  return sink->total <= sink->cap;
}

}  // namespace fuzz
}  // namespace brackenfold

#endif  // BRACKENFOLD_FUZZ_FUZZ_SUPPORT_H_
