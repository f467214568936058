// Where the component stores are: the process-wide StoreLocations table, from
// store name ("Components-System", "Components-User") to its directory (ending
// in a separator) or absent. DetermineStoreLocations fills it from the
// registry, creating the base directories; nothing is ever reported.
#ifndef BRACKENFOLD_STORE_STORE_LOCATIONS_H_
#define BRACKENFOLD_STORE_STORE_LOCATIONS_H_

#include <string>

#include "store/file_path.h"

namespace brackenfold {

inline constexpr const char* kSystemStoreName = "Components-System";
inline constexpr const char* kUserStoreName = "Components-User";
// The player's key under HKLM, where each installation records its data
// directory as kSystemDataPathValue; the machine-wide store is found there.
inline constexpr const char* kProductKey =
    "SOFTWARE\\Vantorium\\Vantorium Player\\";
inline constexpr const char* kSystemDataPathValue = "SystemDataPath";
// The directory of a store, in the data directory or a base directory.
inline constexpr const char* kComponentsDirectoryName = "components";

void DetermineStoreLocations();
bool LookupStore(const std::string& name, FilePath* directory);
void RegisterStore(const FilePath& directory, const std::string& name);
void RegisterMissingStore(const std::string& name);
bool FindSystemStoreBase(FilePath* base);
bool FindUserStoreBase(FilePath* base);
std::string ExpandEnvironment(const std::string& text);

// Tests only: empties the table, as in a freshly loaded library.
void ResetStoreLocations();

}  // namespace brackenfold

#endif  // BRACKENFOLD_STORE_STORE_LOCATIONS_H_
