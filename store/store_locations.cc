#include "store/store_locations.h"

#include <map>
#include <vector>

#include "platform/env.h"
#include "platform/registry.h"

namespace brackenfold {
namespace {

struct StoreEntry {
  bool present = false;
  FilePath directory;  // ends in a separator; empty when absent
};

// Built on first use and never freed: it lasts as long as the library.
std::map<std::string, StoreEntry>& Table() {
  static auto* table = new std::map<std::string, StoreEntry>;
  return *table;
}

constexpr const char kWindowsKey[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
constexpr const char kUserShellFoldersKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell "
    "Folders";
constexpr const char kShellFoldersKey[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

bool MakeProductBase(const std::string& directory, FilePath* base) {
  *base = directory;
  base->AppendDirectory("Vantorium");
  base->AppendDirectory("Vantorium Player");
  return base->EnsureDirectory();
}

// An empty value would name a directory relative to whatever the current
// directory is; it is taken as no value.
bool ReadDirectoryValue(RegKey root, const char* subkey, const char* name,
                        bool expand, std::string* directory) {
  if (!ReadRegistryString(root, subkey, name, directory)) return false;
  if (expand) *directory = ExpandEnvironment(*directory);
  return !directory->empty();
}

}  // namespace

void RegisterStore(const FilePath& directory, const std::string& name) {
  Table().emplace(name, StoreEntry{true, directory});
}

void RegisterMissingStore(const std::string& name) {
  Table().emplace(name, StoreEntry{false, FilePath()});
}

void ResetStoreLocations() { Table().clear(); }

bool LookupStore(const std::string& name, FilePath* directory) {
  const auto& table = Table();
  auto it = table.find(name);
  if (it == table.end() || !it->second.present) return false;
  *directory = it->second.directory;
  return true;
}

std::string ExpandEnvironment(const std::string& text) {
  Env& env = CurrentEnv();
  char probe[1] = {'\0'};
  const std::uint32_t size = env.ExpandEnvironmentText(text, probe, 1);
  if (size == 0) return text;
  std::vector<char> buffer(static_cast<std::size_t>(size) + 1, '\0');
  env.ExpandEnvironmentText(text, buffer.data(), size);
  return buffer.data();
}

bool FindSystemStoreBase(FilePath* base) {
  std::string value;
  if (ReadDirectoryValue(kHkeyLocalMachine, kProductKey, kSystemDataPathValue,
                         false, &value)) {
    *base = value;
    if (base->EnsureDirectory()) return true;
  }
  if (!ReadDirectoryValue(kHkeyLocalMachine, kWindowsKey, "ProgramFilesDir",
                          false, &value)) {
    return false;
  }
  return MakeProductBase(value, base);
}

bool FindUserStoreBase(FilePath* base) {
  std::string value;
  if (ReadDirectoryValue(kHkeyCurrentUser, kUserShellFoldersKey, "AppData",
                         true, &value) &&
      MakeProductBase(value, base)) {
    return true;
  }
  if (!ReadDirectoryValue(kHkeyCurrentUser, kShellFoldersKey, "AppData", true,
                          &value)) {
    return false;
  }
  return MakeProductBase(value, base);
}

void DetermineStoreLocations() {
  FilePath base;
  if (FindSystemStoreBase(&base)) {
    base.AppendDirectory(kComponentsDirectoryName);
    RegisterStore(base, kSystemStoreName);
  } else {
    RegisterMissingStore(kSystemStoreName);
  }
  if (FindUserStoreBase(&base)) {
    base.AppendDirectory(kComponentsDirectoryName);
    RegisterStore(base, kUserStoreName);
  } else {
    RegisterMissingStore(kUserStoreName);
  }
}

}  // namespace brackenfold
