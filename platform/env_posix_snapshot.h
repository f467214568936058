// The POSIX stream behind Env::OpenStreamDenyWrite. Nothing on POSIX can
// shut writers out of a file, so the stream reads the file once, front to
// back, and keeps every byte read in a private copy that later reads (after a
// seek back) are served from: the bytes read stay those of the file as it
// was when first read, whatever happens to it meanwhile.
#ifndef BRACKENFOLD_PLATFORM_ENV_POSIX_SNAPSHOT_H_
#define BRACKENFOLD_PLATFORM_ENV_POSIX_SNAPSHOT_H_

#include <cstdio>

namespace brackenfold {

// A read-only stream over the file open at fd, which it takes over: fd is
// closed with the stream, or at once when the stream cannot be made (null).
std::FILE* OpenSnapshotStream(int fd);

}  // namespace brackenfold

#endif  // BRACKENFOLD_PLATFORM_ENV_POSIX_SNAPSHOT_H_
