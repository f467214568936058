// The Win32 Env: every method is one "A" call of USER32, KERNEL32, ADVAPI32 or
// COMDLG32, or of the C runtime (msvcrt), passed through with the installer's
// flags and answered in the call's own terms. It holds no policy; the only
// state is the error code of the latest failed file call, kept for LastError
// because the runtime may overwrite GetLastError before the caller asks.
// Names below a store directory are reached by opening every directory on the
// way with FILE_FLAG_OPEN_REPARSE_POINT, refusing a reparse point (symbolic
// link or junction), and holding those handles without FILE_SHARE_DELETE
// until the call is done, so no part can be renamed or replaced meanwhile.
// <windows.h> must come before the other Win32 headers.
// clang-format off
#include <windows.h>
#include <commdlg.h>
// clang-format on
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "platform/dialog.h"
#include "platform/env.h"

namespace brackenfold {

const char kPathSeparator = '\\';

namespace {

// Our root-key constants are the 32-bit values of HKEY_*; on 64-bit Windows the
// predefined handles are those values sign-extended, so they are mapped, not
// cast.
HKEY ToHkey(RegKey key) {
  if (key == kHkeyLocalMachine) return HKEY_LOCAL_MACHINE;
  if (key == kHkeyCurrentUser) return HKEY_CURRENT_USER;
  return reinterpret_cast<HKEY>(key);
}

RegKey FromHkey(HKEY key) { return reinterpret_cast<RegKey>(key); }

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
  if (stream == nullptr) _close(fd);
  return stream;
}

struct EnumContext {
  Env::WindowProc proc;
  void* context;
  std::exception_ptr error;
};

// No C++ exception may unwind through USER32's frames (on i686 the unwinder
// cannot cross them and the process ends): one thrown by proc stops the
// enumeration and is rethrown once EnumWindows has returned.
BOOL CALLBACK EnumTrampoline(HWND window, LPARAM lparam) {
  auto* c = reinterpret_cast<EnumContext*>(lparam);
  try {
    return c->proc(window, c->context) ? TRUE : FALSE;
  } catch (...) {
    c->error = std::current_exception();
    return FALSE;
  }
}

// The most streams the runtime library can be asked for.
constexpr int kMaxStreams = 2048;

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

std::string ReadWindowString(int(WINAPI* read)(HWND, LPSTR, int),
                             WindowHandle window, int max_count) {
  if (max_count <= 0) return {};
  std::string buffer(static_cast<std::size_t>(max_count), '\0');
  int n = read(static_cast<HWND>(window), &buffer[0], max_count);
  buffer.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return buffer;
}

class Win32Env : public Env {
 public:
  long CreateRegKey(RegKey root, const std::string& subkey,
                    std::uint32_t access, RegKey* key) override {
    HKEY opened = nullptr;
    long result = RegCreateKeyExA(ToHkey(root), subkey.c_str(), 0, nullptr,
                                  REG_OPTION_NON_VOLATILE, access, nullptr,
                                  &opened, nullptr);
    *key = result == ERROR_SUCCESS ? FromHkey(opened) : 0;
    return result;
  }
  long OpenRegKey(RegKey root, const std::string& subkey, std::uint32_t access,
                  RegKey* key) override {
    HKEY opened = nullptr;
    long result =
        RegOpenKeyExA(ToHkey(root), subkey.c_str(), 0, access, &opened);
    *key = result == ERROR_SUCCESS ? FromHkey(opened) : 0;
    return result;
  }
  long QueryRegValue(RegKey key, const std::string& name, std::uint32_t* type,
                     void* data, std::uint32_t* size) override {
    DWORD value_type = 0;
    DWORD value_size = size ? *size : 0;
    long result = RegQueryValueExA(ToHkey(key), name.c_str(), nullptr,
                                   &value_type, static_cast<BYTE*>(data),
                                   size ? &value_size : nullptr);
    if (type) *type = value_type;
    if (size) *size = value_size;
    return result;
  }
  long SetRegValue(RegKey key, const std::string& name, std::uint32_t type,
                   const void* data, std::uint32_t size) override {
    return RegSetValueExA(ToHkey(key), name.c_str(), 0, type,
                          static_cast<const BYTE*>(data), size);
  }
  long EnumRegKey(RegKey key, std::uint32_t index, char* name,
                  std::uint32_t* name_size) override {
    DWORD n = *name_size;
    long result = RegEnumKeyExA(ToHkey(key), index, name, &n, nullptr, nullptr,
                                nullptr, nullptr);
    *name_size = n;
    return result;
  }
  long DeleteRegKey(RegKey root, const std::string& subkey) override {
    return RegDeleteKeyA(ToHkey(root), subkey.c_str());
  }
  long CloseRegKey(RegKey key) override { return RegCloseKey(ToHkey(key)); }

