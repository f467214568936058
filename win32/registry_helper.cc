#include "win32/registry_helper.h"

#include "platform/env.h"
#include "win32/fatal_error.h"

namespace brackenfold {

void RegistryHelper::CreateKey(RegKey root, const std::string& subkey,
                               RegKey* key, const std::string& description,
                               bool delete_on_denied) {
  Env& env = CurrentEnv();
  long result = env.CreateRegKey(root, subkey, reg::kAllAccess, key);
  if (result == win_error::kSuccess) return;
  // A key we may not open is usually a stale one with a foreign security
  // descriptor; removing it lets us create it afresh with the defaults.
  if (result == win_error::kAccessDenied && delete_on_denied &&
      DeleteKeyTree(root, subkey)) {
    result = env.CreateRegKey(root, subkey, reg::kAllAccess, key);
    if (result == win_error::kSuccess) return;
  }
  throw RegistryHelperException(
      "Attempting to create or open " + description,
      FormatSystemError(static_cast<std::uint32_t>(result)));
}

bool RegistryHelper::TryCreateKey(RegKey root, const std::string& subkey,
                                  RegKey* key, bool delete_on_denied) noexcept {
  try {
    CreateKey(root, subkey, key, "", delete_on_denied);
    return true;
  } catch (...) {
    return false;
  }
}

bool RegistryHelper::DeleteKeyTree(RegKey root, const std::string& subkey) {
  Env& env = CurrentEnv();
  ScopedRegKey key;
  if (key.Open(root, subkey, reg::kRead | reg::kDelete) !=
      win_error::kSuccess) {
    return false;
  }
  // Always enumerate index 0: each deleted subkey moves the next one there.
  for (;;) {
    char name[kMaxPath + 1];
    std::uint32_t name_size = sizeof(name);
    const long result = env.EnumRegKey(key.get(), 0, name, &name_size);
    if (result == win_error::kNoMoreItems) break;
    if (result != win_error::kSuccess || name_size >= sizeof(name)) {
      return false;
    }
    if (!DeleteKeyTree(key.get(), std::string(name, name_size))) return false;
  }
  key.Close();
  return env.DeleteRegKey(root, subkey) == win_error::kSuccess;
}

}  // namespace brackenfold
