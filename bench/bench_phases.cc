// bench_phases STORE BLOB...: installs the blobs into STORE as bfold install
// does (the store itself is searched for installed components), calling the
// same steps as InstallComponents one by one with a clock around each, and
// prints where the time went:
//   signature  the one open of every blob (file open, digest, signature
//              check, descriptor reads) and the prerequisite check
//   index      installed-component search, lock, index rewrite
//   files      unique names and payload extraction into the store
// as one line "phases blobs=N signature=S index=S files=S other=S total=S"
// (seconds). Exit status 0, or 1 when a step fails.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "component/component_blob.h"
#include "component/component_install.h"
#include "component/prerequisite_check.h"
#include "store/index_file.h"
#include "store/installed_components.h"
#include "store/store_lock.h"

namespace {

using namespace brackenfold;  // NOLINT: a benchmark driver of the library
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

int Fail(const char* step) {
  std::fprintf(stderr, "bench_phases: %s failed\n", step);
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_phases STORE BLOB...\n");
    return 2;
  }
  const std::string store_text = std::string(argv[1]) + "/";
  const FilePath store(store_text);
  std::vector<FilePath> blobs(argv + 2, argv + argc);
  Clock::duration signature{}, index{}, files{};
  const Clock::time_point start = Clock::now();

  // The store counts as installed, as bfold install arranges it.
  Clock::time_point t = Clock::now();
  const InstalledComponents installed = SearchInstalledComponents({store});
  index += Clock::now() - t;

  // Every blob opened and checked once, then the prerequisite check.
  t = Clock::now();
  std::vector<OpenedBlob> opened;
  if (!OpenBlobs(blobs, &opened, nullptr)) return Fail("blob open");
  if (!CheckPrerequisites(installed, opened, nullptr)) {
    return Fail("prerequisites");
  }
  signature += Clock::now() - t;

  // Installation: lock, the open blobs installed, the index streamed into
  // its rewrite.
  if (!store.MakeDirectory()) return Fail("store directory");
  t = Clock::now();
  FilePath index_path(store);
  index_path.AppendFile(kIndexFileName);
  StoreLock lock = AcquireStoreLock(index_path, kInstallLockTimeoutMs);
  if (!lock.held()) return Fail("store lock");
  IndexReader old_index;
  if (index_path.Exists() && old_index.OpenInStore(index_path) != 0) {
    return Fail("index open");
  }
  std::vector<IndexEntry> added;
  index += Clock::now() - t;
  t = Clock::now();
  for (OpenedBlob& blob : opened) {
    IndexEntry entry;
    entry.id = blob.blob->GetId();
    entry.version = blob.blob->GetVersion();
    std::string init_library;
    if (!blob.blob->Install(store, entry.files, init_library)) {
      return Fail("blob install");
    }
    added.push_back(std::move(entry));
  }
  files += Clock::now() - t;
  t = Clock::now();
  if (!ReplaceIndexFile(index_path, &old_index, added)) {
    return Fail("index rewrite");
  }
  lock.Release();
  index += Clock::now() - t;

  const Clock::duration total = Clock::now() - start;
  std::printf(
      "phases blobs=%zu signature=%.6f index=%.6f files=%.6f other=%.6f "
      "total=%.6f\n",
      blobs.size(), Seconds(signature), Seconds(index), Seconds(files),
      Seconds(total - signature - index - files), Seconds(total));
  return 0;
}
