#include "tests/support/fake_env.h"

#include <algorithm>
#include <cstring>

namespace brackenfold {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

std::string RootName(RegKey root) {
  if (root == kHkeyLocalMachine) return "HKLM";
  if (root == kHkeyCurrentUser) return "HKCU";
  return "";
}

// Registry key paths: separators collapsed, no trailing backslash.
std::string Normalise(const std::string& path) {
  std::string out;
  for (char c : path) {
    if (c == '\\' && (out.empty() || out.back() == '\\')) continue;
    out += c;
  }
  while (!out.empty() && out.back() == '\\') out.pop_back();
  return out;
}

}  // namespace

FakeEnv::FakeEnv() : base_(Env::Default()) {}

std::string FakeEnv::FullPath(RegKey root, const std::string& subkey) const {
  std::string prefix;
  auto it = handles_.find(root);
  if (it != handles_.end()) {
    prefix = it->second;
  } else {
    prefix = RootName(root);
    if (prefix.empty()) return "";
  }
  std::string sub = Normalise(subkey);
  return Lower(sub.empty() ? prefix : prefix + "\\" + sub);
}

void FakeEnv::AddRegKey(RegKey root, const std::string& key) {
  std::string path = FullPath(root, key);
  // Every ancestor exists too.
  for (std::size_t p = path.find('\\'); p != std::string::npos;
       p = path.find('\\', p + 1)) {
    keys_[path.substr(0, p)];
  }
  keys_[path];
}

void FakeEnv::SetRegString(RegKey root, const std::string& key,
                           const std::string& name, const std::string& value,
                           std::uint32_t type) {
  AddRegKey(root, key);
  keys_[FullPath(root, key)][Lower(name)] =
      FakeRegValue{type, value + std::string(1, '\0')};
}

void FakeEnv::SetRegDword(RegKey root, const std::string& key,
                          const std::string& name, std::uint32_t value) {
  AddRegKey(root, key);
  std::string bytes(4, '\0');
  std::memcpy(&bytes[0], &value, 4);
  keys_[FullPath(root, key)][Lower(name)] = FakeRegValue{reg::kDword, bytes};
}

bool FakeEnv::HasRegKey(RegKey root, const std::string& key) const {
  return keys_.count(FullPath(root, key)) != 0;
}

std::optional<FakeRegValue> FakeEnv::RegValue(RegKey root,
                                              const std::string& key,
                                              const std::string& name) const {
  auto k = keys_.find(FullPath(root, key));
  if (k == keys_.end()) return std::nullopt;
  auto v = k->second.find(Lower(name));
  if (v == k->second.end()) return std::nullopt;
  return v->second;
}

std::map<std::string, FakeRegValue> FakeEnv::RegValues(
    RegKey root, const std::string& key) const {
  auto k = keys_.find(FullPath(root, key));
  if (k == keys_.end()) return {};
  return k->second;
}

long FakeEnv::CreateRegKey(RegKey root, const std::string& subkey,
                           std::uint32_t, RegKey* key) {
  std::string path = FullPath(root, subkey);
  *key = 0;
  if (path.empty()) return win_error::kInvalidParameter;
  for (const std::string& denied : deny_create_keys) {
    if (Lower(Normalise(denied)) == path && keys_.count(path)) {
      return win_error::kAccessDenied;
    }
  }
  for (std::size_t p = path.find('\\'); p != std::string::npos;
       p = path.find('\\', p + 1)) {
    keys_[path.substr(0, p)];
  }
  keys_[path];
  *key = next_handle_++;
  handles_[*key] = path;
  return win_error::kSuccess;
}

long FakeEnv::OpenRegKey(RegKey root, const std::string& subkey, std::uint32_t,
                         RegKey* key) {
  std::string path = FullPath(root, subkey);
  *key = 0;
  if (path.empty() || !keys_.count(path)) return win_error::kFileNotFound;
  *key = next_handle_++;
  handles_[*key] = path;
  return win_error::kSuccess;
}

long FakeEnv::QueryRegValue(RegKey key, const std::string& name,
                            std::uint32_t* type, void* data,
                            std::uint32_t* size) {
  auto h = handles_.find(key);
  if (h == handles_.end()) return 6;  // ERROR_INVALID_HANDLE
  auto& values = keys_[h->second];
  auto v = values.find(Lower(name));
  if (v == values.end()) return win_error::kFileNotFound;
  const std::string& bytes = v->second.data;
  if (type) *type = v->second.type;
  std::uint32_t needed = static_cast<std::uint32_t>(bytes.size());
  if (!data) {
    if (size) *size = needed;
    return win_error::kSuccess;
  }
  if (!size) return win_error::kInvalidParameter;
  if (*size < needed) {
    *size = needed;
    return win_error::kMoreData;
  }
  std::memcpy(data, bytes.data(), needed);
  *size = needed;
  return win_error::kSuccess;
}

