// FakeEnv: the Env of native tests. Files, libraries and lock files go to the
// real POSIX Env underneath; the registry is in memory, the top-level windows
// are a scripted list, message boxes are recorded and answered from a queue,
// the Save-As and modal dialogs are answered by callbacks, time is a fixed
// clock that SleepMs advances, and Exit throws FakeExit instead of ending the
// test process. Install it with ScopedFakeEnv.
#ifndef BRACKENFOLD_TESTS_SUPPORT_FAKE_ENV_H_
#define BRACKENFOLD_TESTS_SUPPORT_FAKE_ENV_H_

#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/env.h"

namespace brackenfold {

struct FakeExit {
  int status;
};

struct RecordedBox {
  WindowHandle owner;
  std::string text;
  std::string caption;
  unsigned flags;
};

struct FakeWindow {
  std::string title;
  std::string class_name;
};

struct FakeRegValue {
  std::uint32_t type;
  std::string data;  // raw bytes, terminator included for strings
};

class FakeEnv : public Env {
 public:
  // --- Registry, in memory. Key paths are "HKLM\\A\\B" or "HKCU\\A\\B",
  // compared without regard to case as Windows does.
  void SetRegString(RegKey root, const std::string& key,
                    const std::string& name, const std::string& value,
                    std::uint32_t type = reg::kSz);
  void AddRegKey(RegKey root, const std::string& key);
  bool HasRegKey(RegKey root, const std::string& key) const;
  std::optional<FakeRegValue> RegValue(RegKey root, const std::string& key,
                                       const std::string& name) const;
  // CreateRegKey on these keys answers kAccessDenied (as long as they exist).
  std::set<std::string> deny_create_keys;  // full paths, e.g. "HKLM\\X"
  // DeleteRegKey on these keys fails.
  std::set<std::string> undeletable_keys;

  // --- Windows and boxes.
  std::vector<FakeWindow> windows;
  // Called before every pass of EnumTopLevelWindows (lets a test make a
  // window appear late).
  std::function<void(FakeEnv&, int pass)> before_enum;
  int enum_passes = 0;
  std::deque<int> box_answers;  // answered in order; empty: first button
  std::vector<RecordedBox> boxes;
  std::function<bool(const SaveFileRequest&, std::string*)> save_dialog;
  std::function<std::intptr_t(ModuleHandle, int, WindowHandle, DialogHandler*)>
      modal_dialog;

  // --- Time.
  std::uint32_t now = 0x3C000000u;  // Time()
  std::uint32_t ticks = 1000;       // TickCount(); SleepMs adds to it
  std::vector<std::uint32_t> sleeps;

  // --- Process.
  std::optional<int> exit_status;

  long CreateRegKey(RegKey root, const std::string& subkey,
                    std::uint32_t access, RegKey* key) override;
  long OpenRegKey(RegKey root, const std::string& subkey, std::uint32_t access,
                  RegKey* key) override;
  long QueryRegValue(RegKey key, const std::string& name, std::uint32_t* type,
                     void* data, std::uint32_t* size) override;
  long SetRegValue(RegKey key, const std::string& name, std::uint32_t type,
                   const void* data, std::uint32_t size) override;
  long EnumRegKey(RegKey key, std::uint32_t index, char* name,
                  std::uint32_t* name_size) override;
  long DeleteRegKey(RegKey root, const std::string& subkey) override;
  long CloseRegKey(RegKey key) override;
  // Keys opened and not yet closed.
  std::size_t OpenRegKeyCount() const { return handles_.size(); }

  void EnumTopLevelWindows(WindowProc proc, void* context) override;
  std::string WindowTitle(WindowHandle window, int max_count) override;
  std::string WindowClassName(WindowHandle window, int max_count) override;
  WindowHandle FindWindowOfClass(const std::string& class_name) override;
  int ShowMessageBox(WindowHandle owner, const std::string& text,
                     const std::string& caption, unsigned flags) override;
  bool AskSaveFileName(const SaveFileRequest& request,
                       std::string* chosen) override {
    return save_dialog && save_dialog(request, chosen);
  }
  std::intptr_t RunModalDialog(ModuleHandle module, int resource_id,
                               WindowHandle owner,
                               DialogHandler* handler) override {
    return modal_dialog ? modal_dialog(module, resource_id, owner, handler)
                        : -1;
  }

  // Libraries, files and lock files are the real Env's; the paths given go
  // through HostPath first.
  LibraryHandle OpenLibrary(const std::string& path) override {
    return base_->OpenLibrary(path);
  }
  void* FindLibraryEntry(LibraryHandle library, const char* name) override {
    return base_->FindLibraryEntry(library, name);
  }
  void CloseLibrary(LibraryHandle library) override {
    base_->CloseLibrary(library);
  }
  bool CallStdcall4(void* entry, std::uintptr_t a, std::uintptr_t b,
                    std::uintptr_t c, std::uintptr_t d) override {
    return base_->CallStdcall4(entry, a, b, c, d);
  }

