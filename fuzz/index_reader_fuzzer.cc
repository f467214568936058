// Fuzzes IndexReader on a compindx.dat of the input's bytes, and checks that
// every entry it hands back can be written again (WriteIndexEntry) and reads
// back as the same entry: the installer rewrites the whole index after every
// installation, so an entry that reads but cannot be written would block the
// store for good.
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

// Memory-backed when the system has /dev/shm: the target writes two files
// per input.
std::string ScratchPath(const char* what) {
  const char* directory = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return std::string(directory) + "/bf-index-fuzz-" +
         std::to_string(::getpid()) + "-" + what;
}

bool WriteBytes(const std::string& path, const std::string& bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  const bool written =
      std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return std::fclose(file) == 0 && written;
}

bool StringSink(void* context, const char* bytes, std::size_t count) {
  static_cast<std::string*>(context)->append(bytes, count);
  return true;
}

void RemoveScratchFiles() {
  std::remove(ScratchPath("in.dat").c_str());
  std::remove(ScratchPath("again.dat").c_str());
}

std::vector<IndexEntry> ReadAll(const std::string& path) {
  std::vector<IndexEntry> entries;
  IndexReader reader;
  if (!reader.Open(FilePath(path)))
    fuzz::Broken("cannot open the scratch index");
  IndexEntry entry;
  while (reader.ReadEntry(&entry.id, &entry.version, &entry.files)) {
    entries.push_back(entry);
    if (entries.size() > 100000) fuzz::Broken("the reader does not stop");
  }
  return entries;
}

bool HasNulByte(const IndexEntry& entry) {
  if (entry.id.find('\0') != std::string::npos) return true;
  for (const auto& [registered, stored] : entry.files) {
    if (registered.find('\0') != std::string::npos ||
        stored.find('\0') != std::string::npos) {
      return true;
    }
  }
  return false;
}

}  // namespace
}  // namespace brackenfold

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  using namespace brackenfold;
  static const std::string input_path = ScratchPath("in.dat");
  static const std::string again_path = ScratchPath("again.dat");
  static const int registered = std::atexit(RemoveScratchFiles);
  (void)registered;
  if (!WriteBytes(input_path,
                  std::string(reinterpret_cast<const char*>(data), size))) {
    return 0;
  }
  const std::vector<IndexEntry> entries = ReadAll(input_path);

  std::string written;
  for (const IndexEntry& entry : entries) {
    BF_FUZZ_CHECK(!entry.id.empty());
    // A NUL byte read from the file is delivered as it is, but the writer
    // refuses it (a name with a NUL cannot name a stored file): such an index
    // is kept unchanged rather than rewritten.
    if (HasNulByte(entry)) {
      BF_FUZZ_CHECK(!WriteIndexEntry(entry, StringSink, &written));
      return 0;
    }
    BF_FUZZ_CHECK(IndexEntryRoundTrips(entry));
    BF_FUZZ_CHECK(WriteIndexEntry(entry, StringSink, &written));
  }
  if (!WriteBytes(again_path, written)) return 0;
  const std::vector<IndexEntry> again = ReadAll(again_path);
  BF_FUZZ_CHECK(again.size() == entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    BF_FUZZ_CHECK(again[i].id == entries[i].id);
    BF_FUZZ_CHECK(again[i].version == entries[i].version);
    BF_FUZZ_CHECK(again[i].files == entries[i].files);
  }
  std::remove(again_path.c_str());
  return 0;
}