long FakeEnv::SetRegValue(RegKey key, const std::string& name,
                          std::uint32_t type, const void* data,
                          std::uint32_t size) {
  auto h = handles_.find(key);
  if (h == handles_.end()) return 6;
  if (failing_value_names.count(name)) return win_error::kAccessDenied;
  keys_[h->second][Lower(name)] =
      FakeRegValue{type, std::string(static_cast<const char*>(data), size)};
  return win_error::kSuccess;
}

long FakeEnv::EnumRegKey(RegKey key, std::uint32_t index, char* name,
                         std::uint32_t* name_size) {
  auto h = handles_.find(key);
  if (h == handles_.end()) return 6;
  std::string prefix = h->second + "\\";
  std::uint32_t i = 0;
  for (const auto& [path, values] : keys_) {
    (void)values;
    if (path.compare(0, prefix.size(), prefix) != 0) continue;
    std::string rest = path.substr(prefix.size());
    if (rest.find('\\') != std::string::npos) continue;
    if (i++ != index) continue;
    // Report the name as it was first written is not kept; lower case it is.
    if (rest.size() + 1 > *name_size) return win_error::kMoreData;
    std::memcpy(name, rest.c_str(), rest.size() + 1);
    *name_size = static_cast<std::uint32_t>(rest.size());
    return win_error::kSuccess;
  }
  return win_error::kNoMoreItems;
}

long FakeEnv::DeleteRegKey(RegKey root, const std::string& subkey) {
  std::string path = FullPath(root, subkey);
  if (!keys_.count(path)) return win_error::kFileNotFound;
  for (const std::string& u : undeletable_keys) {
    if (Lower(Normalise(u)) == path) return win_error::kAccessDenied;
  }
  std::string prefix = path + "\\";
  for (const auto& kv : keys_) {
    if (kv.first.compare(0, prefix.size(), prefix) == 0) {
      return win_error::kAccessDenied;  // has subkeys
    }
  }
  keys_.erase(path);
  return win_error::kSuccess;
}

long FakeEnv::CloseRegKey(RegKey key) {
  return handles_.erase(key) ? win_error::kSuccess : 6;
}

void FakeEnv::EnumTopLevelWindows(WindowProc proc, void* context) {
  if (before_enum) before_enum(*this, enum_passes);
  ++enum_passes;
  for (std::size_t i = 0; i < windows.size(); ++i) {
    if (!proc(reinterpret_cast<WindowHandle>(i + 1), context)) return;
  }
}

namespace {
std::string Cut(const std::string& s, int max_count) {
  if (max_count <= 0) return "";
  return s.substr(0, static_cast<std::size_t>(max_count - 1));
}
}  // namespace

std::string FakeEnv::WindowTitle(WindowHandle window, int max_count) {
  std::size_t i = reinterpret_cast<std::size_t>(window);
  return i >= 1 && i <= windows.size() ? Cut(windows[i - 1].title, max_count)
                                       : "";
}

std::string FakeEnv::WindowClassName(WindowHandle window, int max_count) {
  std::size_t i = reinterpret_cast<std::size_t>(window);
  return i >= 1 && i <= windows.size()
             ? Cut(windows[i - 1].class_name, max_count)
             : "";
}

WindowHandle FakeEnv::FindWindowOfClass(const std::string& class_name) {
  for (std::size_t i = 0; i < windows.size(); ++i) {
    if (Lower(windows[i].class_name) == Lower(class_name)) {
      return reinterpret_cast<WindowHandle>(i + 1);
    }
  }
  return nullptr;
}

int FakeEnv::ShowMessageBox(WindowHandle owner, const std::string& text,
                            const std::string& caption, unsigned flags) {
  int answer;
  if (!box_answers.empty()) {
    answer = box_answers.front();
    box_answers.pop_front();
  } else {
    answer = (flags & 0xF) == box::kYesNo ? box::kIdYes : box::kIdOk;
  }
  boxes.push_back(RecordedBox{owner, text, caption, flags, answer});
  return answer;
}

bool FakeEnv::AskSaveFileName(const SaveFileRequest& request,
                              std::string* chosen) {
  save_requests.push_back(request);
  return save_dialog ? save_dialog(request, chosen) : false;
}

std::intptr_t FakeEnv::RunModalDialog(ModuleHandle module, int resource_id,
                                      WindowHandle owner,
                                      DialogHandler* handler) {
  return modal_dialog ? modal_dialog(module, resource_id, owner, handler) : -1;
}

LibraryHandle FakeEnv::OpenLibrary(const std::string& path) {
  return base_->OpenLibrary(path);
}
void* FakeEnv::FindLibraryEntry(LibraryHandle library, const char* name) {
  return base_->FindLibraryEntry(library, name);
}
void FakeEnv::CloseLibrary(LibraryHandle library) {
  base_->CloseLibrary(library);
}
bool FakeEnv::CallStdcall4(void* entry, std::uintptr_t a, std::uintptr_t b,
                           std::uintptr_t c, std::uintptr_t d) {
  return base_->CallStdcall4(entry, a, b, c, d);
}

