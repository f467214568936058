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
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "store/index_file.h"

namespace brackenfold {
namespace {

// Memory-backed when the system has /dev/shm; removed at exit.
const std::string& ScratchPath() {
  static const std::string path =
      std::string(::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") +
      "/bf-index-fuzz-" + std::to_string(::getpid());
  return path;
}

void RemoveScratchFile() { std::remove(ScratchPath().c_str()); }

bool WriteBytes(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written =
      std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

std::vector<IndexEntry> ReadAll(const std::string& path) {
  std::vector<IndexEntry> entries;
  IndexReader reader;
  BF_FUZZ_CHECK(reader.Open(FilePath(path)));
  IndexEntry entry;
  while (reader.ReadEntry(&entry.id, &entry.version, &entry.files)) {
    entries.push_back(entry);
    BF_FUZZ_CHECK(entries.size() <= 100000);  // the reader stops
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
  static const int registered = std::atexit(RemoveScratchFile);
  (void)registered;
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  if (!WriteBytes(ScratchPath(), bytes)) return 0;
  const std::vector<IndexEntry> entries = ReadAll(ScratchPath());
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
  if (!WriteBytes(ScratchPath(), written)) return 0;
  const std::vector<IndexEntry> again = ReadAll(ScratchPath());
  BF_FUZZ_CHECK(again.size() == entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    BF_FUZZ_CHECK(again[i].id == entries[i].id &&
                  again[i].version == entries[i].version &&
                  again[i].files == entries[i].files);
  }
  return 0;
}
