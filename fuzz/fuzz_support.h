// What the fuzz targets share: a check whose failure libFuzzer reports as a
// crash (with the condition on stderr), and the in-memory BlobStream of the
// blob tests.
#ifndef BRACKENFOLD_FUZZ_FUZZ_SUPPORT_H_
#define BRACKENFOLD_FUZZ_FUZZ_SUPPORT_H_

#include <cstdio>
#include <cstdlib>

#include "tests/blob/blob_stream_fixture.h"

#define BF_FUZZ_CHECK(condition)                                               \
  ((condition) ? (void)0                                                       \
               : (std::fprintf(stderr, "fuzz check failed: %s\n", #condition), \
                  std::abort()))

#endif  // BRACKENFOLD_FUZZ_FUZZ_SUPPORT_H_
