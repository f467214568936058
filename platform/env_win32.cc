// The Win32 Env: every method is one "A" call of USER32, KERNEL32, ADVAPI32 or
// COMDLG32, or of the C runtime (msvcrt), passed through with the installer's
// flags and answered in the call's own terms. It holds no policy; the only
// state is the error code of the latest failed file call, kept for LastError
// because the runtime may overwrite GetLastError before the caller asks.
// The calls on names below a store directory are in env_win32_store_files.cc.
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
#include "platform/env_win32_store_files.h"

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
    return Win32CreateFileIn(directory, name, stream);
  }
  int OpenFileIn(const std::string& directory, const std::string& name,
                 const char* mode, std::FILE** stream) override {
    return Win32OpenFileIn(directory, name, mode, stream);
  }
  EntryKind KindIn(const std::string& directory,
                   const std::string& name) override {
    return Win32KindIn(directory, name);
  }
  bool RemoveFileIn(const std::string& directory,
                    const std::string& name) override {
    return Win32RemoveFileIn(directory, name, &last_error_);
  }
  bool MoveFileIn(const std::string& directory, const std::string& from,
                  const std::string& to) override {
    return Win32MoveFileIn(directory, from, to, &last_error_);
  }
  std::unique_ptr<HeldLockFile> CreateLockFileIn(const std::string& directory,
                                                 const std::string& name,
                                                 int* error) override {
    return Win32CreateLockFileIn(directory, name, error, &last_error_);
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
