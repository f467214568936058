// The POSIX Env: what the Linux tools need. Files, exclusive creation, lock
// files and shared libraries are real; there is no registry (every key is
// missing), no window and no dialog, and a message box answers as if nobody
// were there to click (Cancel/No). Names below a store directory are resolved
// with openat from a descriptor of the store, part by part, with O_NOFOLLOW.
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "platform/env.h"

namespace brackenfold {

const char kPathSeparator = '/';

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

// The private copy behind OpenStreamDenyWrite. The file is read once, front
// to back, and every byte read is appended to the copy: in memory while the
// copy is small, in an unnamed file of the temporary directory (O_TMPFILE, or
// a name unlinked at once) that only this process can reach once it is not.
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

class PosixEnv : public Env {
 public:
  long CreateRegKey(RegKey, const std::string&, std::uint32_t,
                    RegKey* key) override {
    *key = 0;
    return win_error::kAccessDenied;
  }
  long OpenRegKey(RegKey, const std::string&, std::uint32_t,
                  RegKey* key) override {
    *key = 0;
    return win_error::kFileNotFound;
  }
  long QueryRegValue(RegKey, const std::string&, std::uint32_t*, void*,
                     std::uint32_t*) override {
    return win_error::kFileNotFound;
  }
  long SetRegValue(RegKey, const std::string&, std::uint32_t, const void*,
                   std::uint32_t) override {
    return win_error::kAccessDenied;
  }
  long EnumRegKey(RegKey, std::uint32_t, char*, std::uint32_t*) override {
    return win_error::kNoMoreItems;
  }
  long DeleteRegKey(RegKey, const std::string&) override {
    return win_error::kFileNotFound;
  }
  long CloseRegKey(RegKey) override { return win_error::kSuccess; }

  void EnumTopLevelWindows(WindowProc, void*) override {}
  std::string WindowTitle(WindowHandle, int) override { return {}; }
  std::string WindowClassName(WindowHandle, int) override { return {}; }
  WindowHandle FindWindowOfClass(const std::string&) override {
    return nullptr;
  }
  int ShowMessageBox(WindowHandle, const std::string&, const std::string&,
                     unsigned flags) override {
    return (flags & 0xF) == box::kYesNo ? box::kIdNo : box::kIdCancel;
  }
  bool AskSaveFileName(const SaveFileRequest&, std::string*) override {
    return false;
  }
  std::intptr_t RunModalDialog(ModuleHandle, int, WindowHandle,
                               DialogHandler*) override {
    return -1;
  }

