// Fuzzes BlobReader::Open and ExtractFork on a whole blob. The first byte
// chooses the required check (None, Digest, Signature) and whether checks are
// skipped; the rest is the blob. Every fork of an opened blob is extracted.
#include <cstddef>
#include <cstdint>

#include "blob/blob_reader.h"
#include "fuzz/fuzz_support.h"

namespace brackenfold {
namespace {

struct WalkCount {
  std::size_t forks = 0;
  std::size_t files = 0;
};

bool CountWalk(void* context, const std::string&, const char* fork_name,
               std::uint32_t, std::uint32_t) {
  auto* count = static_cast<WalkCount*>(context);
  if (fork_name != nullptr) {
    ++count->forks;
  } else {
    ++count->files;
  }
  return true;
}

// Extraction of forks beyond this many adds little and costs time.
constexpr std::size_t kMaxExtractions = 64;
// Output beyond this per fork is refused by the sink.
constexpr std::size_t kOutputCap = 1 << 20;

}  // namespace
}  // namespace brackenfold

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace brackenfold;
  if (size < 1) return 0;
  const std::uint8_t mode = data[0];
  const auto check = static_cast<BlobCheck>(mode % 3);
  const bool skip_checks = (mode & 0x04) != 0;
  fuzz::MemoryBlobStream memory(data + 1, size - 1);
  BlobReader reader(memory.stream());
  const bool opened = reader.Open(check, skip_checks);
  BF_FUZZ_CHECK(opened == reader.IsLoaded());

  std::size_t fork_total = 0;
  for (const auto& [name, file] : reader.GetFiles()) {
    BF_FUZZ_CHECK(name == file.name);
    for (const auto& [fork_name, fork] : file.forks) {
      BF_FUZZ_CHECK(fork_name == fork.name);
      ++fork_total;
      BF_FUZZ_CHECK(reader.HasFork(name, fork_name) == opened);
    }
  }
  WalkCount walk;
  reader.EnumerateForks(CountWalk, &walk);
  BF_FUZZ_CHECK(walk.files == reader.GetFiles().size());
  BF_FUZZ_CHECK(walk.forks == fork_total);

  std::size_t extractions = 0;
  for (const auto& [name, file] : reader.GetFiles()) {
    for (const auto& [fork_name, fork] : file.forks) {
      if (++extractions > kMaxExtractions) return 0;
      fuzz::CountingSinkContext sink;
      sink.cap = fork.uncompressed_size < kOutputCap ? fork.uncompressed_size
                                                     : kOutputCap;
      const bool extracted =
          reader.ExtractFork(fuzz::CountingSink, &sink, name, fork_name);
      if (!opened) BF_FUZZ_CHECK(!extracted && sink.calls == 0);
      if (extracted) BF_FUZZ_CHECK(sink.total == fork.uncompressed_size);
    }
  }
  return 0;
}
