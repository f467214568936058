// The operating-system seam. Everything the installer asks of the system goes
// through one Env: the registry, top-level windows and message boxes, the
// directory and Save-As dialogs, library loading, sleeping, ticks and calendar
// time, and the few file calls that differ between Windows and POSIX (plain
// stdio streams are used directly). Implementations: env_win32.cc (the real
// one, Win32 "A" calls), env_posix.cc (what the Linux tools need: files,
// exclusive create, lock files, shared libraries; no registry and no windows)
// and FakeEnv (tests/support) for native tests. Every implementation answers
// the way the Win32 call it stands for does (null handles, registry results)
// and never throws. Only the Win32 Env speaks Win32 error codes: the POSIX one
// answers errno values where an error code is asked for, and the system's own
// texts for them.
#ifndef BRACKENFOLD_PLATFORM_ENV_H_
#define BRACKENFOLD_PLATFORM_ENV_H_

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/win_types.h"

namespace brackenfold {

class DialogHandler;  // platform/dialog.h

// What the Save-As dialog is asked (GetSaveFileNameA); see FatalError.
struct SaveFileRequest {
  std::string filter_label;    // "Text Files (*.txt)"
  std::string filter_pattern;  // "*.txt"
  std::string initial_name;    // preset file name, at most 260 characters
  std::string title;           // dialog title
  std::uint32_t flags = 0;     // OFN_* flags
};
inline constexpr std::uint32_t kOfnOverwritePrompt = 0x2;

// What _stat tells about a path.
struct PathStatus {
  int error = 0;  // 0 when the status was had, else errno
  bool is_directory = false;
};
// The errno values the file calls answer that callers tell apart, in the C
// runtime's own terms on each platform.
inline constexpr int kErrnoNoEntry = ENOENT;
inline constexpr int kErrnoExists = EEXIST;
// The file calls below a store directory answer this when a name, or a
// directory on its way, is a symbolic link, a junction or another reparse
// point.
inline constexpr int kErrnoLink = ELOOP;

// What is at a name below a store directory, the name itself not followed.
enum class EntryKind { kNone, kFile, kDirectory, kOther };

// One entry of a directory listing (_findfirst/_findnext).
struct DirectoryEntry {
  std::string name;
  bool is_directory = false;
};

// A held lock file: exclusive while this object lives; destroying it
// releases the lock and removes the file.
class HeldLockFile {
 public:
  virtual ~HeldLockFile() = default;
};

class Env {
 public:
  virtual ~Env() = default;

  // The platform's real Env (Win32 or POSIX, chosen when linking).
  static Env* Default();

  // --- Registry (RegCreateKeyExA and friends). Results are Win32 error codes
  // (win_error), the registry's own terms. Keys handed out are closed with
  // RegCloseKey. POSIX has no registry: every key is missing and nothing can
  // be written.
  virtual long CreateRegKey(RegKey root, const std::string& subkey,
                            std::uint32_t access, RegKey* key) = 0;
  virtual long OpenRegKey(RegKey root, const std::string& subkey,
                          std::uint32_t access, RegKey* key) = 0;
  // RegQueryValueExA: data may be null to learn the size; *size is the buffer
  // size in, the value's size out; type may be null.
  virtual long QueryRegValue(RegKey key, const std::string& name,
                             std::uint32_t* type, void* data,
                             std::uint32_t* size) = 0;
  virtual long SetRegValue(RegKey key, const std::string& name,
                           std::uint32_t type, const void* data,
                           std::uint32_t size) = 0;
  // RegEnumKeyExA: name_size is the buffer size in characters, in and out.
  virtual long EnumRegKey(RegKey key, std::uint32_t index, char* name,
                          std::uint32_t* name_size) = 0;
  virtual long DeleteRegKey(RegKey root, const std::string& subkey) = 0;
  virtual long CloseRegKey(RegKey key) = 0;

