// The POSIX Env: what the Linux tools need. Files, exclusive creation, lock
// files and shared libraries are real; there is no registry (every key is
// missing), no window and no dialog, and a message box answers as if nobody
// were there to click (Cancel/No). The calls below a store directory
// (env_posix_store_files.h) and the snapshot stream (env_posix_snapshot.h) live
// in units of their own.
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "platform/env.h"
#include "platform/env_posix_snapshot.h"
#include "platform/env_posix_store_files.h"

namespace brackenfold {

const char kPathSeparator = '/';

namespace {

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
    return PosixCreateFileIn(directory, name, stream);
  }
  int OpenFileIn(const std::string& directory, const std::string& name,
                 const char* mode, std::FILE** stream) override {
    return PosixOpenFileIn(directory, name, mode, stream);
  }
  EntryKind KindIn(const std::string& directory,
                   const std::string& name) override {
    return PosixKindIn(directory, name);
  }
  bool RemoveFileIn(const std::string& directory,
                    const std::string& name) override {
    return PosixRemoveFileIn(directory, name);
  }
  bool MoveFileIn(const std::string& directory, const std::string& from,
                  const std::string& to) override {
    int error = PosixMoveFileIn(directory, from, to);
    if (error != 0) last_error_ = static_cast<std::uint32_t>(error);
    return error == 0;
  }
  std::unique_ptr<HeldLockFile> CreateLockFileIn(const std::string& directory,
                                                 const std::string& name,
                                                 int* error) override {
    return PosixCreateLockFileIn(directory, name, error);
  }
  std::FILE* OpenStreamDenyWrite(const std::string& path,
                                 const char* mode) override {
    if (std::strcmp(mode, "rb") != 0 && std::strcmp(mode, "r") != 0) {
      return std::fopen(path.c_str(), mode);
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    return OpenSnapshotStream(fd);
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
