// Fuzzes ExtractFork on one fork whose recorded sizes the input chooses. The
// input is "<compressed size, 4 bytes LE><uncompressed size, 4 bytes LE>
// <fork data>"; the blob around it is built here with the fork at offset 0.
// The recorded sizes are limits: no sink may receive more than the
// uncompressed size, a text no more than its own limit as well, and the reader
// may not read past the compressed size. Run with tight -rss_limit_mb and
// -malloc_limit_mb, so that a decompression bomb fails even where an
// invariant would not.
#include <cstddef>
#include <cstdint>
#include <string>

#include "blob/blob_reader.h"
#include "fuzz/fuzz_support.h"

namespace brackenfold {
namespace {

// A sink without a limit of its own, checking the recorded size as it goes.
struct BoundedCount {
  std::uint64_t total = 0;
  std::uint64_t announced = 0;
};

bool CountWithinAnnounced(void* context, const char* bytes, std::size_t count) {
  auto* sink = static_cast<BoundedCount*>(context);
  BF_FUZZ_CHECK(bytes != nullptr);
  BF_FUZZ_CHECK(count >= 1 && count <= 8192);
  sink->total += count;
  BF_FUZZ_CHECK(sink->total <= sink->announced);
  return true;
}

std::uint32_t Little32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) |
         static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 |
         static_cast<std::uint32_t>(at[3]) << 24;
}

}  // namespace
}  // namespace brackenfold

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace brackenfold;
  if (size < 8) return 0;
  // Number lines hold at most 2147483647.
  const std::uint32_t compressed = Little32(data) & 0x7FFFFFFF;
  const std::uint32_t uncompressed = Little32(data + 4) & 0x7FFFFFFF;
  const std::string head =
      "VantoriumBlob\n1\n0\nTOC \nFILE\nf\n1\nALL_MAIN\n0\n" +
      std::to_string(compressed) + "\n" + std::to_string(uncompressed) +
      "\nDATA\n";
  std::string blob = head;
  blob.append(reinterpret_cast<const char*>(data + 8), size - 8);
  fuzz::MemoryBlobStream memory(
      reinterpret_cast<const std::uint8_t*>(blob.data()), blob.size());
  BlobReader reader(memory.stream());
  BF_FUZZ_CHECK(reader.Open(BlobCheck::None, false));

  BoundedCount count;
  count.announced = uncompressed;
  const bool extracted =
      reader.ExtractFork(&CountWithinAnnounced, &count, "f", kMainFork);
  BF_FUZZ_CHECK(memory.read_since_seek() <= compressed);
  if (extracted) BF_FUZZ_CHECK(count.total == uncompressed);

  std::string text;
  TextSinkContext context{&text};
  const bool as_text = reader.ExtractFork(&TextSink, &context, "f", kMainFork);
  BF_FUZZ_CHECK(memory.read_since_seek() <= compressed);
  BF_FUZZ_CHECK(text.size() <= uncompressed && text.size() <= kMaxTextSinkSize);
  BF_FUZZ_CHECK(as_text == (extracted && uncompressed <= kMaxTextSinkSize));
  if (as_text) BF_FUZZ_CHECK(text.size() == uncompressed);
  return 0;
}
