// The registry as the installer uses it, over the current Env: one scoped key,
// one way to read a text value and one to write one. Results of the Env's
// registry calls are Win32 error codes; these helpers answer true or false.
#ifndef BRACKENFOLD_PLATFORM_REGISTRY_H_
#define BRACKENFOLD_PLATFORM_REGISTRY_H_

#include <cstdint>
#include <string>

#include "platform/win_types.h"

namespace brackenfold {

// Owns an open registry key and closes it when it goes.
class ScopedRegKey {
 public:
  ScopedRegKey() = default;
  ~ScopedRegKey() { Close(); }
  ScopedRegKey(const ScopedRegKey&) = delete;
  ScopedRegKey& operator=(const ScopedRegKey&) = delete;

  // Opens, or creates or opens, root\subkey with access; the Win32 result.
  long Open(RegKey root, const std::string& subkey, std::uint32_t access);
  long Create(RegKey root, const std::string& subkey, std::uint32_t access);

  RegKey get() const { return key_; }
  // Where an opening call stores the key; closes any key held before.
  RegKey* receive() {
    Close();
    return &key_;
  }
  void Close();

 private:
  RegKey key_ = 0;
};

// No limit on the size of a value read: its size is asked first.
inline constexpr std::uint32_t kAnyValueSize = 0xFFFFFFFFu;

// Reads the value name of key as text: the data up to its first zero byte, or
// all of it when it was stored without one. False when the value is missing
// or cannot be read; with a limit, also when it is larger than limit bytes
// (read in one call into a buffer of that size). *type, when given, receives
// the value's type, which is not checked here.
bool ReadRegistryText(RegKey key, const std::string& name, std::string* text,
                      std::uint32_t limit = kAnyValueSize,
                      std::uint32_t* type = nullptr);
// ReadRegistryText on root\subkey, opened for querying only.
bool ReadRegistryString(RegKey root, const std::string& subkey,
                        const std::string& name, std::string* text);
// Sets name (the empty name is the key's default value) to data as REG_SZ,
// its stored size counting the terminating zero.
bool WriteRegistryString(RegKey key, const std::string& name,
                         const std::string& data);

}  // namespace brackenfold

#endif  // BRACKENFOLD_PLATFORM_REGISTRY_H_
