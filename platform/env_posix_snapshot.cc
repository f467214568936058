#include "platform/env_posix_snapshot.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

namespace brackenfold {

namespace {

// The private copy behind the stream. The file is read once, front to back,
// and every byte read is appended to the copy: in memory while the copy is
// small, in an unnamed file of the temporary directory (O_TMPFILE, or a name
// unlinked at once) that only this process can reach once it is not.
// A read at a position already copied is served from the copy, so a seek back
// sees the bytes read the first time whatever happened to the file since.
constexpr std::size_t kSnapshotInMemory = 1 << 20;

class Snapshot {
 public:
  explicit Snapshot(int source) : source_(source) {}
  ~Snapshot() {
    if (source_ >= 0) ::close(source_);
    if (copy_ >= 0) ::close(copy_);
  }
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;

  ssize_t Read(char* buffer, std::size_t size) {
    if (size == 0) return 0;
    // Catch up with a position beyond the copy (a seek forward).
    char piece[65536];
    while (position_ > filled_ && source_ >= 0) {
      std::size_t want = static_cast<std::size_t>(
          std::min<std::uint64_t>(sizeof piece, position_ - filled_));
      ssize_t n = ReadSource(piece, want);
      if (n < 0) return -1;
    }
    if (position_ == filled_ && source_ >= 0) {
      ssize_t n = ReadSource(buffer, size);
      if (n > 0) position_ += static_cast<std::uint64_t>(n);
      return n;
    }
    if (position_ >= filled_) return 0;
    std::size_t n = static_cast<std::size_t>(
        std::min<std::uint64_t>(size, filled_ - position_));
    if (copy_ < 0) {
      std::memcpy(buffer, memory_.data() + position_, n);
    } else {
      ssize_t got;
      do {
        got = ::pread(copy_, buffer, n, static_cast<off_t>(position_));
      } while (got < 0 && errno == EINTR);
      if (got <= 0) return -1;
      n = static_cast<std::size_t>(got);
    }
    position_ += n;
    return static_cast<ssize_t>(n);
  }

  int Seek(off64_t* offset, int whence) {
    std::int64_t base = 0;
    if (whence == SEEK_CUR) {
      base = static_cast<std::int64_t>(position_);
    } else if (whence == SEEK_END) {
      char piece[65536];
      while (source_ >= 0) {
        if (ReadSource(piece, sizeof piece) < 0) return -1;
      }
      base = static_cast<std::int64_t>(filled_);
    } else if (whence != SEEK_SET) {
      return -1;
    }
    std::int64_t target = base + *offset;
    if (target < 0) return -1;
    position_ = static_cast<std::uint64_t>(target);
    *offset = target;
    return 0;
  }

 private:
  // Reads the next bytes of the file and appends them to the copy; closes
  // the file at its end. The count read, 0 at the end, -1 on an error.
  ssize_t ReadSource(char* buffer, std::size_t size) {
    ssize_t n;
    do {
      n = ::read(source_, buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n == 0) {
      ::close(source_);
      source_ = -1;
      return 0;
    }
    if (n < 0 || !Append(buffer, static_cast<std::size_t>(n))) return -1;
    filled_ += static_cast<std::uint64_t>(n);
    return n;
  }

  bool Append(const char* bytes, std::size_t count) {
    if (copy_ < 0 && memory_.size() + count <= kSnapshotInMemory) {
      memory_.append(bytes, count);
      return true;
    }
    if (copy_ < 0) {
      copy_ = OpenPrivateFile();
      if (copy_ < 0 || !WriteAll(memory_.data(), memory_.size())) return false;
      std::string().swap(memory_);
    }
    return WriteAll(bytes, count);
  }

  bool WriteAll(const char* bytes, std::size_t count) {
    while (count > 0) {
      ssize_t n = ::write(copy_, bytes, count);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      bytes += n;
      count -= static_cast<std::size_t>(n);
    }
    return true;
  }

  static int OpenPrivateFile() {
    const char* dir = std::getenv("TMPDIR");
    std::string directory = (dir && *dir) ? dir : "/tmp";
    int fd = -1;
#ifdef O_TMPFILE
    fd = ::open(directory.c_str(), O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC,
                S_IRUSR | S_IWUSR);
    if (fd >= 0) return fd;
#endif
    std::string name = directory + "/bfold-blob-XXXXXX";
    fd = ::mkostemp(&name[0], O_CLOEXEC);
    if (fd >= 0) ::unlink(name.c_str());
    return fd;
  }

  int source_;
  int copy_ = -1;
  std::string memory_;
  std::uint64_t filled_ = 0;
  std::uint64_t position_ = 0;
};

ssize_t SnapshotRead(void* cookie, char* buffer, size_t size) {
  return static_cast<Snapshot*>(cookie)->Read(buffer, size);
}
int SnapshotSeek(void* cookie, off64_t* offset, int whence) {
  return static_cast<Snapshot*>(cookie)->Seek(offset, whence);
}
int SnapshotClose(void* cookie) {
  delete static_cast<Snapshot*>(cookie);
  return 0;
}

}  // namespace

std::FILE* OpenSnapshotStream(int fd) {
  auto* snapshot = new Snapshot(fd);
  cookie_io_functions_t functions{SnapshotRead, nullptr, SnapshotSeek,
                                  SnapshotClose};
  std::FILE* stream = ::fopencookie(snapshot, "r", functions);
  if (stream == nullptr) delete snapshot;
  return stream;
}

}  // namespace brackenfold