  void SleepMs(std::uint32_t milliseconds) override {
    sleeps.push_back(milliseconds);
    ticks += milliseconds;
  }
  std::uint32_t TickCount() override { return ticks; }
  std::uint32_t Time() override { return now; }

  std::uint32_t FileAttributes(const std::string& path) override {
    return base_->FileAttributes(HostPath(path));
  }
  bool NewDirectory(const std::string& path) override {
    return base_->NewDirectory(HostPath(path));
  }
  bool IsSameFile(const std::string& a, const std::string& b) override {
    return base_->IsSameFile(HostPath(a), HostPath(b));
  }
  bool RemoveFileAt(const std::string& path) override {
    return base_->RemoveFileAt(HostPath(path));
  }
  bool CopyFileOver(const std::string& from, const std::string& to,
                    bool fail_if_exists) override {
    return base_->CopyFileOver(HostPath(from), HostPath(to), fail_if_exists);
  }
  std::uint32_t LastError() override {
    return last_error ? *last_error : base_->LastError();
  }
  std::string SystemErrorText(std::uint32_t code) override;
  bool TempDirectory(std::string* path) override {
    return base_->TempDirectory(path);
  }
  int CreateNewFile(const std::string& path) override {
    return base_->CreateNewFile(HostPath(path));
  }
  PathStatus Stat(const std::string& path) override {
    return base_->Stat(HostPath(path));
  }
  std::vector<DirectoryEntry> FindFiles(const std::string& pattern) override {
    return base_->FindFiles(HostPath(pattern));
  }
  std::uint32_t LogicalDriveStrings(std::uint32_t size, char* buffer) override;
  std::uint32_t ExpandEnvironmentText(const std::string& text, char* buffer,
                                      std::uint32_t size) override;
  int CreateFileIn(const std::string& directory, const std::string& name,
                   std::FILE** stream) override {
    return base_->CreateFileIn(HostPath(directory), name, stream);
  }
  int OpenFileIn(const std::string& directory, const std::string& name,
                 const char* mode, std::FILE** stream) override {
    return base_->OpenFileIn(HostPath(directory), name, mode, stream);
  }
  EntryKind KindIn(const std::string& directory,
                   const std::string& name) override {
    return base_->KindIn(HostPath(directory), name);
  }
  bool RemoveFileIn(const std::string& directory,
                    const std::string& name) override {
    return base_->RemoveFileIn(HostPath(directory), name);
  }
  bool MoveFileIn(const std::string& directory, const std::string& from,
                  const std::string& to) override {
    return base_->MoveFileIn(HostPath(directory), from, to);
  }
  std::unique_ptr<HeldLockFile> CreateLockFileIn(const std::string& directory,
                                                 const std::string& name,
                                                 int* error) override {
    return base_->CreateLockFileIn(HostPath(directory), name, error);
  }
  std::FILE* OpenStreamDenyWrite(const std::string& path,
                                 const char* mode) override {
    return base_->OpenStreamDenyWrite(HostPath(path), mode);
  }
  bool FlushStreamToDisk(std::FILE* stream) override {
    return base_->FlushStreamToDisk(stream);
  }
  void Exit(int status) override;

  // Drive strings reported by LogicalDriveStrings ("C:\\", "D:\\").
  std::vector<std::string> drives{"C:\\"};
  // Environment for ExpandEnvironmentText (%NAME%).
  std::map<std::string, std::string> environment;
  // System texts for SystemErrorText; unknown codes give "".
  std::map<std::uint32_t, std::string> system_texts{
      {5, "Access is denied.\r\n"}};
  // When set, LastError answers this instead of the real Env's.
  std::optional<std::uint32_t> last_error;
  // When set, the file calls take a path that begins with a drive letter
  // ("C:\\A\\B") as drive_root + "/C/A/B", so tests can use Windows paths on
  // real files. Empty: paths go to the real Env unchanged.
  std::string drive_root;
  std::string HostPath(const std::string& path) const;

 private:
  std::string FullPath(RegKey root, const std::string& subkey) const;
  Env* base_ = Env::Default();
  std::map<std::string, std::map<std::string, FakeRegValue>> keys_;
  std::map<RegKey, std::string> handles_;
  RegKey next_handle_ = 0x1000;
};

// Makes a FakeEnv current for the lifetime of this object.
class ScopedFakeEnv {
 public:
  ScopedFakeEnv() : previous_(SetCurrentEnv(&env_)) {}
  ~ScopedFakeEnv() { SetCurrentEnv(previous_); }
  ScopedFakeEnv(const ScopedFakeEnv&) = delete;
  ScopedFakeEnv& operator=(const ScopedFakeEnv&) = delete;
  FakeEnv& env() { return env_; }
  FakeEnv* operator->() { return &env_; }

 private:
  FakeEnv env_;
  Env* previous_;
};

}  // namespace brackenfold

#endif  // BRACKENFOLD_TESTS_SUPPORT_FAKE_ENV_H_
