// The Win32 Env's calls on names below a store directory (env.h says what
// each promises). A name is reached by opening every directory on its way
// with FILE_FLAG_OPEN_REPARSE_POINT, refusing a reparse point (symbolic link
// or junction), and holding those handles without FILE_SHARE_DELETE until the
// call is done, so no part can be renamed or replaced meanwhile.
// <windows.h> must come before the other Win32 headers.
// clang-format off
#include <windows.h>
// clang-format on
#include "platform/env_win32_store_files.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace brackenfold {
namespace {

// The store lock: a handle opened with no sharing and delete-on-close, so a
// second opener fails while it is held and the file goes away with the last
// handle, also when the process dies holding it.
class Win32LockFile : public HeldLockFile {
 public:
  explicit Win32LockFile(HANDLE handle) : handle_(handle) {}
  Win32LockFile(const Win32LockFile&) = delete;
  Win32LockFile& operator=(const Win32LockFile&) = delete;
  ~Win32LockFile() override { CloseHandle(handle_); }

 private:
  HANDLE handle_;
};

// The errno-style result of the store file calls for a Win32 error.
int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return kErrnoNoEntry;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return kErrnoExists;
    case ERROR_ACCESS_DENIED:
      return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EBUSY;
    case ERROR_CANT_ACCESS_FILE:
    case ERROR_CANT_RESOLVE_FILENAME:
      return kErrnoLink;
    default:
      return EIO;
  }
}

// The directories on the way to a name below a store directory, each opened
// without following a reparse point and held open (no FILE_SHARE_DELETE)
// while this object lives.
class StoreWalk {
 public:
  StoreWalk() = default;
  StoreWalk(const StoreWalk&) = delete;
  StoreWalk& operator=(const StoreWalk&) = delete;
  ~StoreWalk() {
    for (HANDLE handle : handles_) CloseHandle(handle);
  }

  // 0 and *full the name's path, or the errno of the part that failed.
  int Walk(const std::string& directory, const std::string& name,
           std::string* full) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : name) {
      if (c == '\\' || c == '/') {
        parts.push_back(part);
        part.clear();
      } else {
        part += c;
      }
    }
    if (part.empty() || part == "." || part == "..") return EISDIR;
    std::string path = directory;
    for (const std::string& p : parts) {
      if (p.empty() || p == ".") continue;
      if (p == "..") return EACCES;
      Append(&path, p);
      HANDLE handle = CreateFileA(
          path.c_str(),
          FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
          FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
      if (handle == INVALID_HANDLE_VALUE) return ErrnoOf(GetLastError());
      handles_.push_back(handle);
      BY_HANDLE_FILE_INFORMATION info;
      if (!GetFileInformationByHandle(handle, &info)) return EACCES;
      if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return kErrnoLink;
      if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) return ENOTDIR;
    }
    Append(&path, part);
    *full = path;
    return 0;
  }

 private:
  static void Append(std::string* path, const std::string& part) {
    if (!path->empty() && path->back() != '\\' && path->back() != '/') {
      *path += '\\';
    }
    *path += part;
  }

  std::vector<HANDLE> handles_;
};

// A stream over a file handle; the handle is closed on failure.
std::FILE* StreamOfHandle(HANDLE handle, int flags, const char* mode) {
  int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags);
  if (fd < 0) {
    CloseHandle(handle);
    return nullptr;
  }
  std::FILE* stream = _fdopen(fd, mode);
  if (stream == nullptr && _getmaxstdio() < kMaxStreams) {
    // The runtime allows 512 streams unless asked for more, and an install
    // holds every blob open (see OpenStreamDenyWrite).
    _setmaxstdio(kMaxStreams);
    stream = _fdopen(fd, mode);
  }
  if (stream == nullptr) _close(fd);
  return stream;
}

// What MoveFileIn does when a reader holds the destination open
// without delete sharing: how long it keeps trying the move.
constexpr DWORD kReplaceRetryMs = 1000;
constexpr DWORD kReplaceRetryStepMs = 50;