  void EnumTopLevelWindows(WindowProc proc, void* context) override {
    EnumContext c{proc, context, nullptr};
    EnumWindows(EnumTrampoline, reinterpret_cast<LPARAM>(&c));
    if (c.error) std::rethrow_exception(c.error);
  }
  std::string WindowTitle(WindowHandle window, int max_count) override {
    return ReadWindowString(GetWindowTextA, window, max_count);
  }
  std::string WindowClassName(WindowHandle window, int max_count) override {
    return ReadWindowString(GetClassNameA, window, max_count);
  }
  WindowHandle FindWindowOfClass(const std::string& class_name) override {
    return FindWindowA(class_name.c_str(), nullptr);
  }
  int ShowMessageBox(WindowHandle owner, const std::string& text,
                     const std::string& caption, unsigned flags) override {
    return MessageBoxA(static_cast<HWND>(owner), text.c_str(), caption.c_str(),
                       flags);
  }

  bool AskSaveFileName(const SaveFileRequest& request,
                       std::string* chosen) override {
    // The filter is a list of label/pattern pairs, each text zero-terminated,
    // closed by an empty text.
    std::string filter = request.filter_label;
    filter += '\0';
    filter += request.filter_pattern;
    filter += '\0';
    filter += '\0';
    char file[kMaxPath + 1] = {};
    std::strncpy(file, request.initial_name.c_str(), kMaxPath);
    OPENFILENAMEA ofn;
    std::memset(&ofn, 0, sizeof ofn);
    // The structure's first 76 bytes on i686 (without the Windows 2000
    // fields), as every version of the dialog accepts.
    ofn.lStructSize = OPENFILENAME_SIZE_VERSION_400A;
    ofn.lpstrFilter = filter.c_str();
    ofn.nFilterIndex = 0;
    ofn.lpstrFile = file;
    ofn.nMaxFile = sizeof file;
    ofn.lpstrTitle = request.title.c_str();
    ofn.Flags = request.flags;
    if (!GetSaveFileNameA(&ofn)) return false;
    *chosen = file;
    return true;
  }
  std::intptr_t RunModalDialog(ModuleHandle module, int resource_id,
                               WindowHandle owner,
                               DialogHandler* handler) override {
    return RunWin32Dialog(module, resource_id, owner, handler);
  }

