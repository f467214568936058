#include "win32/netscape_helper.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/env.h"
#include "win32/brackenfold.h"
#include "win32/dlg_edit_directory.h"
#include "win32/fatal_error.h"
#include "win32/registry_helper.h"

namespace brackenfold {
namespace {

const char kNavigatorKey[] = "Software\\Netscape\\Netscape Navigator";
const char kUserMainKey[] = "Software\\Netscape\\Netscape Navigator\\Main";
const char kMainSuffix[] = "\\Main";
const char kInstallDirectory[] = "Install Directory";
const char kPrompt[] =
    "The following is detected as your Netscape Plug-ins directory. Simply "
    "select OK unless you know that you have a special situation.";
constexpr int kIdOk = 1;

bool OpenKey(RegKey root, const std::string& subkey, ScopedRegKey* key) {
  return CurrentEnv().OpenRegKey(root, subkey, reg::kAllAccess,
                                 key->receive()) == win_error::kSuccess;
}

// Reads a text value of at most limit bytes. The text ends at its first zero
// byte, or at the end of the data when the value was stored without one.
bool QueryText(RegKey key, std::uint32_t limit, std::string* text) {
  std::vector<char> buffer(limit + 1, '\0');
  std::uint32_t type = 0;
  std::uint32_t size = limit;
  long result = CurrentEnv().QueryRegValue(key, kInstallDirectory, &type,
                                           buffer.data(), &size);
  if (result != win_error::kSuccess) return false;
  if (type != reg::kSz && type != reg::kExpandSz && type != reg::kMultiSz) {
    return false;
  }
  if (size > limit) size = limit;
  *text = std::string(buffer.data(), strnlen(buffer.data(), size));
  return true;
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
    if (DlgEditDirectory::Run(&chosen_directory_, kPrompt, false) == kIdOk) {
      return true;
    }
    if (ConfirmCancel(nullptr)) return false;
  }
}

void NetscapeHelper::CopyPluginLibrary(const std::string& source) {
  std::string target = JoinPath(chosen_directory_, "NPAXVnt.dll");
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
