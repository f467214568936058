#include "platform/registry.h"

#include <cstring>
#include <vector>

#include "platform/env.h"

namespace brackenfold {

long ScopedRegKey::Open(RegKey root, const std::string& subkey,
                        std::uint32_t access) {
  return CurrentEnv().OpenRegKey(root, subkey, access, receive());
}

long ScopedRegKey::Create(RegKey root, const std::string& subkey,
                          std::uint32_t access) {
  return CurrentEnv().CreateRegKey(root, subkey, access, receive());
}

void ScopedRegKey::Close() {
  if (key_ != 0) {
    CurrentEnv().CloseRegKey(key_);
    key_ = 0;
  }
}

bool ReadRegistryText(RegKey key, const std::string& name, std::string* text,
                      std::uint32_t limit, std::uint32_t* type) {
  Env& env = CurrentEnv();
  std::uint32_t capacity = limit;
  if (limit == kAnyValueSize &&
      env.QueryRegValue(key, name, nullptr, nullptr, &capacity) !=
          win_error::kSuccess) {
    return false;
  }
  // One zero byte beyond the value, so a value stored without its
  // terminator still ends.
  std::vector<char> buffer(static_cast<std::size_t>(capacity) + 1, '\0');
  std::uint32_t size = capacity;
  if (env.QueryRegValue(key, name, type, buffer.data(), &size) !=
      win_error::kSuccess) {
    return false;
  }
  if (size > capacity) size = capacity;
  *text = std::string(buffer.data(), strnlen(buffer.data(), size));
  return true;
}

bool ReadRegistryString(RegKey root, const std::string& subkey,
                        const std::string& name, std::string* text) {
  ScopedRegKey key;
  return key.Open(root, subkey, reg::kQueryValue) == win_error::kSuccess &&
         ReadRegistryText(key.get(), name, text);
}

bool WriteRegistryString(RegKey key, const std::string& name,
                         const std::string& data) {
  return CurrentEnv().SetRegValue(key, name, reg::kSz, data.c_str(),
                                  static_cast<std::uint32_t>(
                                      data.size() + 1)) == win_error::kSuccess;
}

}  // namespace brackenfold
