// Fuzzes BlobReader::Open and ExtractFork. The first byte chooses the mode:
// with bit 3 clear, the rest is a whole blob, opened with the check (None,
// Digest, Signature) of byte % 3, skipped when bit 2 is set, and every fork of
// it is extracted. With bit 3 set, the rest is "<compressed size, 4 bytes LE>
// <uncompressed size, 4 bytes LE><fork data>" and the blob around that one
// fork is built here, so that inflate sees the bytes directly. The recorded
// sizes are limits: no sink receives more than the uncompressed size, a text
// no more than its own limit either, and the reader never reads past the
// compressed size. Run with tight -rss_limit_mb and -malloc_limit_mb, so that
// a decompression bomb fails even where an invariant would not.
#include <cstddef>
#include <cstdint>
#include <string>

#include "blob/blob_reader.h"
#include "fuzz/fuzz_support.h"

namespace brackenfold {
namespace {

// Counts what it is given, checking the recorded size as it goes; refuses
// past cap, so that a small input cannot make a target inflate gigabytes.
struct Count {
  std::uint64_t total = 0, announced = 0, cap = 0;
};

bool CountWithinAnnounced(void* context, const char* bytes, std::size_t count) {
  auto* sink = static_cast<Count*>(context);
  BF_FUZZ_CHECK(bytes != nullptr && count >= 1 && count <= 8192);
  sink->total += count;
  BF_FUZZ_CHECK(sink->total <= sink->announced);
  return sink->total <= sink->cap;
}

bool CountWalk(void* context, const std::string&, const char* fork,
               std::uint32_t, std::uint32_t) {
  ++static_cast<std::size_t*>(context)[fork == nullptr ? 0 : 1];
  return true;
}

std::uint32_t Little31(const std::uint8_t* at) {  // number lines hold 31 bits
  return (at[0] | at[1] << 8 | at[2] << 16 | std::uint32_t{at[3]} << 24) &
         0x7FFFFFFF;
}

void OneFork(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return;
  const std::uint32_t compressed = Little31(data);
  const std::uint32_t uncompressed = Little31(data + 4);
  MemoryBlob memory(
      "VantoriumBlob\n1\n0\nTOC \nFILE\nf\n1\nALL_MAIN\n0\n" +
      std::to_string(compressed) + "\n" + std::to_string(uncompressed) +
      "\nDATA\n" +
      std::string(reinterpret_cast<const char*>(data + 8), size - 8));
  BlobReader reader(memory.stream());
  BF_FUZZ_CHECK(reader.Open(BlobCheck::None, false));
  Count count{0, uncompressed, uncompressed};
  const bool extracted =
      reader.ExtractFork(&CountWithinAnnounced, &count, "f", kMainFork);
  BF_FUZZ_CHECK(memory.read_since_seek() <= compressed);
  BF_FUZZ_CHECK(!extracted || count.total == uncompressed);
  std::string text;
  TextSinkContext context{&text};
  const bool as_text = reader.ExtractFork(&TextSink, &context, "f", kMainFork);
  BF_FUZZ_CHECK(memory.read_since_seek() <= compressed);
  BF_FUZZ_CHECK(text.size() <= uncompressed && text.size() <= kMaxTextSinkSize);
  BF_FUZZ_CHECK(as_text == (extracted && uncompressed <= kMaxTextSinkSize));
  BF_FUZZ_CHECK(!as_text || text.size() == uncompressed);
}

void WholeBlob(std::uint8_t mode, const std::uint8_t* data, std::size_t size) {
  MemoryBlob memory(std::string(reinterpret_cast<const char*>(data), size));
  BlobReader reader(memory.stream());
  const bool opened =
      reader.Open(static_cast<BlobCheck>(mode % 3), (mode & 0x04) != 0);
  BF_FUZZ_CHECK(opened == reader.IsLoaded());
  std::size_t walked[2] = {0, 0}, forks = 0, extractions = 0;
  reader.EnumerateForks(CountWalk, walked);
  for (const auto& [name, file] : reader.GetFiles()) {
    BF_FUZZ_CHECK(name == file.name);
    for (const auto& [fork_name, fork] : file.forks) {
      BF_FUZZ_CHECK(fork_name == fork.name);
      BF_FUZZ_CHECK(reader.HasFork(name, fork_name) == opened);
      ++forks;
      if (++extractions > 64) continue;  // more adds little and costs time
      Count sink{0, fork.uncompressed_size, 1 << 20};
      const bool extracted =
          reader.ExtractFork(CountWithinAnnounced, &sink, name, fork_name);
      BF_FUZZ_CHECK(opened || (!extracted && sink.total == 0));
      BF_FUZZ_CHECK(!extracted || sink.total == fork.uncompressed_size);
    }
  }
  BF_FUZZ_CHECK(walked[0] == reader.GetFiles().size() && walked[1] == forks);
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