  LibraryHandle OpenLibrary(const std::string& path) override {
    return LoadLibraryA(path.c_str());
  }
  void* FindLibraryEntry(LibraryHandle library, const char* name) override {
    return reinterpret_cast<void*>(
        GetProcAddress(static_cast<HMODULE>(library), name));
  }
  void CloseLibrary(LibraryHandle library) override {
    FreeLibrary(static_cast<HMODULE>(library));
  }
  bool CallStdcall4(void* entry, std::uintptr_t a, std::uintptr_t b,
                    std::uintptr_t c, std::uintptr_t d) override {
#if defined(__i386__)
    // WINAPI: the four arguments pushed right to left, removed by the callee.
    // ESI (kept across calls) holds the stack pointer from before the
    // pushes: what the callee left on the stack is measured, then the stack
    // is put back, so a function built for cdecl cannot unbalance this frame.
    struct Call {
      std::uintptr_t args[4];
      void* entry;
    } call{{a, b, c, d}, entry};
    std::uintptr_t left;
    asm volatile(
        "movl %%esp, %%esi\n\t"
        "pushl 12(%1)\n\t"
        "pushl 8(%1)\n\t"
        "pushl 4(%1)\n\t"
        "pushl 0(%1)\n\t"
        "call *16(%1)\n\t"
        "movl %%esi, %0\n\t"
        "subl %%esp, %0\n\t"
        "movl %%esi, %%esp"
        : "=D"(left)
        : "b"(&call)
        : "eax", "ecx", "edx", "esi", "memory", "cc");
    return left == 0;
#else
    using Entry = void(WINAPI*)(std::uintptr_t, std::uintptr_t, std::uintptr_t,
                                std::uintptr_t);
    reinterpret_cast<Entry>(entry)(a, b, c, d);
    return true;
#endif
  }

  void SleepMs(std::uint32_t milliseconds) override { Sleep(milliseconds); }
  std::uint32_t TickCount() override { return GetTickCount(); }
  std::uint32_t Time() override {
    return static_cast<std::uint32_t>(std::time(nullptr));
  }