// Rewrites to in place with the bytes of from, through a handle that shares
// everything, so a reader that holds to open does not stop it. Unlike a move,
// writing into to would reach whatever a link there leads to: a reparse point
// is opened as itself and refused, and so is a file with other hard links.
bool RewriteInPlace(const std::string& from, const std::string& to) {
  HANDLE source =
      CreateFileA(from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (source == INVALID_HANDLE_VALUE) return false;
  HANDLE target = CreateFileA(
      to.c_str(), GENERIC_WRITE,
      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_WRITE_THROUGH | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr);
  if (target == INVALID_HANDLE_VALUE) {
    CloseHandle(source);
    return false;
  }
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileInformationByHandle(target, &info) &&
            (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
            info.nNumberOfLinks == 1;
  if (!ok) SetLastError(ERROR_ACCESS_DENIED);
  char buffer[65536];
  while (ok) {
    DWORD got = 0;
    if (!ReadFile(source, buffer, sizeof buffer, &got, nullptr)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    DWORD put = 0;
    if (!WriteFile(target, buffer, got, &put, nullptr) || put != got) {
      ok = false;
      break;
    }
  }
  ok = ok && SetEndOfFile(target) && FlushFileBuffers(target);
  CloseHandle(target);
  CloseHandle(source);
  return ok && DeleteFileA(from.c_str());
}

// Keeps GetLastError of the call that just failed in *last_error; always
// false.
bool Fail(std::uint32_t* last_error) {
  *last_error = GetLastError();
  return false;
}

}  // namespace

int Win32CreateFileIn(const std::string& directory, const std::string& name,
                      std::FILE** stream) {
  *stream = nullptr;
  StoreWalk walk;
  std::string full;
  if (int error = walk.Walk(directory, name, &full)) return error;
  // CREATE_NEW never opens what is there, a link or junction included.
  HANDLE handle = CreateFileA(
      full.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return ErrnoOf(GetLastError());
  *stream = StreamOfHandle(handle, _O_WRONLY | _O_BINARY, "wb");
  if (*stream != nullptr) return 0;
  // No stream for it: the empty file made goes again (the directories on its
  // way are still held), rather than stay in the store under a taken name.
  DeleteFileA(full.c_str());
  return EIO;
}

int Win32OpenFileIn(const std::string& directory, const std::string& name,
                    const char* mode, std::FILE** stream) {
  *stream = nullptr;
  StoreWalk walk;
  std::string full;
  if (int error = walk.Walk(directory, name, &full)) return error;
  HANDLE handle = CreateFileA(
      full.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr);
  if (handle == INVALID_HANDLE_VALUE) return ErrnoOf(GetLastError());
  BY_HANDLE_FILE_INFORMATION info;
  int error = 0;
  if (!GetFileInformationByHandle(handle, &info)) {
    error = EACCES;
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    error = kErrnoLink;
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    error = EISDIR;
  }
  if (error != 0) {
    CloseHandle(handle);
    return error;
  }
  const bool binary = std::strchr(mode, 'b') != nullptr;
  *stream =
      StreamOfHandle(handle, _O_RDONLY | (binary ? _O_BINARY : _O_TEXT), mode);
  return *stream != nullptr ? 0 : EIO;
}

EntryKind Win32KindIn(const std::string& directory, const std::string& name) {
  StoreWalk walk;
  std::string full;
  if (int error = walk.Walk(directory, name, &full)) {
    return error == kErrnoNoEntry ? EntryKind::kNone : EntryKind::kOther;
  }
  DWORD attributes = GetFileAttributesA(full.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    return ErrnoOf(GetLastError()) == kErrnoNoEntry ? EntryKind::kNone
                                                    : EntryKind::kOther;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return EntryKind::kOther;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return EntryKind::kDirectory;
  return EntryKind::kFile;
}

bool Win32RemoveFileIn(const std::string& directory, const std::string& name,
                       std::uint32_t* last_error) {
  StoreWalk walk;
  std::string full;
  if (int error = walk.Walk(directory, name, &full)) {
    return error == kErrnoNoEntry;
  }
  DWORD attributes = GetFileAttributesA(full.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return true;
  // A link or junction is removed itself; its target stays.
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) return false;
    return RemoveDirectoryA(full.c_str()) || Fail(last_error);
  }
  return DeleteFileA(full.c_str()) || Fail(last_error);
}

bool Win32MoveFileIn(const std::string& directory, const std::string& from,
                     const std::string& to, std::uint32_t* last_error) {
  StoreWalk from_walk, to_walk;
  std::string from_full, to_full;
  if (from_walk.Walk(directory, from, &from_full) != 0 ||
      to_walk.Walk(directory, to, &to_full) != 0) {
    *last_error = ERROR_ACCESS_DENIED;
    return false;
  }
  // WRITE_THROUGH: the call returns after the move is on disk, so a crash
  // leaves either the old file or the new one at to. A link at to is
  // replaced itself, never written through.
  const DWORD start = GetTickCount();
  for (;;) {
    if (MoveFileExA(from_full.c_str(), to_full.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return true;
    }
    const DWORD error = GetLastError();
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) {
      return Fail(last_error);
    }
    if (GetTickCount() - start >= kReplaceRetryMs) break;
    Sleep(kReplaceRetryStepMs);
  }
  // Still held open: ReplaceFileA may get past the reader; failing that,
  // the bytes go into the file the reader has open.
  if (ReplaceFileA(to_full.c_str(), from_full.c_str(), nullptr, 0, nullptr,
                   nullptr)) {
    return true;
  }
  return RewriteInPlace(from_full, to_full) || Fail(last_error);
}

std::unique_ptr<HeldLockFile> Win32CreateLockFileIn(
    const std::string& directory, const std::string& name, int* error,
    std::uint32_t* last_error) {
  *error = 0;
  StoreWalk walk;
  std::string full;
  if (int walked = walk.Walk(directory, name, &full)) {
    *error = walked;
    return nullptr;
  }
  // Share mode 0: nobody else opens the file while we hold it. OPEN_ALWAYS:
  // a file left by someone else is no obstacle by itself; only an open
  // handle is. DELETE_ON_CLOSE: the file leaves with its last handle.
  // OPEN_REPARSE_POINT: a link there is opened itself, and refused below.
  HANDLE handle = CreateFileA(
      full.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE |
          FILE_FLAG_OPEN_REPARSE_POINT,
      nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    Fail(last_error);
    return nullptr;
  }
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info) ||
      (info.dwFileAttributes &
       (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
      info.nNumberOfLinks > 1) {
    CloseHandle(handle);
    *error = kErrnoLink;
    return nullptr;
  }
  return std::make_unique<Win32LockFile>(handle);
}

}  // namespace brackenfold
