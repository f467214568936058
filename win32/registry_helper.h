// RegistryHelper: the registry operations the browser registration needs
// beyond platform/registry.h, all through the current Env. CreateKey throws
// RegistryHelperException when a key can be neither created nor opened (after
// deleting the key's tree and trying once more when access was denied and the
// caller allows it); TryCreateKey is the non-throwing form everything else
// calls.
#ifndef BRACKENFOLD_WIN32_REGISTRY_HELPER_H_
#define BRACKENFOLD_WIN32_REGISTRY_HELPER_H_

#include <string>
#include <utility>

#include "platform/registry.h"
#include "platform/win_types.h"

namespace brackenfold {

// Why CreateKey failed: "Attempting to create or open " and the caller's
// description of the key, and the system's text for the last error code.
class RegistryHelperException {
 public:
  RegistryHelperException(std::string context, std::string system_text)
      : context_(std::move(context)), system_text_(std::move(system_text)) {}
  const std::string& context() const { return context_; }
  const std::string& system_text() const { return system_text_; }

 private:
  std::string context_;
  std::string system_text_;
};

class RegistryHelper {
 public:
  // Creates or opens root\subkey with full access into *key (the caller
  // closes it). On ERROR_ACCESS_DENIED with delete_on_denied, deletes the key
  // with everything under it and tries once more; the deletion stands even
  // when that attempt fails too.
  static void CreateKey(RegKey root, const std::string& subkey, RegKey* key,
                        const std::string& description, bool delete_on_denied);
  // CreateKey with an empty description; false when anything was thrown.
  static bool TryCreateKey(RegKey root, const std::string& subkey, RegKey* key,
                           bool delete_on_denied) noexcept;
  // Deletes root\subkey and all its subkeys; false when the key cannot be
  // opened or any part of it cannot be deleted (what was deleted stays so).
  static bool DeleteKeyTree(RegKey root, const std::string& subkey);
};

}  // namespace brackenfold

#endif  // BRACKENFOLD_WIN32_REGISTRY_HELPER_H_
