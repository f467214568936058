#include "store/installed_components.h"

#include "platform/env.h"
#include "platform/unique_file.h"
#include "store/index_file.h"
#include "store/store_locations.h"
#include "store/store_lock.h"
#include "store/text.h"

namespace brackenfold {

const std::string& SearchListFile() {
  // The list file names a Windows drive path; where paths are not Windows
  // paths there is no such file.
  static const auto* file =
      new std::string(kPathSeparator == '\\' ? "c:\\ComponentSearch.txt" : "");
  return *file;
}

void ReadSearchList(const std::string& list_file,
                    std::vector<FilePath>* directories) {
  if (list_file.empty()) return;
  UniqueFile stream(std::fopen(list_file.c_str(), "r"));
  if (!stream) return;
  std::string line;
  // Only lines with a line end count; a blank one adds the empty path, whose
  // index is compindx.dat in the current directory.
  while (ReadLine(stream.get(), line)) {
    Trim(line);
    directories->emplace_back(line);
  }
}

std::vector<FilePath> SearchDirectories(bool machine_store_only,
                                        const std::string& list_file) {
  std::vector<FilePath> directories;
  FilePath store;
  if (LookupStore(kSystemStoreName, &store)) directories.push_back(store);
  if (!machine_store_only && LookupStore(kUserStoreName, &store)) {
    directories.push_back(store);
  }
  ReadSearchList(list_file, &directories);
  return directories;
}

void ReadStoreIndex(InstalledComponents& table, FilePath directory) {
  FilePath index_path(directory);
  index_path.AppendFile(kIndexFileName);
  // Without the lock within the time-out the index is read all the same; a
  // concurrent rewrite then costs at most the entry it cut off.
  StoreLock lock = AcquireStoreLock(index_path, kSearchLockTimeoutMs);
  // A link at the index's name is not followed out of the store.
  IndexReader reader;
  if (reader.OpenInStore(index_path) != 0) return;
  std::string id;
  std::int32_t version = 0;
  FileMap files;
  while (reader.ReadEntry(&id, &version, &files)) {
    auto it = table.find(id);
    if (it == table.end()) {
      table.emplace(id, version);
    } else if (it->second < version) {
      it->second = version;
    }
  }
  reader.Close();
}

InstalledComponents SearchInstalledComponents(
    const std::vector<FilePath>& directories) {
  InstalledComponents table;
  for (const FilePath& directory : directories) {
    ReadStoreIndex(table, directory);
  }
  return table;
}

std::int32_t InstalledVersion(const InstalledComponents& table,
                              std::string id) {
  ToUpper(id);
  auto it = table.find(id);
  return it == table.end() ? 0 : it->second;
}

}  // namespace brackenfold
