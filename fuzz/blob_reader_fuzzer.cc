// Fuzzes BlobReader::Open and ExtractFork. The first byte chooses the mode:
// with bit 3 clear, the rest is a whole blob, opened with the check (None,
// Digest, Signature) of byte % 3, skipped when bit 2 is set, and its forks are
// extracted. With bit 3 set, the rest is "<compressed size, 4 bytes LE>
// <uncompressed size, 4 bytes LE><fork data>" and the blob around that one
// fork is built here, so that inflate sees the bytes directly. The recorded
// sizes are limits: no sink receives more than the uncompressed size, and
// the reader never reads past the compressed size. Run with tight
// -rss_limit_mb and -malloc_limit_mb, so that a decompression bomb fails too.
#include <cstddef>
#include <cstdint>
#include <string>

#include "blob/blob_reader.h"
#include "fuzz/fuzz_support.h"

namespace brackenfold {
namespace {

struct Count {
  std::uint64_t total = 0, announced = 0;
};

bool CountWithinAnnounced(void* context, const char* bytes, std::size_t count) {
  auto* sink = static_cast<Count*>(context);
  BF_FUZZ_CHECK(bytes != nullptr && count >= 1 && count <= 8192);
  sink->total += count;
  BF_FUZZ_CHECK(sink->total <= sink->announced);
  return true;
}

// Extracts one fork; a successful extraction delivered the recorded size.
bool Extract(BlobReader& reader, const std::string& file,
             const std::string& fork, std::uint32_t uncompressed) {
  Count count{0, uncompressed};
  const bool extracted =
      reader.ExtractFork(&CountWithinAnnounced, &count, file, fork);
  BF_FUZZ_CHECK(!extracted || count.total == uncompressed);
  return extracted;
}

void OneFork(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return;
  std::uint32_t sizes[2];
  for (int i = 0; i < 2; ++i, data += 4) {  // number lines hold 31 bits
    sizes[i] = (data[0] | data[1] << 8 | data[2] << 16 |
                std::uint32_t{data[3]} << 24) &
               0x7FFFFFFF;
  }
  MemoryBlob memory("VantoriumBlob\n1\n0\nTOC \nFILE\nf\n1\nALL_MAIN\n0\n" +
                    std::to_string(sizes[0]) + "\n" + std::to_string(sizes[1]) +
                    "\nDATA\n" +
                    std::string(reinterpret_cast<const char*>(data), size - 8));
  BlobReader reader(memory.stream());
  BF_FUZZ_CHECK(reader.Open(BlobCheck::None, false));
  Extract(reader, "f", kMainFork, sizes[1]);
  BF_FUZZ_CHECK(memory.read_since_seek() <= sizes[0]);
}

void WholeBlob(std::uint8_t mode, const std::uint8_t* data, std::size_t size) {
  MemoryBlob memory(std::string(reinterpret_cast<const char*>(data), size));
  BlobReader reader(memory.stream());
  const bool opened =
      reader.Open(static_cast<BlobCheck>(mode % 3), (mode & 0x04) != 0);
  int extractions = 0;
  for (const auto& [name, file] : reader.GetFiles()) {
    for (const auto& [fork_name, fork] : file.forks) {
      BF_FUZZ_CHECK(reader.HasFork(name, fork_name) == opened);
      // More than a few extractions add little, and a recorded size above
      // 1 MiB would only spend time.
      if (++extractions > 64 || fork.uncompressed_size > (1u << 20)) continue;
      BF_FUZZ_CHECK(!Extract(reader, name, fork_name, fork.uncompressed_size) ||
                    opened);
    }
  }
}

}  // namespace
}  // namespace brackenfold

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 1) return 0;
  if (data[0] & 0x08) {
    brackenfold::OneFork(data + 1, size - 1);
  } else {
    brackenfold::WholeBlob(data[0], data + 1, size - 1);
  }
  return 0;
}
