// Fuzzes the reading of the store's index file on the input's bytes.
// IndexReader must hand back only entries that WriteIndexEntry writes again
// and that read back the same: the installer rewrites the whole index after
// every installation, so an entry that reads but cannot be written would
// block the store for good. Only an entry holding a NUL byte is refused by the
// writer (the installer then keeps such an index as it is).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "store/index_file.h"

namespace brackenfold {
namespace {

const std::string kScratch = "/tmp/bf-index-fuzz-" + std::to_string(getpid());

std::vector<IndexEntry> WriteAndRead(const std::string& bytes) {
  std::FILE* file = std::fopen(kScratch.c_str(), "wb");
  BF_FUZZ_CHECK(file != nullptr);
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  BF_FUZZ_CHECK(std::fclose(file) == 0);
  std::vector<IndexEntry> entries;
  IndexReader reader;
  BF_FUZZ_CHECK(reader.Open(FilePath(kScratch)));
  std::remove(kScratch.c_str());  // read through the open file
  IndexEntry entry;
  while (reader.ReadEntry(&entry.id, &entry.version, &entry.files)) {
    entries.push_back(entry);
  }
  return entries;
}

bool StringSink(void* context, const char* bytes, std::size_t count) {
  static_cast<std::string*>(context)->append(bytes, count);
  return true;
}

}  // namespace
}  // namespace brackenfold

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace brackenfold;
  const std::vector<IndexEntry> entries =
      WriteAndRead(std::string(reinterpret_cast<const char*>(data), size));
  std::string written;
  for (const IndexEntry& entry : entries) {
    BF_FUZZ_CHECK(!entry.id.empty());
    bool nul = entry.id.find('\0') != std::string::npos;
    for (const auto& [registered_name, stored] : entry.files) {
      nul = nul || (registered_name + stored).find('\0') != std::string::npos;
    }
    BF_FUZZ_CHECK(WriteIndexEntry(entry, StringSink, &written) == !nul);
    if (nul) return 0;
  }
  const std::vector<IndexEntry> again = WriteAndRead(written);
  BF_FUZZ_CHECK(again.size() == entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    BF_FUZZ_CHECK(again[i].id == entries[i].id &&
                  again[i].version == entries[i].version &&
                  again[i].files == entries[i].files);
  }
  return 0;
}