  LibraryHandle OpenLibrary(const std::string& path) override {
    return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  void* FindLibraryEntry(LibraryHandle library, const char* name) override {
    return ::dlsym(library, name);
  }
  void CloseLibrary(LibraryHandle library) override { ::dlclose(library); }
  bool CallStdcall4(void* entry, std::uintptr_t a, std::uintptr_t b,
                    std::uintptr_t c, std::uintptr_t d) override {
    // The C convention leaves no stack to balance. A call through another
    // function type than the callee's is undefined in C++ (and caught by
    // UBSan), so the one entry called this way, a component's
    // component_install_initialize, is called through its own type.
    // The integers were made from these pointers by the caller.
    using Entry = int (*)(const char*, int, const char**, const char**);
    // NOLINTBEGIN(performance-no-int-to-ptr)
    const auto* path = reinterpret_cast<const char*>(a);
    auto** registered = reinterpret_cast<const char**>(c);
    auto** stored = reinterpret_cast<const char**>(d);
    // NOLINTEND(performance-no-int-to-ptr)
    reinterpret_cast<Entry>(entry)(path, static_cast<int>(b), registered,
                                   stored);
    return true;
  }

  void SleepMs(std::uint32_t milliseconds) override {
    struct timespec ts;
    ts.tv_sec = milliseconds / 1000;
    ts.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
  }
  std::uint32_t TickCount() override {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint32_t>(
        static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
        static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u);
  }
  std::uint32_t Time() override {
    return static_cast<std::uint32_t>(::time(nullptr));
  }

  std::uint32_t FileAttributes(const std::string& path) override {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      last_error_ = errno;
      return kInvalidFileAttributes;
    }
    return S_ISDIR(st.st_mode) ? kFileAttributeDirectory : 0x80u;
  }
  bool NewDirectory(const std::string& path) override {
    if (::mkdir(path.c_str(), 0777) == 0) return true;
    last_error_ = errno;
    return false;
  }
  bool RemoveFileAt(const std::string& path) override {
    if (::unlink(path.c_str()) == 0) return true;
    last_error_ = errno;
    return false;
  }
  bool IsSameFile(const std::string& a, const std::string& b) override {
    struct stat sa, sb;
    return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 &&
           sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  }
  bool CopyFileOver(const std::string& from, const std::string& to,
                    bool fail_if_exists) override {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0) {
      last_error_ = errno;
      return false;
    }
    int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    if (fail_if_exists) flags |= O_EXCL;
    int out = ::open(to.c_str(), flags, 0666);
    if (out < 0) {
      last_error_ = errno;
      ::close(in);
      return false;
    }
    char buffer[65536];
    bool ok = true;
    for (;;) {
      ssize_t n = ::read(in, buffer, sizeof buffer);
      if (n == 0) break;
      if (n < 0) {
        if (errno == EINTR) continue;
        ok = false;
        break;
      }
      for (ssize_t done = 0; done < n;) {
        ssize_t w = ::write(out, buffer + done, static_cast<size_t>(n - done));
        if (w < 0) {
          if (errno == EINTR) continue;
          ok = false;
          break;
        }
        done += w;
      }
      if (!ok) break;
    }
    if (!ok) last_error_ = errno;
    ::close(in);
    if (::close(out) != 0) ok = false;
    if (!ok) ::unlink(to.c_str());
    return ok;
  }
  std::uint32_t LastError() override { return last_error_; }
  std::string SystemErrorText(std::uint32_t code) override {
    return std::strerror(static_cast<int>(code));
  }
  bool TempDirectory(std::string* path) override {
    const char* dir = std::getenv("TMPDIR");
    *path = (dir && *dir) ? dir : "/tmp";
    if (path->back() != '/') *path += '/';
    return true;
  }
  int CreateNewFile(const std::string& path) override {
    int fd = ::open(path.c_str(),
                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH);
    if (fd < 0) return errno;
    ::close(fd);
    return 0;
  }
  PathStatus Stat(const std::string& path) override {
    PathStatus status;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      status.error = errno;
    } else {
      status.is_directory = S_ISDIR(st.st_mode);
    }
    return status;
  }
  std::vector<DirectoryEntry> FindFiles(const std::string& pattern) override {
    // Only the "directory/*.*" form is asked for.
    std::vector<DirectoryEntry> entries;
    std::string dir = pattern;
    std::size_t slash = dir.find_last_of('/');
    dir = slash == std::string::npos ? "." : dir.substr(0, slash + 1);
    DIR* d = ::opendir(dir.c_str());
    if (!d) return entries;
    while (struct dirent* e = ::readdir(d)) {
      DirectoryEntry entry;
      entry.name = e->d_name;
      PathStatus st = Stat(dir + entry.name);
      entry.is_directory = st.error == 0 && st.is_directory;
      entries.push_back(entry);
    }
    ::closedir(d);
    return entries;
  }
  std::uint32_t LogicalDriveStrings(std::uint32_t size, char* buffer) override {
    static const char kRoot[] = "/";  // "/" and its terminating zero
    if (size < 3) return 3;
    std::memcpy(buffer, kRoot, 2);
    buffer[2] = '\0';
    return 2;
  }
  std::uint32_t ExpandEnvironmentText(const std::string& text, char* buffer,
                                      std::uint32_t size) override {
    // %NAME% references, as on Windows; an unknown name stays as written.
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
      std::size_t end;
      if (text[i] == '%' &&
          (end = text.find('%', i + 1)) != std::string::npos) {
        std::string name = text.substr(i + 1, end - i - 1);
        const char* value = name.empty() ? nullptr : std::getenv(name.c_str());
        if (value) {
          out += value;
          i = end + 1;
          continue;
        }
      }
      out += text[i++];
    }
    std::uint32_t needed = static_cast<std::uint32_t>(out.size() + 1);
    if (buffer && size >= needed) std::memcpy(buffer, out.c_str(), needed);
    return needed;
  }
  int CreateFileIn(const std::string& directory, const std::string& name,
                   std::FILE** stream) override {
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
  int OpenFileIn(const std::string& directory, const std::string& name,
                 const char* mode, std::FILE** stream) override {
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
  EntryKind KindIn(const std::string& directory,
                   const std::string& name) override {
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
  bool RemoveFileIn(const std::string& directory,
                    const std::string& name) override {
    std::string leaf;
    int error = 0;
    Descriptor dir(OpenParent(directory, name, &leaf, &error));
    if (dir.get() < 0) return error == ENOENT;
    return ::unlinkat(dir.get(), leaf.c_str(), 0) == 0 || errno == ENOENT;
  }
  bool MoveFileIn(const std::string& directory, const std::string& from,
                  const std::string& to) override {
    std::string from_leaf, to_leaf;
    int error = 0;
    Descriptor from_dir(OpenParent(directory, from, &from_leaf, &error));
    Descriptor to_dir(OpenParent(directory, to, &to_leaf, &error));
    if (from_dir.get() < 0 || to_dir.get() < 0) {
      last_error_ = error;
      return false;
    }
    // rename replaces a link at to itself; it never writes through one.
    if (::renameat(from_dir.get(), from_leaf.c_str(), to_dir.get(),
                   to_leaf.c_str()) != 0) {
      last_error_ = errno;
      return false;
    }
    ::fsync(to_dir.get());
    return true;
  }
  std::unique_ptr<HeldLockFile> CreateLockFileIn(const std::string& directory,
                                                 const std::string& name,
                                                 int* error) override {
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
  std::FILE* OpenStreamDenyWrite(const std::string& path,
                                 const char* mode) override {
    if (std::strcmp(mode, "rb") != 0 && std::strcmp(mode, "r") != 0) {
      return std::fopen(path.c_str(), mode);
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    auto* snapshot = new Snapshot(fd);
    cookie_io_functions_t functions{SnapshotRead, nullptr, SnapshotSeek,
                                    SnapshotClose};
    std::FILE* stream = ::fopencookie(snapshot, "r", functions);
    if (stream == nullptr) delete snapshot;
    return stream;
  }
  bool FlushStreamToDisk(std::FILE* stream) override {
    return std::fflush(stream) == 0 && ::fsync(::fileno(stream)) == 0;
  }

  void Exit(int status) override { std::exit(status); }

 private:
  // errno of the latest failed call.
  std::uint32_t last_error_ = 0;
};

}  // namespace

Env* Env::Default() {
  static Env* env = new PosixEnv;
  return env;
}

}  // namespace brackenfold