void FakeEnv::SleepMs(std::uint32_t milliseconds) {
  sleeps.push_back(milliseconds);
  ticks += milliseconds;
}

std::uint32_t FakeEnv::FileAttributes(const std::string& path) {
  return base_->FileAttributes(HostPath(path));
}
bool FakeEnv::NewDirectory(const std::string& path) {
  return base_->NewDirectory(HostPath(path));
}
bool FakeEnv::RemoveFileAt(const std::string& path) {
  return base_->RemoveFileAt(HostPath(path));
}
bool FakeEnv::IsSameFile(const std::string& a, const std::string& b) {
  return base_->IsSameFile(HostPath(a), HostPath(b));
}
bool FakeEnv::CopyFileOver(const std::string& from, const std::string& to,
                           bool fail_if_exists) {
  return base_->CopyFileOver(HostPath(from), HostPath(to), fail_if_exists);
}
std::uint32_t FakeEnv::LastError() {
  return last_error ? *last_error : base_->LastError();
}
std::string FakeEnv::SystemErrorText(std::uint32_t code) {
  auto it = system_texts.find(code);
  return it == system_texts.end() ? "" : it->second;
}
bool FakeEnv::TempDirectory(std::string* path) {
  return base_->TempDirectory(path);
}
int FakeEnv::CreateNewFile(const std::string& path) {
  return base_->CreateNewFile(HostPath(path));
}
PathStatus FakeEnv::Stat(const std::string& path) {
  return base_->Stat(HostPath(path));
}
std::vector<DirectoryEntry> FakeEnv::FindFiles(const std::string& pattern) {
  return base_->FindFiles(HostPath(pattern));
}
std::uint32_t FakeEnv::LogicalDriveStrings(std::uint32_t size, char* buffer) {
  std::string all;
  for (const std::string& d : drives) all += d + std::string(1, '\0');
  std::uint32_t needed = static_cast<std::uint32_t>(all.size() + 1);
  if (size < needed) return needed;
  std::memcpy(buffer, all.data(), all.size());
  buffer[all.size()] = '\0';
  return static_cast<std::uint32_t>(all.size());
}
std::uint32_t FakeEnv::ExpandEnvironmentText(const std::string& text,
                                             char* buffer, std::uint32_t size) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t end;
    if (text[i] == '%' && (end = text.find('%', i + 1)) != std::string::npos) {
      auto it = environment.find(text.substr(i + 1, end - i - 1));
      if (it != environment.end()) {
        out += it->second;
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
int FakeEnv::CreateFileIn(const std::string& directory, const std::string& name,
                          std::FILE** stream) {
  return base_->CreateFileIn(HostPath(directory), name, stream);
}
int FakeEnv::OpenFileIn(const std::string& directory, const std::string& name,
                        const char* mode, std::FILE** stream) {
  return base_->OpenFileIn(HostPath(directory), name, mode, stream);
}
EntryKind FakeEnv::KindIn(const std::string& directory,
                          const std::string& name) {
  return base_->KindIn(HostPath(directory), name);
}
bool FakeEnv::RemoveFileIn(const std::string& directory,
                           const std::string& name) {
  return base_->RemoveFileIn(HostPath(directory), name);
}
bool FakeEnv::MoveFileIn(const std::string& directory, const std::string& from,
                         const std::string& to) {
  return base_->MoveFileIn(HostPath(directory), from, to);
}
std::unique_ptr<HeldLockFile> FakeEnv::CreateLockFileIn(
    const std::string& directory, const std::string& name, int* error) {
  return base_->CreateLockFileIn(HostPath(directory), name, error);
}
std::FILE* FakeEnv::OpenStreamDenyWrite(const std::string& path,
                                        const char* mode) {
  return base_->OpenStreamDenyWrite(HostPath(path), mode);
}
bool FakeEnv::FlushStreamToDisk(std::FILE* stream) {
  return base_->FlushStreamToDisk(stream);
}
std::string FakeEnv::HostPath(const std::string& path) const {
  bool drive = path.size() >= 2 && path[1] == ':' &&
               ((path[0] >= 'A' && path[0] <= 'Z') ||
                (path[0] >= 'a' && path[0] <= 'z'));
  if (drive_root.empty() || !drive) return path;
  std::string out = drive_root + "/";
  out += static_cast<char>(path[0] >= 'a' ? path[0] - 'a' + 'A' : path[0]);
  for (std::size_t i = 2; i < path.size(); ++i) {
    out += path[i] == '\\' ? '/' : path[i];
  }
  return out;
}

void FakeEnv::Exit(int status) {
  exit_status = status;
  throw FakeExit{status};
}

}  // namespace brackenfold
