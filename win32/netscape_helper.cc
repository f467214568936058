#include "win32/netscape_helper.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/env.h"
#include "platform/registry.h"
#include "win32/directory_path.h"
#include "win32/dlg_edit_directory.h"
#include "win32/fatal_error.h"
#include "win32/host_window.h"
#include "win32/plugin_library.h"

namespace brackenfold {
namespace {

const char kNavigatorKey[] = "Software\\Netscape\\Netscape Navigator";
const char kUserMainKey[] = "Software\\Netscape\\Netscape Navigator\\Main";
const char kMainSuffix[] = "\\Main";
const char kInstallDirectory[] = "Install Directory";
const char kPrompt[] =
    "The following is detected as your Netscape Plug-ins directory. Simply "
    "select OK unless you know that you have a special situation.";

bool OpenKey(RegKey root, const std::string& subkey, ScopedRegKey* key) {
  return key->Open(root, subkey, reg::kAllAccess) == win_error::kSuccess;
}

// Reads the install directory, a text value of at most limit bytes.
bool QueryText(RegKey key, std::uint32_t limit, std::string* text) {
  std::uint32_t type = 0;
  return ReadRegistryText(key, kInstallDirectory, text, limit, &type) &&
         (type == reg::kSz || type == reg::kExpandSz || type == reg::kMultiSz);
}

}  // namespace

NetscapeHelper::NetscapeHelper() {
  detected_ = DetectPluginDirectory();
  chosen_directory_ = detected_directory_;
}

bool NetscapeHelper::DetectPluginDirectory() {
  bool user = ReadUserInstallDirectory();
  bool machine = ReadNewestInstallDirectory();
  if (!user && !machine) return false;
  if (detected_directory_.empty() || detected_directory_.back() != '\\') {
    detected_directory_ += '\\';
  }
  detected_directory_ += "Program\\Plugins";
  return true;
}

bool NetscapeHelper::ReadUserInstallDirectory() {
  ScopedRegKey key;
  if (!OpenKey(kHkeyCurrentUser, kUserMainKey, &key)) return false;
  return QueryText(key.get(), kMaxPath + 1, &detected_directory_);
}

bool NetscapeHelper::ReadNewestInstallDirectory() {
  ScopedRegKey navigator;
  if (!OpenKey(kHkeyLocalMachine, kNavigatorKey, &navigator)) return false;

  Env& env = CurrentEnv();
  float best = 0;
  std::string best_name;
  for (std::uint32_t index = 0;; ++index) {
    char name[kMaxPath + 1] = {};
    std::uint32_t name_size = kMaxPath;
    long result = env.EnumRegKey(navigator.get(), index, name, &name_size);
    if (result == win_error::kMoreData) continue;  // too long to be a version
    if (result != win_error::kSuccess) break;
    // The kept value is single precision and the candidate double, so of
    // two names with the same number the later one wins.
    double value = std::atof(name);
    if (value > best) {
      best = static_cast<float>(value);
      best_name = name;
    }
  }
  if (best == 0) return false;
  if (best_name.size() + std::strlen(kMainSuffix) >
      static_cast<std::size_t>(kMaxPath)) {
    return false;
  }

  ScopedRegKey main;
  if (!OpenKey(navigator.get(), best_name + kMainSuffix, &main)) return false;
  return QueryText(main.get(), kMaxPath, &detected_directory_);
}

bool NetscapeHelper::ChoosePluginDirectory() {
  for (;;) {
    if (DlgEditDirectory::Run(&chosen_directory_, kPrompt, false) ==
        box::kIdOk) {
      return true;
    }
    if (ConfirmCancel(nullptr)) return false;
  }
}

void NetscapeHelper::CopyPluginLibrary(const std::string& source) {
  std::string target = JoinPath(chosen_directory_, kPluginLibraryName);
  CreateDirectoryPath(chosen_directory_);
  Env& env = CurrentEnv();
  if (!env.CopyFileOver(source, target, false)) {
    FatalSystemError("Failed to copy dll into Netscape plugins directory",
                     __FILE__, __LINE__, env.LastError());
  }
}

std::string NetscapeHelper::JoinPath(const std::string& directory,
                                     const std::string& name) {
  std::string path = directory;
  if (path.empty() || path.back() != '\\') path += '\\';
  return path + name;
}

}  // namespace brackenfold