  // --- Windows and message boxes (USER32).
  // EnumWindows over the top-level windows; proc returns false to stop.
  using WindowProc = bool (*)(WindowHandle window, void* context);
  virtual void EnumTopLevelWindows(WindowProc proc, void* context) = 0;
  // GetWindowTextA / GetClassNameA into a buffer of max_count characters,
  // terminator included.
  virtual std::string WindowTitle(WindowHandle window, int max_count) = 0;
  virtual std::string WindowClassName(WindowHandle window, int max_count) = 0;
  // FindWindowA with a class name and no title.
  virtual WindowHandle FindWindowOfClass(const std::string& class_name) = 0;
  // MessageBoxA; owner may be null. Returns the button pressed (box::kId*).
  virtual int ShowMessageBox(WindowHandle owner, const std::string& text,
                             const std::string& caption, unsigned flags) = 0;

  // --- Dialogs.
  // GetSaveFileNameA with no owner: true and the chosen name, or false when the
  // dialog was cancelled or failed.
  virtual bool AskSaveFileName(const SaveFileRequest& request,
                               std::string* chosen) = 0;
  // DialogBoxParamA(module, resource_id, owner, ...) driving handler; returns
  // the dialog's end code, or what DialogBoxParamA returns when it fails.
  virtual std::intptr_t RunModalDialog(ModuleHandle module, int resource_id,
                                       WindowHandle owner,
                                       DialogHandler* handler) = 0;

  // --- Libraries.
  virtual LibraryHandle OpenLibrary(const std::string& path) = 0;
  virtual void* FindLibraryEntry(LibraryHandle library, const char* name) = 0;
  virtual void CloseLibrary(LibraryHandle library) = 0;
  // A trampoline: calls the function at entry with four pointer-sized
  // arguments in the platform's standard calling convention for exported
  // functions (WINAPI on Windows: on i686 the callee removes its arguments;
  // the C convention on POSIX), its result ignored. The caller's stack is as
  // before the call either way; false when the function left it unbalanced
  // (one built with another calling convention).
  virtual bool CallStdcall4(void* entry, std::uintptr_t a, std::uintptr_t b,
                            std::uintptr_t c, std::uintptr_t d) = 0;

  // --- Time.
  virtual void SleepMs(std::uint32_t milliseconds) = 0;
  virtual std::uint32_t TickCount() = 0;
  // Calendar time in seconds, as the runtime library's time() gives it.
  virtual std::uint32_t Time() = 0;

  // --- Files: the calls that differ between Windows and POSIX.
  // GetFileAttributesA: kInvalidFileAttributes when nothing is there.
  virtual std::uint32_t FileAttributes(const std::string& path) = 0;
  virtual bool NewDirectory(const std::string& path) = 0;
  virtual bool RemoveFileAt(const std::string& path) = 0;
  // True when both paths name one existing file, however it is reached
  // (another letter case, a short 8.3 name, a hard link): the same volume
  // serial number and file index on Windows, st_dev and st_ino on POSIX.
  virtual bool IsSameFile(const std::string& a, const std::string& b) = 0;
  // CopyFileA.
  virtual bool CopyFileOver(const std::string& from, const std::string& to,
                            bool fail_if_exists) = 0;
  // The error code of the latest failed call of this Env, in the system's own
  // terms: GetLastError on Windows, errno on POSIX.
  virtual std::uint32_t LastError() = 0;
  // The system's text for such a code, as it gives it: FormatMessageA
  // (FROM_SYSTEM) on Windows, empty when it has none; strerror on POSIX.
  virtual std::string SystemErrorText(std::uint32_t code) = 0;
  // GetTempPathA into a MAX_PATH buffer; false when the system cannot say.
  virtual bool TempDirectory(std::string* path) = 0;
  // _open(path, O_CREAT | O_EXCL, read and write permission), then close:
  // 0 when created, otherwise the errno (kErrnoExists for an existing file).
  virtual int CreateNewFile(const std::string& path) = 0;
  // _stat.
  virtual PathStatus Stat(const std::string& path) = 0;
  // _findfirst/_findnext over a pattern such as "C:\\A\\*.*".
  virtual std::vector<DirectoryEntry> FindFiles(const std::string& pattern) = 0;
  // GetLogicalDriveStringsA: the drive roots, each ending in a zero byte.
  virtual std::uint32_t LogicalDriveStrings(std::uint32_t size,
                                            char* buffer) = 0;
  // ExpandEnvironmentStringsA.
  virtual std::uint32_t ExpandEnvironmentText(const std::string& text,
                                              char* buffer,
                                              std::uint32_t size) = 0;