  std::uint32_t FileAttributes(const std::string& path) override {
    DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) Remember();
    return attributes;
  }
  bool NewDirectory(const std::string& path) override {
    return CreateDirectoryA(path.c_str(), nullptr) || Remember();
  }
  bool RemoveFileAt(const std::string& path) override {
    return DeleteFileA(path.c_str()) || Remember();
  }
  bool IsSameFile(const std::string& a, const std::string& b) override {
    BY_HANDLE_FILE_INFORMATION ia, ib;
    return FileIdentity(a, &ia) && FileIdentity(b, &ib) &&
           ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber &&
           ia.nFileIndexHigh == ib.nFileIndexHigh &&
           ia.nFileIndexLow == ib.nFileIndexLow;
  }
  bool CopyFileOver(const std::string& from, const std::string& to,
                    bool fail_if_exists) override {
    return CopyFileA(from.c_str(), to.c_str(), fail_if_exists) || Remember();
  }
  std::uint32_t LastError() override { return last_error_; }
  std::string SystemErrorText(std::uint32_t code) override {
    // FORMAT_MESSAGE_ALLOCATE_BUFFER | IGNORE_INSERTS | FROM_SYSTEM (0x1300):
    // the system sizes the text; inserts would read arguments we do not pass.
    char* text = nullptr;
    DWORD n = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
            FORMAT_MESSAGE_FROM_SYSTEM,
        nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
        reinterpret_cast<LPSTR>(&text), 0, nullptr);
    std::string result = (n && text) ? std::string(text, n) : std::string();
    if (text) LocalFree(text);
    return result;
  }
  bool TempDirectory(std::string* path) override {
    char buffer[MAX_PATH];
    DWORD n = GetTempPathA(MAX_PATH, buffer);
    if (n == 0 || n > MAX_PATH) return false;
    path->assign(buffer, n);
    return true;
  }
  int CreateNewFile(const std::string& path) override {
    // _O_EXCL makes the existence test and the creation one step, so two
    // processes never both believe they made the same file.
    int fd = _open(path.c_str(), _O_CREAT | _O_EXCL, _S_IREAD | _S_IWRITE);
    if (fd < 0) return errno;
    _close(fd);
    return 0;
  }
  PathStatus Stat(const std::string& path) override {
    PathStatus status;
    struct _stat st;
    if (_stat(path.c_str(), &st) != 0) {
      status.error = errno;
    } else {
      status.is_directory = (st.st_mode & _S_IFDIR) != 0;
    }
    return status;
  }
  std::vector<DirectoryEntry> FindFiles(const std::string& pattern) override {
    std::vector<DirectoryEntry> entries;
    struct _finddata_t data;
    intptr_t search = _findfirst(pattern.c_str(), &data);
    if (search == -1) return entries;
    do {
      entries.push_back(
          DirectoryEntry{data.name, (data.attrib & _A_SUBDIR) != 0});
    } while (_findnext(search, &data) == 0);
    _findclose(search);
    return entries;
  }
  std::uint32_t LogicalDriveStrings(std::uint32_t size, char* buffer) override {
    return GetLogicalDriveStringsA(size, buffer);
  }
  std::uint32_t ExpandEnvironmentText(const std::string& text, char* buffer,
                                      std::uint32_t size) override {
    return ExpandEnvironmentStringsA(text.c_str(), buffer, size);
  }
  int CreateFileIn(const std::string& directory, const std::string& name,
                   std::FILE** stream) override {
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
    return *stream != nullptr ? 0 : EIO;
  }
  int OpenFileIn(const std::string& directory, const std::string& name,
                 const char* mode, std::FILE** stream) override {
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
    *stream = StreamOfHandle(handle, _O_RDONLY | (binary ? _O_BINARY : _O_TEXT),
                             mode);
    return *stream != nullptr ? 0 : EIO;
  }
  EntryKind KindIn(const std::string& directory,
                   const std::string& name) override {
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
  bool RemoveFileIn(const std::string& directory,
                    const std::string& name) override {
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
      return RemoveDirectoryA(full.c_str()) || Remember();
    }
    return DeleteFileA(full.c_str()) || Remember();
  }
  bool MoveFileIn(const std::string& directory, const std::string& from,
                  const std::string& to) override {
    StoreWalk from_walk, to_walk;
    std::string from_full, to_full;
    if (from_walk.Walk(directory, from, &from_full) != 0 ||
        to_walk.Walk(directory, to, &to_full) != 0) {
      last_error_ = ERROR_ACCESS_DENIED;
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
        return Remember();
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
    return RewriteInPlace(from_full, to_full) || Remember();
  }
  std::unique_ptr<HeldLockFile> CreateLockFileIn(const std::string& directory,
                                                 const std::string& name,
                                                 int* error) override {
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
      Remember();
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
  std::FILE* OpenStreamDenyWrite(const std::string& path,
                                 const char* mode) override {
    // Readers may share the file; a writer replacing it under us may not.
    std::FILE* stream = _fsopen(path.c_str(), mode, _SH_DENYWR);
    if (stream == nullptr && _getmaxstdio() < kMaxStreams) {
      // Every blob of an install stays open until it is installed; the
      // runtime allows 512 streams unless asked for more, and does not
      // always say EMFILE when it runs out.
      _setmaxstdio(kMaxStreams);
      stream = _fsopen(path.c_str(), mode, _SH_DENYWR);
    }
    return stream;
  }
  bool FlushStreamToDisk(std::FILE* stream) override {
    // fflush empties the runtime's buffer into the system; _commit makes the
    // system write its cache through to the disk.
    return std::fflush(stream) == 0 && _commit(_fileno(stream)) == 0;
  }
  void Exit(int status) override { std::exit(status); }

 private:
  static bool FileIdentity(const std::string& path,
                           BY_HANDLE_FILE_INFORMATION* info) {
    // No access asked: only the identity is read, and no reader or writer
    // is disturbed. BACKUP_SEMANTICS lets a directory be opened too.
    HANDLE handle = CreateFileA(
        path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    const bool ok = GetFileInformationByHandle(handle, info) != 0;
    CloseHandle(handle);
    return ok;
  }

  // Keeps GetLastError of the call that just failed; always false.
  bool Remember() {
    last_error_ = GetLastError();
    return false;
  }

  std::uint32_t last_error_ = 0;
};

}  // namespace

Env* Env::Default() {
  static Env* env = new Win32Env;
  return env;
}

}  // namespace brackenfold
