#include "platform/env_posix_store_files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace brackenfold {

namespace {

// A descriptor closed when it goes.
class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  ~Descriptor() { Reset(); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

// The error of a failed open of a part that should not be a link: ELOOP is
// what O_NOFOLLOW gives for a link; ENOTDIR may be a link to a non-directory
// as well, which the part's own status tells.
int LinkAwareError(int dir, const std::string& part, int error) {
  if (error == ELOOP) return kErrnoLink;
  struct stat st;
  if (::fstatat(dir, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(st.st_mode)) {
    return kErrnoLink;
  }
  return error;
}

// Opens directory, then every part of name but the last from it with
// O_NOFOLLOW | O_DIRECTORY; the descriptor of the last part's directory, or
// -1 with *error set. *leaf receives the last part.
int OpenParent(const std::string& directory, const std::string& name,
               std::string* leaf, int* error) {
  Descriptor dir(::open(directory.empty() ? "." : directory.c_str(),
                        O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) {
    *error = errno;
    return -1;
  }
  std::size_t start = 0;
  for (;;) {
    std::size_t slash = name.find('/', start);
    if (slash == std::string::npos) break;
    std::string part = name.substr(start, slash - start);
    start = slash + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      *error = EACCES;
      return -1;
    }
    int next = ::openat(dir.get(), part.c_str(),
                        O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      *error = LinkAwareError(dir.get(), part, errno);
      return -1;
    }
    dir.Reset(next);
  }
  *leaf = name.substr(start);
  if (leaf->empty() || *leaf == "." || *leaf == "..") {
    *error = EISDIR;
    return -1;
  }
  return dir.Release();
}

// The lock is an advisory flock on the open file. Release unlinks the file
// before closing it; an acquirer that locked a file which was unlinked in the
// meantime sees that the inode at the name is no longer its own and gives the
// attempt up, so two holders never hold two different files of one name.
class PosixLockFile : public HeldLockFile {
 public:
  PosixLockFile(int dir, std::string name, int fd)
      : dir_(dir), name_(std::move(name)), fd_(fd) {}
  PosixLockFile(const PosixLockFile&) = delete;
  PosixLockFile& operator=(const PosixLockFile&) = delete;
  ~PosixLockFile() override {
    ::unlinkat(dir_, name_.c_str(), 0);
    ::close(fd_);
    ::close(dir_);
  }

 private:
  int dir_;
  std::string name_;
  int fd_;
};

}  // namespace

int PosixCreateFileIn(const std::string& directory, const std::string& name,
                      std::FILE** stream) {
  *stream = nullptr;
  std::string leaf;
  int error = 0;
  Descriptor dir(OpenParent(directory, name, &leaf, &error));
  if (dir.get() < 0) return error;
  // O_EXCL never opens what is there, a dangling link included.
  Descriptor fd(::openat(dir.get(), leaf.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH));
  if (fd.get() < 0) return errno;
  *stream = ::fdopen(fd.get(), "wb");
  if (*stream == nullptr) return errno;
  fd.Release();
  return 0;
}

int PosixOpenFileIn(const std::string& directory, const std::string& name,
                    const char* mode, std::FILE** stream) {
  *stream = nullptr;
  std::string leaf;
  int error = 0;
  Descriptor dir(OpenParent(directory, name, &leaf, &error));
  if (dir.get() < 0) return error;
  // O_NONBLOCK: a FIFO put there must not stall the open.
  Descriptor fd(::openat(dir.get(), leaf.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return LinkAwareError(dir.get(), leaf, errno);
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) return errno;
  if (!S_ISREG(st.st_mode)) return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
  ::fcntl(fd.get(), F_SETFL, 0);
  *stream = ::fdopen(fd.get(), mode);
  if (*stream == nullptr) return errno;
  fd.Release();
  return 0;
}

EntryKind PosixKindIn(const std::string& directory, const std::string& name) {
  std::string leaf;
  int error = 0;
  Descriptor dir(OpenParent(directory, name, &leaf, &error));
  if (dir.get() < 0) {
    return error == ENOENT ? EntryKind::kNone : EntryKind::kOther;
  }
  struct stat st;
  if (::fstatat(dir.get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? EntryKind::kNone : EntryKind::kOther;
  }
  if (S_ISREG(st.st_mode)) return EntryKind::kFile;
  if (S_ISDIR(st.st_mode)) return EntryKind::kDirectory;
  return EntryKind::kOther;
}

bool PosixRemoveFileIn(const std::string& directory, const std::string& name) {
  std::string leaf;
  int error = 0;
  Descriptor dir(OpenParent(directory, name, &leaf, &error));
  if (dir.get() < 0) return error == ENOENT;
  return ::unlinkat(dir.get(), leaf.c_str(), 0) == 0 || errno == ENOENT;
}

int PosixMoveFileIn(const std::string& directory, const std::string& from,
                    const std::string& to) {
  std::string from_leaf, to_leaf;
  int error = 0;
  Descriptor from_dir(OpenParent(directory, from, &from_leaf, &error));
  Descriptor to_dir(OpenParent(directory, to, &to_leaf, &error));
  if (from_dir.get() < 0 || to_dir.get() < 0) return error;
  // rename replaces a link at to itself; it never writes through one.
  if (::renameat(from_dir.get(), from_leaf.c_str(), to_dir.get(),
                 to_leaf.c_str()) != 0) {
    return errno;
  }
  ::fsync(to_dir.get());
  return 0;
}

std::unique_ptr<HeldLockFile> PosixCreateLockFileIn(
    const std::string& directory, const std::string& name, int* error) {
  *error = 0;
  std::string leaf;
  Descriptor dir(OpenParent(directory, name, &leaf, error));
  if (dir.get() < 0) return nullptr;
  // A new lock file is made exclusively; one left behind (its holder gone,
  // or held right now) is opened only when it is a plain file of one name.
  Descriptor fd(::openat(dir.get(), leaf.c_str(),
                         O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH));
  if (fd.get() < 0 && errno == EEXIST) {
    fd.Reset(::openat(dir.get(), leaf.c_str(),
                      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (fd.get() < 0) {
      // Gone meanwhile (released) is a busy lock, not an error.
      if (errno != ENOENT) *error = LinkAwareError(dir.get(), leaf, errno);
      return nullptr;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_nlink > 1) {
      *error = kErrnoLink;
      return nullptr;
    }
  }
  if (fd.get() < 0) {
    *error = errno;
    return nullptr;
  }
  struct stat mine, there;
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 ||
      ::fstat(fd.get(), &mine) != 0 ||
      ::fstatat(dir.get(), leaf.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 ||
      mine.st_ino != there.st_ino || mine.st_dev != there.st_dev) {
    return nullptr;
  }
  int dir_fd = dir.Release();
  return std::make_unique<PosixLockFile>(dir_fd, leaf, fd.Release());
}
}  // namespace brackenfold
