// The options that say where installed components are looked for: --store
// (a component store directory, which must exist), --search (a directory
// searched after the stores; a name that is no directory stands for a file in
// its parent, as in the search list file) and --search-list (a file naming
// further directories). Shared by the subcommands that search.
#ifndef BRACKENFOLD_TOOLS_BFOLD_SEARCH_OPTIONS_H_
#define BRACKENFOLD_TOOLS_BFOLD_SEARCH_OPTIONS_H_

#include <string>
#include <vector>

#include "platform/env.h"
#include "store/file_path.h"
#include "store/installed_components.h"
#include "tools/bfold/commands.h"

namespace brackenfold {

struct SearchOptions {
  std::vector<std::string> stores;
  std::vector<std::string> searches;
  std::string search_list;

  bool empty() const {
    return stores.empty() && searches.empty() && search_list.empty();
  }
};

// Each --store and --search takes one directory, so blob arguments that
// follow are not taken for more directories.
inline void AddSearchOptions(CLI::App* command, SearchOptions& options) {
  command
      ->add_option("--store", options.stores,
                   "Component store directory to search (repeatable)")
      ->allow_extra_args(false);
  command
      ->add_option("--search", options.searches,
                   "Further directory to search, after the stores "
                   "(repeatable)")
      ->allow_extra_args(false);
  command->add_option("--search-list", options.search_list,
                      "File naming further directories, one a line, "
                      "searched last");
}

// Appends the directories to search, in order: stores, search directories,
// then the search list file's lines. False with a message when a store
// directory or the list file does not exist.
inline bool CollectSearchDirectories(const SearchOptions& options,
                                     std::vector<FilePath>* directories,
                                     std::string* error) {
  for (const std::string& store : options.stores) {
    bool is_directory = false;
    if (!FilePath(store).Exists(&is_directory) || !is_directory) {
      *error = "store directory '" + store + "' does not exist";
      return false;
    }
    FilePath directory(store);
    if (!directory.EndsWithSeparator()) directory = store + kPathSeparator;
    directories->push_back(directory);
  }
  for (const std::string& search : options.searches) {
    directories->emplace_back(search);
  }
  if (!options.search_list.empty()) {
    if (!FilePath(options.search_list).Exists()) {
      *error = "search list file '" + options.search_list + "' does not exist";
      return false;
    }
    ReadSearchList(options.search_list, directories);
  }
  return true;
}

}  // namespace brackenfold

#endif  // BRACKENFOLD_TOOLS_BFOLD_SEARCH_OPTIONS_H_
