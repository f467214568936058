// What the fuzz targets share: a stop for a broken invariant, which libFuzzer
// reports as a crash, and the in-memory BlobStream of the blob tests.
#ifndef BRACKENFOLD_FUZZ_FUZZ_SUPPORT_H_
#define BRACKENFOLD_FUZZ_FUZZ_SUPPORT_H_

#include <cstdio>
#include <cstdlib>

#include "tests/blob/blob_stream_fixture.h"

namespace brackenfold {
namespace fuzz {

[[noreturn]] inline void Broken(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

#define BF_FUZZ_CHECK(condition) \
  ((condition) ? (void)0 : ::brackenfold::fuzz::Broken(#condition))

}  // namespace fuzz
}  // namespace brackenfold

#endif  // BRACKENFOLD_FUZZ_FUZZ_SUPPORT_H_