  // --- Files below a store directory. A store may be shared with other
  // users, so nothing below it is trusted: directory is taken as it is (the
  // store's own name may be a link), name is relative to it with its parts
  // separated by "/" (and "\\" on Windows), and every part of name is
  // resolved from the directory without following a link. A link, junction
  // or other reparse point at any part fails with kErrnoLink. Results are 0
  // or an errno (kErrnoExists, kErrnoNoEntry, kErrnoLink, others as the
  // system gives them).
  //
  // Creates name exclusively (never opening what is there, a dangling link
  // included) and hands back a stream, mode "wb", that writes to the very
  // file created. Permissions: read and write for the owner, read for all.
  virtual int CreateFileIn(const std::string& directory,
                           const std::string& name, std::FILE** stream) = 0;
  // Opens an existing plain file for reading with mode ("r" or "rb").
  virtual int OpenFileIn(const std::string& directory, const std::string& name,
                         const char* mode, std::FILE** stream) = 0;
  // What is at name, name itself not followed (a link is kOther).
  virtual EntryKind KindIn(const std::string& directory,
                           const std::string& name) = 0;
  // Removes the file at name; a link there is removed itself, its target
  // is left alone. True when nothing is there afterwards.
  virtual bool RemoveFileIn(const std::string& directory,
                            const std::string& name) = 0;
  // Moves from over to (both in directory), replacing to whatever it is,
  // with write-through; the replacement is atomic for readers of to. On
  // Windows a reader that keeps to open without delete sharing blocks the
  // move: it is retried for a bounded time, then ReplaceFileA is tried, and
  // as a last resort to is rewritten in place with from's bytes (then not
  // atomic for readers; a link or a file with other hard links is refused)
  // and from removed.
  virtual bool MoveFileIn(const std::string& directory, const std::string& from,
                          const std::string& to) = 0;
  // Opens (creating when missing) the lock file name so that nobody else can
  // open it while it is held, and so that it disappears when released or
  // when the process dies. Null with *error kErrnoLink when name is a link
  // (or not a plain file), otherwise null when another holder has it or it
  // cannot be opened.
  virtual std::unique_ptr<HeldLockFile> CreateLockFileIn(
      const std::string& directory, const std::string& name, int* error) = 0;

  // Opens a file for reading so that the bytes read through the stream stay
  // the bytes of the file as it was when first read, however others write it
  // meanwhile: a deny-write share mode on Windows; on POSIX, where nothing
  // can shut writers out, every byte is read once from the file and kept in
  // a private copy that later reads (after a seek back) are served from.
  virtual std::FILE* OpenStreamDenyWrite(const std::string& path,
                                         const char* mode) = 0;
  // Flushes a stream's buffers through to the disk; false on a write error.
  virtual bool FlushStreamToDisk(std::FILE* stream) = 0;

  // --- Process.
  // Ends the process with the given status after the runtime's exit handlers
  // (exit()). FakeEnv records the status and throws FakeExit instead.
  virtual void Exit(int status) = 0;
};

// The Env all code uses: Env::Default() unless a test has set another.
Env& CurrentEnv();
// Tests only: makes env current (null restores the default); returns the
// previous one.
Env* SetCurrentEnv(Env* env);

// A short text for an error of the file calls: "exists", "does not exist",
// "is a link, or a directory on its way is one", or the system's own words.
std::string FileErrorText(int error);

// The one path separator of FilePath on this platform: "\\" on Windows, "/" on
// POSIX (so the tools work on Linux paths).
extern const char kPathSeparator;

}  // namespace brackenfold

#endif  // BRACKENFOLD_PLATFORM_ENV_H_
