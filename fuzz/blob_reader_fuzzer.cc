// Fuzzes BlobReader::Open and ExtractFork. The first byte is the mode: the
// check (None, Digest, Signature) of byte % 3, skipped when bit 2 is set; the
// rest is the blob, and its forks are extracted. The recorded sizes are
// limits: no sink receives more than the uncompressed size, and the reader
// never reads past the compressed size. Run with tight -rss_limit_mb and
// -malloc_limit_mb, so that a decompression bomb fails too.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#include "blob/blob_reader.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace brackenfold;
  if (size < 1) return 0;
  MemoryBlob memory(
      std::string(reinterpret_cast<const char*>(data + 1), size - 1));
  BlobReader reader(memory.stream());
  const bool opened =
      reader.Open(static_cast<BlobCheck>(data[0] % 3), (data[0] & 0x04) != 0);
  // Bytes received so far, and the uncompressed size recorded.
  auto count = [](void* context, const char*, std::size_t bytes) {
    auto* sink = static_cast<std::pair<std::uint64_t, std::uint64_t>*>(context);
    sink->first += bytes;
    BF_FUZZ_CHECK(sink->first <= sink->second);
    return true;
  };
  int extractions = 0;
  for (const auto& [name, file] : reader.GetFiles()) {
    for (const auto& [fork_name, fork] : file.forks) {
      // A few extractions are enough; a recorded size above 1 MiB would
      // only spend time.
      if (++extractions > 64 || fork.uncompressed_size > (1u << 20)) continue;
      std::pair<std::uint64_t, std::uint64_t> sink{0, fork.uncompressed_size};
      memory.stream().seek(&memory, 0);  // counts from here
      const bool extracted = reader.ExtractFork(count, &sink, name, fork_name);
      BF_FUZZ_CHECK(!extracted ||
                    (opened && sink.first == fork.uncompressed_size));
      BF_FUZZ_CHECK(memory.read_since_seek() <= fork.compressed_size);
    }
  }
  return 0;
}
