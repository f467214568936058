#include "tests/support/fake_env.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace brackenfold {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(c));
  return s;
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

std::string FakeEnv::FullPath(RegKey root, const std::string& subkey) const {
  std::string prefix;
  auto it = handles_.find(root);
  if (it != handles_.end()) {
    prefix = it->second;
  } else if (root == kHkeyLocalMachine || root == kHkeyCurrentUser) {
    prefix = root == kHkeyLocalMachine ? "HKLM" : "HKCU";
  } else {
    return "";
  }
  const std::string sub = Normalise(subkey);
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
  AddRegKey(root, subkey);
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
  const auto needed = static_cast<std::uint32_t>(bytes.size());
  if (data && !size) return win_error::kInvalidParameter;
  const bool fits = data && *size >= needed;
  if (fits) std::memcpy(data, bytes.data(), needed);
  if (type) *type = v->second.type;
  if (size) *size = needed;
  return !data || fits ? win_error::kSuccess : win_error::kMoreData;
}

long FakeEnv::SetRegValue(RegKey key, const std::string& name,
                          std::uint32_t type, const void* data,
                          std::uint32_t size) {
  auto h = handles_.find(key);
  if (h == handles_.end()) return 6;
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
  for ([[maybe_unused]] const auto& [path, values] : keys_) {
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
  const std::string prefix = path + "\\";
  auto next = keys_.lower_bound(prefix);
  if (next != keys_.end() &&
      next->first.compare(0, prefix.size(), prefix) == 0) {
    return win_error::kAccessDenied;  // it has subkeys
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
// A field of window number i + 1, cut as a buffer of max_count would cut it.
std::string Field(const std::vector<FakeWindow>& windows, WindowHandle window,
                  std::string FakeWindow::*field, int max_count) {
  const std::size_t i = reinterpret_cast<std::size_t>(window);
  if (i < 1 || i > windows.size() || max_count <= 0) return "";
  return (windows[i - 1].*field)
      .substr(0, static_cast<std::size_t>(max_count) - 1);
}
}  // namespace

std::string FakeEnv::WindowTitle(WindowHandle window, int max_count) {
  return Field(windows, window, &FakeWindow::title, max_count);
}

std::string FakeEnv::WindowClassName(WindowHandle window, int max_count) {
  return Field(windows, window, &FakeWindow::class_name, max_count);
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
  int answer = (flags & 0xF) == box::kYesNo ? box::kIdYes : box::kIdOk;
  if (!box_answers.empty()) {
    answer = box_answers.front();
    box_answers.pop_front();
  }
  boxes.push_back(RecordedBox{owner, text, caption, flags});
  return answer;
}

std::string FakeEnv::SystemErrorText(std::uint32_t code) {
  auto it = system_texts.find(code);
  return it == system_texts.end() ? "" : it->second;
}
std::uint32_t FakeEnv::LogicalDriveStrings(std::uint32_t size, char* buffer) {
  std::string all;
  for (const std::string& d : drives) all += d + '\0';
  all += '\0';  // the list ends in an empty string
  if (size < all.size()) return static_cast<std::uint32_t>(all.size());
  std::memcpy(buffer, all.data(), all.size());
  return static_cast<std::uint32_t>(all.size() - 1);
}
std::uint32_t FakeEnv::ExpandEnvironmentText(const std::string& text,
                                             char* buffer, std::uint32_t size) {
  std::string out = text;
  for (const auto& [name, value] : environment) {
    const std::string reference = "%" + name + "%";
    for (std::size_t at = 0;
         (at = out.find(reference, at)) != std::string::npos;
         at += value.size()) {
      out.replace(at, reference.size(), value);
    }
  }
  std::uint32_t needed = static_cast<std::uint32_t>(out.size() + 1);
  if (buffer && size >= needed) std::memcpy(buffer, out.c_str(), needed);
  return needed;
}
std::string FakeEnv::HostPath(const std::string& path) const {
  if (drive_root.empty() || path.size() < 2 || path[1] != ':' ||
      !std::isalpha(static_cast<unsigned char>(path[0]))) {
    return path;
  }
  std::string out = drive_root + "/" +
                    static_cast<char>(std::toupper(path[0])) + path.substr(2);
  std::replace(out.begin() + drive_root.size(), out.end(), '\\', '/');
  return out;
}

void FakeEnv::Exit(int status) {
  exit_status = status;
  throw FakeExit{status};
}

}  // namespace brackenfold
